// The commands that drive the PC's desktop as the phone's task switcher does:
// list the applications, bring one to the front, launch a program, open an
// address, and the smart media buttons. Their rows sit in the command table in
// Commands.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "vandrel-phone/Commands.h"

namespace vandrel::phone {

/// A window handle in decimal or 0x hex, up to 64 bits. Throws UsageError.
std::uint64_t ParseWindowHandle(const std::string& text);

/// play, fullscreen, bullet (case ignored) or a byte 0..255 in decimal or 0x
/// hex. Throws UsageError.
std::uint8_t ParseSmartMediaAction(const std::string& text);

int RunApps(const CommandContext& context, std::span<const std::string> args);
int RunSwitch(const CommandContext& context, std::span<const std::string> args);
int RunLaunch(const CommandContext& context, std::span<const std::string> args);
int RunOpen(const CommandContext& context, std::span<const std::string> args);
int RunSmartMedia(const CommandContext& context, std::span<const std::string> args);
int RunLaser(const CommandContext& context, std::span<const std::string> args);

}  // namespace vandrel::phone
