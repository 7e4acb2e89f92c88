// What an input manager hands to the operating system: batches of keyboard and
// mouse records in the shape of Win32 SendInput records, whatever the platform.
#pragma once

#include <cstdint>
#include <variant>

namespace vandrel {

struct KeyRecord {
  std::uint16_t vk = 0;  // Windows virtual-key code
  bool up = false;
  bool extended = false;
  // With no virtual key, the record is this hardware scan code alone.
  std::uint16_t scan = 0;
};

// The values of the Win32 MOUSEEVENTF_ flags.
enum MouseFlag : std::uint32_t {
  kMouseMove = 0x0001,
  kMouseLeftDown = 0x0002,
  kMouseLeftUp = 0x0004,
  kMouseRightDown = 0x0008,
  kMouseRightUp = 0x0010,
  kMouseMiddleDown = 0x0020,
  kMouseMiddleUp = 0x0040,
  kMouseWheel = 0x0800,
  kMouseHWheel = 0x1000,
};

struct MouseRecord {
  std::uint32_t flags = 0;
  std::int32_t dx = 0;
  std::int32_t dy = 0;
  std::int32_t wheel = 0;  // wheel data for kMouseWheel and kMouseHWheel; 120 is one notch
};

using InputRecord = std::variant<KeyRecord, MouseRecord>;

inline bool operator==(const KeyRecord& a, const KeyRecord& b) {
  return a.vk == b.vk && a.up == b.up && a.extended == b.extended && a.scan == b.scan;
}
inline bool operator==(const MouseRecord& a, const MouseRecord& b) {
  return a.flags == b.flags && a.dx == b.dx && a.dy == b.dy && a.wheel == b.wheel;
}

}  // namespace vandrel
