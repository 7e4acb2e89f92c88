// The global options of vandrel-phone and the command line they come from.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace vandrel::phone {

using Seconds = std::chrono::duration<double>;

inline constexpr std::uint16_t kDefaultPort = 6969;
inline constexpr std::uint16_t kDefaultDiscoveryPort = 6970;
inline constexpr std::uint16_t kDefaultMdnsPort = 5353;
inline constexpr const char* kDefaultHello = "Vandrel/vandrel-phone/cli/1";
/// The PC takes what its first read returns as the hello and reads at most this much.
inline constexpr std::size_t kMaxHelloBytes = 128;

/// A malformed command line; the program exits with status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Options {
  std::string host = "127.0.0.1";
  std::uint16_t port = kDefaultPort;
  /// Where `discover` sends its probe and its mDNS query.
  std::uint16_t discoveryPort = kDefaultDiscoveryPort;
  std::uint16_t mdnsPort = kDefaultMdnsPort;
  /// Unset means "answer no password challenge"; an empty one is still a password.
  std::optional<std::string> password;
  std::string hello = kDefaultHello;
  Seconds timeout{5.0};
  /// --udp: clicks, scrolls and zooms go as datagrams too, not only the
  /// commands that only arrive whole that way.
  bool inputOverUdp = false;
  bool help = false;
  bool version = false;
  /// Empty when only --help or --version was asked for.
  std::string command;
  std::vector<std::string> args;
};

/// Reads the global options ("--name value", "--name=value" or a flag) up to the
/// first word that is not one; that word is the command and everything after it
/// belongs to the command, so its arguments may start with "--". Throws
/// UsageError naming the offending word.
Options ParseOptions(std::span<const std::string> words);

/// Checks a hello of the form Maker/Name/Model/Kind: four fields, a decimal kind
/// and no more than the PC reads at once. Throws UsageError.
void ValidateHello(const std::string& hello);

/// Reads a positive number of seconds ("5", "0.3"). Throws UsageError.
Seconds ParseSeconds(const std::string& text, const std::string& what);

}  // namespace vandrel::phone
