// What the benchmark programs share for their options and their output.
#pragma once

#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vandrel::bench {

/// A whole decimal number of T within [min, max] into `out`; false otherwise.
template <typename T>
bool ParseNumber(const std::string& text, T& out, T min, T max) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max) return false;
  out = value;
  return true;
}

/// Progress and figures go out at once, so a slow step shows where it is.
inline void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void Say(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::putchar('\n');
  std::fflush(stdout);
}

/// 1234567 as "1,234,567".
inline std::string Grouped(std::uint64_t value) {
  std::string digits = std::to_string(value);
  // One character, not a string: gcc 12 sees a false overlap in inserting a string here.
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<std::size_t>(at), 1, ',');
  }
  return digits;
}

inline std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace vandrel::bench
