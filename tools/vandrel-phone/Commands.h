// The commands of vandrel-phone and the program around them: one handler per
// command, found by name in one table in Commands.cpp. A new command is a
// handler (the touchpad and keyboard ones live in InputCommands.cpp) and one
// row in that table; help and argument counts follow.
#pragma once

#include <cstddef>
#include <limits>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "vandrel-phone/Options.h"

namespace vandrel::phone {

class PhoneClient;

struct CommandContext {
  const Options& options;
  /// Progress and results; failures go up as exceptions, not through here.
  std::ostream& out;
};

/// Runs a command with its arguments (already counted against the table) and
/// returns the exit status. Failures throw PhoneError or UsageError.
using CommandHandler = int (*)(const CommandContext& context, std::span<const std::string> args);

inline constexpr std::size_t kAnyCount = std::numeric_limits<std::size_t>::max();

struct CommandSpec {
  std::string_view name;
  /// The argument part of the usage line: "HEX...", "PATH".
  std::string_view arguments;
  std::string_view summary;
  std::size_t minArgs;
  std::size_t maxArgs;
  CommandHandler run;
};

std::span<const CommandSpec> CommandTable();

/// The row for `name`, or nullptr.
const CommandSpec* FindCommand(std::string_view name);

/// Connects with the context's options, does the handshake and reports each
/// answer on `out` ("received AUTH_SUCCESS"). Throws PhoneError with the
/// user's reason when the session cannot go on.
void OpenSession(const CommandContext& context, PhoneClient& client);

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

/// Runs the program with `args` (without the program name): results on `out`,
/// a one-line reason on `err` when it fails. Returns the exit status: 0,
/// kExitFailure, or kExitUsage for a malformed command line.
int RunPhone(std::span<const std::string> args, std::ostream& out, std::ostream& err);

/// The --help text.
std::string HelpText();

}  // namespace vandrel::phone
