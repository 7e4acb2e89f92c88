#include "protocol/DeviceHello.h"

#include <array>
#include <cstddef>
#include <limits>
#include <stdexcept>

namespace vandrel {
namespace {

constexpr char kSeparator = '/';

// The characters std::isspace accepts in the "C" locale; spelled out so the
// result does not depend on the process locale.
constexpr bool IsBlank(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// std::stoi's reading of a decimal prefix, with 0 where it would throw.
std::int32_t ParseKind(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;

  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size() || !IsDigit(text[i])) return 0;

  // Accumulate as a magnitude so INT32_MIN, whose magnitude exceeds INT32_MAX,
  // still fits; stop as soon as the value can no longer be in range.
  constexpr std::int64_t kMaxMagnitude = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kMaxMagnitude) return 0;
  }
  if (!negative && magnitude == kMaxMagnitude) return 0;
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

void CheckField(std::string_view field, const char* what) {
  if (field.find(kSeparator) != std::string_view::npos) {
    throw std::invalid_argument(std::string("device hello ") + what + " contains '/'");
  }
}

}  // namespace

DeviceHello ParseDeviceHello(std::string_view text) {
  std::array<std::string_view, 4> fields{};
  std::size_t found = 0;
  std::size_t start = 0;
  while (found < fields.size()) {
    const std::size_t end = text.find(kSeparator, start);
    fields[found++] = text.substr(start, end == std::string_view::npos ? text.size() - start : end - start);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }

  DeviceHello hello;
  hello.manufacturer = std::string(fields[0]);
  hello.name = std::string(fields[1]);
  hello.model = std::string(fields[2]);
  hello.kind = ParseKind(fields[3]);
  return hello;
}

std::string FormatDeviceHello(const DeviceHello& hello) {
  CheckField(hello.manufacturer, "manufacturer");
  CheckField(hello.name, "name");
  CheckField(hello.model, "model");

  std::string text;
  text.reserve(hello.manufacturer.size() + hello.name.size() + hello.model.size() + 16);
  text.append(hello.manufacturer).push_back(kSeparator);
  text.append(hello.name).push_back(kSeparator);
  text.append(hello.model).push_back(kSeparator);
  text.append(std::to_string(hello.kind));
  return text;
}

}  // namespace vandrel
