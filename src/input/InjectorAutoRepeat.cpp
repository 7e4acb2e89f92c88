// Auto-repeat of a held key. The phone sends one KeyDown and one KeyUp, so the
// repeats a real keyboard would produce are made here, on one thread per
// manager that sleeps until a key is held and wakes at once when it is let go.
#include <utility>

#include "input/Injector.h"

namespace vandrel::InputManager {
namespace {

// The usual keyboard defaults: a half-second delay, then 25 repeats a second.
constexpr std::chrono::milliseconds kRepeatDelay{500};
constexpr std::chrono::milliseconds kRepeatInterval{40};

}  // namespace

void Injector::StartAutoRepeat(std::vector<InputRecord> downs) {
  if (downs.empty()) return;
  {
    std::unique_lock lock(repeatMutex_);
    CancelAutoRepeat(lock);
    repeatBatch_ = std::move(downs);
    nextRepeat_ = std::chrono::steady_clock::now() + kRepeatDelay;
    if (!repeatThread_.joinable()) repeatThread_ = std::thread([this] { AutoRepeatLoop(); });
  }
  repeatSignal_.notify_all();
}

void Injector::CancelAutoRepeat(std::unique_lock<std::mutex>& lock) {
  repeatBatch_.clear();
  repeatSignal_.notify_all();
  repeatSignal_.wait(lock, [this] { return !roundRunning_; });
}

void Injector::StopAutoRepeat() {
  {
    std::unique_lock lock(repeatMutex_);
    CancelAutoRepeat(lock);
    if (!repeatThread_.joinable()) return;
    quit_ = true;
  }
  repeatSignal_.notify_all();
  repeatThread_.join();
  // A later KeyDown starts the thread again.
  std::lock_guard lock(repeatMutex_);
  quit_ = false;
}

void Injector::AutoRepeatLoop() {
  std::unique_lock lock(repeatMutex_);
  while (!quit_) {
    if (repeatBatch_.empty()) {
      repeatSignal_.wait(lock);
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < nextRepeat_) {
      repeatSignal_.wait_until(lock, nextRepeat_);
      continue;
    }
    // Keep the cadence, but after a stall carry on from now rather than
    // sending the missed repeats in a burst.
    nextRepeat_ += kRepeatInterval;
    if (nextRepeat_ <= now) nextRepeat_ = now + kRepeatInterval;
    const std::vector<InputRecord> batch = repeatBatch_;
    roundRunning_ = true;
    lock.unlock();
    AttachToForeground();
    Send(batch);
    DetachFromForeground();
    lock.lock();
    roundRunning_ = false;
    repeatSignal_.notify_all();
  }
}

}  // namespace vandrel::InputManager
