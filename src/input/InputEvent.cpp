#include "input/InputEvent.h"

#include <cstdio>

namespace vandrel {
namespace {

std::string Signed(std::uint8_t b) { return std::to_string(static_cast<std::int8_t>(b)); }

std::string Hex(std::uint8_t b) {
  char text[4];
  std::snprintf(text, sizeof text, "%x", b);
  return text;
}

}  // namespace

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
