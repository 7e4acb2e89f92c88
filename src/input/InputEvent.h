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

/// The command's name and payload details as the queue's log lines show them,
/// e.g. "MOVE dx=-3 dy=4"; details appear only when the event is long enough.
std::string DescribeInputEvent(const std::uint8_t* bytes, std::size_t length);

}  // namespace vandrel
