// The command line shared by the tray program and its headless form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vandrel {

struct Options {
  bool headless = false;
  std::uint16_t port = 6969;
  std::uint16_t discoveryPort = 6970;
  std::uint16_t mdnsPort = 5353;
  bool ble = true;
  bool mdns = true;
  bool adb = true;
  bool showVersion = false;
  bool showHelp = false;
  /// The arguments as given, so that a restarted instance is the same instance.
  std::vector<std::string> arguments;
};

/// Parses argv[1..]; on a bad argument returns nothing and sets `error` to a one-line reason.
std::optional<Options> ParseOptions(const std::vector<std::string>& arguments, std::string& error);

std::string UsageText();

}  // namespace vandrel
