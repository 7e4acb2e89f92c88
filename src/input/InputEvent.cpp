#include "input/InputEvent.h"

#include <array>
#include <cstdio>

namespace vandrel {
namespace {

std::string Signed(std::uint8_t b) { return std::to_string(static_cast<std::int8_t>(b)); }

std::string Hex(std::uint8_t b) {
  char text[4];
  std::snprintf(text, sizeof text, "%x", b);
  return text;
}

// Signed delta fields after the code byte of the commands that may merge; 0 for the others.
std::size_t DeltaFields(std::uint8_t code) {
  switch (code) {
    case 5: return 2;  // MOVE dx dy
    case 6:            // SCROLL dy
    case 8: return 1;  // SCROLL_H dx
    default: return 0;
  }
}

}  // namespace

bool IsRelease(const std::uint8_t* bytes, std::size_t length) {
  return length > 0 && (bytes[0] == 14 || bytes[0] == 4);
}

bool MergeInto(InputEvent& last, const std::uint8_t* bytes, std::size_t length) {
  if (last.releaseHeldKeys || last.length == 0 || length == 0 || last.bytes[0] != bytes[0]) return false;
  const std::size_t fields = DeltaFields(bytes[0]);
  // A command cut short or carrying extra bytes is kept as it came.
  if (fields == 0 || length != fields + 1 || last.length != fields + 1) return false;
  std::array<std::int8_t, 2> sums{};
  for (std::size_t i = 1; i <= fields; ++i) {
    const int sum = static_cast<std::int8_t>(last.bytes[i]) + static_cast<std::int8_t>(bytes[i]);
    if (sum < -128 || sum > 127) return false;
    sums[i - 1] = static_cast<std::int8_t>(sum);
  }
  for (std::size_t i = 1; i <= fields; ++i) last.bytes[i] = static_cast<std::uint8_t>(sums[i - 1]);
  return true;
}

std::string DescribeInputEvent(const std::uint8_t* bytes, std::size_t length) {
  if (length == 0) return "UNKNOWN";
  const auto at = [&](std::size_t i) { return bytes[i]; };
  switch (bytes[0]) {
    case 1: return "LCLICK";
    case 2: return "RCLICK";
    case 3: return "DOWN";
    case 4: return "UP";
    case 5: return length >= 3 ? "MOVE dx=" + Signed(at(1)) + " dy=" + Signed(at(2)) : "MOVE";
    case 6: return length >= 2 ? "SCROLL dy=" + Signed(at(1)) : "SCROLL";
    case 7: return length >= 3 ? "KEYCLICK key=" + Signed(at(1)) + " mod=" + Signed(at(2)) : "KEYCLICK";
    case 8: return length >= 2 ? "SCROLL_H dx=" + Signed(at(1)) : "SCROLL_H";
    case 9: return length >= 2 ? "ZOOM scale=" + Signed(at(1)) : "ZOOM";
    case 10: return length >= 2 ? "MEDIA action=" + Signed(at(1)) : "MEDIA";
    case 11: return length >= 3 ? "SYSTEM page=0x" + Hex(at(1)) + " usage=0x" + Hex(at(2)) : "SYSTEM";
    case 13: return length >= 3 ? "KEYDOWN key=" + Signed(at(1)) + " mod=" + Signed(at(2)) : "KEYDOWN";
    case 14: return length >= 3 ? "KEYUP key=" + Signed(at(1)) + " mod=" + Signed(at(2)) : "KEYUP";
    case 21: return "DBLCLICK";
    case 27: return length >= 2 ? std::string("BRIGHTNESS_STEP") + (at(1) ? " DOWN" : " UP") : "BRIGHTNESS_STEP";
    default: return "UNKNOWN";
  }
}

}  // namespace vandrel
