#include "vandrel-phone/ByteText.h"

#include <cctype>
#include <cstdio>
#include <sstream>
#include <string_view>

#include "protocol/AuthDigest.h"
#include "protocol/PacketCodec.h"

namespace vandrel::phone {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

void AppendHexWord(std::string_view word, Bytes& out) {
  std::string_view digits = word;
  if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.remove_prefix(2);
  if (digits.empty() || digits.size() % 2 != 0) {
    throw HexError("'" + std::string(word) + "' is not whole hex bytes (two digits per byte)");
  }
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int high = HexDigit(digits[i]);
    const int low = HexDigit(digits[i + 1]);
    if (high < 0 || low < 0) throw HexError("'" + std::string(word) + "' is not hex");
    out.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
}

std::string Decimal(double value, int places, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f %s", places, value, unit);
  return text;
}

}  // namespace

Bytes ParseHexBytes(std::span<const std::string> words) {
  Bytes out;
  for (const std::string& argument : words) {
    std::size_t i = 0;
    while (i < argument.size()) {
      if (IsBlank(argument[i])) {
        ++i;
        continue;
      }
      std::size_t end = i;
      while (end < argument.size() && !IsBlank(argument[end])) ++end;
      AppendHexWord(std::string_view(argument).substr(i, end - i), out);
      i = end;
    }
  }
  if (out.empty()) throw HexError("no bytes given");
  return out;
}

std::string DescribePacket(std::span<const std::uint8_t> packet) {
  if (packet.empty()) return "nothing";
  const auto code = static_cast<std::int8_t>(packet[0]);
  std::string text(CommandName(code));
  if (text == "UNKNOWN") {
    return text + " (0x" + ToHex(packet.first(1)) + ")";
  }
  if (const auto nonce = packet::ReadAuthRequest(packet)) return text + " (nonce " + ToHex(*nonce) + ")";
  if (const auto payload = packet::ReadAppListData(packet)) {
    return text + " (" + std::to_string(payload->size()) + " bytes)";
  }
  if (packet.size() > 1) text += " (then " + ToHex(packet.subspan(1)) + ")";
  return text;
}

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\%03u", static_cast<unsigned>(byte));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

std::string FormatSeconds(std::chrono::duration<double> seconds) {
  std::ostringstream text;
  text << seconds.count() << " s";
  return text.str();
}

std::string FormatElapsed(std::chrono::duration<double> elapsed) {
  const double s = elapsed.count();
  // Loopback round trips take microseconds; one decimal of a millisecond would read 0.0.
  if (s < 0.001) return Decimal(s * 1000.0, 3, "ms");
  if (s < 1.0) return Decimal(s * 1000.0, 1, "ms");
  return Decimal(s, 2, "s");
}

std::string FormatRate(std::uint64_t bytes, std::chrono::duration<double> elapsed) {
  const double s = elapsed.count();
  if (s <= 0.0) return "n/a MB/s";
  return Decimal(static_cast<double>(bytes) / s / 1e6, 1, "MB/s");
}

}  // namespace vandrel::phone
