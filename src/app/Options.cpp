#include "app/Options.h"

#include <charconv>

namespace vandrel {
namespace {

bool ParsePort(const std::string& text, std::uint16_t& port) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string>& arguments, std::string& error) {
  Options options;
  options.arguments = arguments;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    std::uint16_t* port = nullptr;
    if (arg == "--headless") options.headless = true;
    else if (arg == "--no-ble") options.ble = false;
    else if (arg == "--no-mdns") options.mdns = false;
    else if (arg == "--no-adb") options.adb = false;
    else if (arg == "--version") options.showVersion = true;
    else if (arg == "--help" || arg == "-h") options.showHelp = true;
    else if (arg == "--port") port = &options.port;
    else if (arg == "--discovery-port") port = &options.discoveryPort;
    else if (arg == "--mdns-port") port = &options.mdnsPort;
    else {
      error = "unknown option " + arg + " (try --help)";
      return std::nullopt;
    }
    if (port) {
      if (i + 1 >= arguments.size()) {
        error = arg + " needs a port number";
        return std::nullopt;
      }
      if (!ParsePort(arguments[++i], *port)) {
        error = arg + ": not a port number: " + arguments[i];
        return std::nullopt;
      }
    }
  }
  return options;
}

std::string UsageText() {
  return "Usage: vandrel [options]\n"
         "Lets phones drive this PC: pointer, keyboard, files onto the desktop and more.\n"
         "\n"
         "  --headless            run without windows (server only)\n"
         "  --port N              TCP and UDP input port (default 6969)\n"
         "  --discovery-port N    UDP discovery port (default 6970)\n"
         "  --mdns-port N         mDNS port (default 5353)\n"
         "  --no-ble              do not offer Bluetooth LE\n"
         "  --no-mdns             do not answer mDNS queries\n"
         "  --no-adb              do not set up the USB port reversal\n"
         "  --version             print the version and exit\n"
         "  --help                print this text and exit\n";
}

}  // namespace vandrel
