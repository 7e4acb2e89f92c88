// The commands that act as the phone's touchpad and keyboard. Their rows sit
// in the one command table in Commands.cpp beside the other commands.
#pragma once

#include <span>
#include <string>

#include "vandrel-phone/Commands.h"

namespace vandrel::phone {

int RunMove(const CommandContext& context, std::span<const std::string> args);
int RunClick(const CommandContext& context, std::span<const std::string> args);
int RunButtonDown(const CommandContext& context, std::span<const std::string> args);
int RunButtonUp(const CommandContext& context, std::span<const std::string> args);
int RunScroll(const CommandContext& context, std::span<const std::string> args);
int RunHScroll(const CommandContext& context, std::span<const std::string> args);
int RunZoom(const CommandContext& context, std::span<const std::string> args);
int RunKeyClick(const CommandContext& context, std::span<const std::string> args);
int RunKeyDown(const CommandContext& context, std::span<const std::string> args);
int RunKeyUp(const CommandContext& context, std::span<const std::string> args);
int RunMedia(const CommandContext& context, std::span<const std::string> args);
int RunClipboard(const CommandContext& context, std::span<const std::string> args);
int RunSystem(const CommandContext& context, std::span<const std::string> args);
int RunBrightness(const CommandContext& context, std::span<const std::string> args);
int RunType(const CommandContext& context, std::span<const std::string> args);

}  // namespace vandrel::phone
