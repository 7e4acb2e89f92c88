// One queued input command: up to 256 bytes of a packet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vandrel {

struct InputEvent {
  static constexpr std::size_t kMaxBytes = 256;
  std::array<std::uint8_t, kMaxBytes> bytes{};
  std::size_t length = 0;
  /// Not a phone's command: release every key still held (its phone is gone).
  bool releaseHeldKeys = false;
};

/// A command that lets go of something held (KEYUP, a modifier's KEYUP, UP)
/// or the release of every held key: a full queue still takes these, so that
/// nothing stays pressed.
bool IsRelease(const std::uint8_t* bytes, std::size_t length);
inline bool IsRelease(const InputEvent& event) {
  return event.releaseHeldKeys || IsRelease(event.bytes.data(), event.length);
}

/// Adds a MOVE, SCROLL or SCROLL_H to `last` when `last` is one of the same
/// kind and every summed field still fits its signed byte; false leaves
/// `last` unchanged. The sum is exact, so the pointer and the wheel end where
/// the separate commands would have put them.
bool MergeInto(InputEvent& last, const std::uint8_t* bytes, std::size_t length);

/// The command's name and payload details as the queue's log lines show them,
/// e.g. "MOVE dx=-3 dy=4"; details appear only when the event is long enough.
std::string DescribeInputEvent(const std::uint8_t* bytes, std::size_t length);

}  // namespace vandrel
