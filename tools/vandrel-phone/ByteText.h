// Turning typed hex into bytes and received packets and durations into words
// for the terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "protocol/Packet.h"

namespace vandrel::phone {

/// Hex that is not whole bytes; what() names the offending text.
class HexError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

/// Bytes from hex words as typed on a command line: "21", "2106", "0x21" and
/// several separated by blanks inside one argument ("21 06 ff"). Every word has
/// an even number of digits, with an optional 0x prefix. Throws HexError; an
/// input without any digits is an error too.
Bytes ParseHexBytes(std::span<const std::string> words);

/// A received packet in words: "PONG", "AUTH_REQUEST (nonce 0102...)",
/// "APP_LIST_DATA (120 bytes)", "UNKNOWN (0x63)".
std::string DescribePacket(std::span<const std::uint8_t> packet);

/// Text from the PC for a terminal line, to go between double quotes: bytes
/// from 0x80 up pass as they are (UTF-8), '"' and '\' get a backslash, and
/// control bytes read \DDD in decimal, as the mDNS names do, so that a
/// hostile name cannot drive the terminal.
std::string EscapeText(std::string_view text);

/// "5 s", "0.3 s": seconds the way a user typed them.
std::string FormatSeconds(std::chrono::duration<double> seconds);

/// "0.042 ms", "0.4 ms", "12.50 s": a measured time in a readable unit.
std::string FormatElapsed(std::chrono::duration<double> elapsed);

/// "16.6 MB/s" (decimal megabytes, as file sizes are usually shown).
std::string FormatRate(std::uint64_t bytes, std::chrono::duration<double> elapsed);

}  // namespace vandrel::phone
