// One input queue into a recording injector for the whole run (its ring is a
// megabyte: made afresh for every input it would cost more than the input),
// brought back to rest between inputs.
#pragma once

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "FuzzSupport.h"
#include "RecordingInjector.h"
#include "input/InputQueue.h"
#include "input/KeyStateTracker.h"

namespace vandrel::fuzz {

class InputRig {
 public:
  InputRig() {
    queue_.SetInjectHandler([this](const std::uint8_t* bytes, std::size_t length) { return TakeMarker(bytes, length); });
    queue_.Start();
    AtExit([this] { queue_.Stop(); });
  }

  InputQueue& queue() { return queue_; }

  /// A packet no phone sends: a command byte without a meaning, a tag and a
  /// sequence number. The queue hands it to the rig instead of the injector,
  /// after everything queued before it.
  std::vector<std::uint8_t> NextMarker(std::uint64_t& sequence) {
    sequence = ++next_;
    std::vector<std::uint8_t> out(std::begin(kTag), std::end(kTag));
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(sequence >> (8 * i)));
    return out;
  }

  /// True once the marker `sequence` has come out of the queue.
  bool WaitForMarker(std::uint64_t sequence, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return seen_.wait_for(lock, limit, [&] { return lastSeen_ >= sequence; });
  }

  /// Releases what the input left pressed and waits until everything queued
  /// has been injected; the record starts empty again.
  void Settle() {
    queue_.EnqueueReleaseHeldKeys();
    std::uint64_t sequence = 0;
    const auto marker = NextMarker(sequence);
    queue_.Enqueue(marker.data(), marker.size());
    if (!WaitForMarker(sequence, std::chrono::seconds(30))) Fail("the input queue stalled");
    injector_.Clear();
  }

 private:
  static constexpr std::uint8_t kTag[] = {0xFE, 'f', 'u', 'z', 'z'};

  bool TakeMarker(const std::uint8_t* bytes, std::size_t length) {
    if (length != sizeof kTag + 8 || std::memcmp(bytes, kTag, sizeof kTag) != 0) return false;
    std::uint64_t sequence = 0;
    for (std::size_t i = 8; i-- > 0;) sequence = (sequence << 8) | bytes[sizeof kTag + i];
    {
      std::lock_guard lock(mutex_);
      lastSeen_ = std::max(lastSeen_, sequence);
    }
    seen_.notify_all();
    return true;
  }

  testing::RecordingInjector injector_;
  KeyStateTracker tracker_;
  InputQueue queue_{&injector_, &tracker_};
  std::mutex mutex_;
  std::condition_variable seen_;
  std::uint64_t lastSeen_ = 0;
  std::uint64_t next_ = 0;  // the fuzz thread's
};

}  // namespace vandrel::fuzz
