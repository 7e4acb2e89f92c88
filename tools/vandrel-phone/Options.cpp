#include "vandrel-phone/Options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace vandrel::phone {
namespace {

// Above an hour the wait is surely a typo, and the bound keeps the deadline
// arithmetic far from overflow.
constexpr double kMaxSeconds = 3600.0;

std::uint16_t ParsePort(const std::string& text, const std::string& what) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc{} || ptr != end || value == 0 || value > 65535) {
    throw UsageError(what + " needs a number from 1 to 65535, not '" + text + "'");
  }
  return static_cast<std::uint16_t>(value);
}

bool IsDecimal(std::string_view text) {
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

Seconds ParseSeconds(const std::string& text, const std::string& what) {
  // strtod rather than from_chars<double>: the mingw library lacks the latter.
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) || value <= 0.0 ||
      value > kMaxSeconds) {
    throw UsageError(what + " needs a number of seconds above 0 and at most 3600, not '" + text + "'");
  }
  return Seconds(value);
}

void ValidateHello(const std::string& hello) {
  if (hello.size() > kMaxHelloBytes) {
    throw UsageError("--hello is " + std::to_string(hello.size()) + " bytes; the PC reads at most " +
                     std::to_string(kMaxHelloBytes));
  }
  const auto slashes = std::count(hello.begin(), hello.end(), '/');
  const auto lastSlash = hello.rfind('/');
  if (slashes != 3 || !IsDecimal(std::string_view(hello).substr(lastSlash == std::string::npos ? 0 : lastSlash + 1))) {
    throw UsageError("--hello needs the form Maker/Name/Model/Kind with a decimal kind, not '" + hello + "'");
  }
}

Options ParseOptions(std::span<const std::string> words) {
  Options options;
  std::size_t i = 0;
  for (; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "--help" || word == "-h") {
      options.help = true;
      continue;
    }
    if (word == "--version") {
      options.version = true;
      continue;
    }
    if (word.size() < 2 || word[0] != '-') break;  // the command

    std::string name = word;
    std::optional<std::string> value;
    if (const auto equals = word.find('='); equals != std::string::npos) {
      name = word.substr(0, equals);
      value = word.substr(equals + 1);
    }
    if (name == "--udp" || name == "--tcp") {
      if (value) throw UsageError(name + " takes no value");
      options.inputOverUdp = name == "--udp";
      continue;
    }
    const bool known = name == "--host" || name == "--port" || name == "--password" || name == "--hello" ||
                       name == "--timeout" || name == "--discovery-port" || name == "--mdns-port";
    if (!known) throw UsageError("unknown option " + name);
    if (!value) {
      if (i + 1 >= words.size()) throw UsageError(name + " needs a value");
      value = words[++i];
    }

    if (name == "--host") {
      if (value->empty()) throw UsageError("--host needs a host name or address");
      options.host = *value;
    } else if (name == "--port") {
      options.port = ParsePort(*value, name);
    } else if (name == "--discovery-port") {
      options.discoveryPort = ParsePort(*value, name);
    } else if (name == "--mdns-port") {
      options.mdnsPort = ParsePort(*value, name);
    } else if (name == "--password") {
      options.password = *value;
    } else if (name == "--hello") {
      ValidateHello(*value);
      options.hello = *value;
    } else {
      options.timeout = ParseSeconds(*value, "--timeout");
    }
  }

  if (i < words.size()) {
    options.command = words[i];
    options.args.assign(words.begin() + static_cast<std::ptrdiff_t>(i) + 1, words.end());
  } else if (!options.help && !options.version) {
    throw UsageError("no command given");
  }
  return options;
}

}  // namespace vandrel::phone
