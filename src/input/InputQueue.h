// First-in-first-out hand-over of input commands from the network and
// Bluetooth threads to the one injection thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "input/InputEvent.h"
#include "input/InputManager.h"
#include "input/KeyStateTracker.h"

namespace vandrel {

class InputQueue {
 public:
  /// Takes a command before local injection; true means it was handled.
  using InjectHandler = std::function<bool(const std::uint8_t* bytes, std::size_t length)>;
  /// Injects one command on this machine.
  using Executor = std::function<void(const std::uint8_t* bytes, std::size_t length)>;

  /// Injects through `manager`, keeping held keys in `tracker`.
  explicit InputQueue(InputManager::Base* manager, KeyStateTracker* tracker = &KeyStateTracker::Instance());
  /// Injects through `executor` (tests); held keys are not tracked.
  explicit InputQueue(Executor executor);
  ~InputQueue();
  InputQueue(const InputQueue&) = delete;
  InputQueue& operator=(const InputQueue&) = delete;

  void SetInjectHandler(InjectHandler handler);
  void Start();
  /// Copies at most 256 bytes; never waits for injection. Any thread.
  void Enqueue(const std::uint8_t* bytes, std::size_t length);
  /// Queues the release of every key still held down, behind the commands
  /// already queued. For when the phone that pressed them is gone.
  void EnqueueReleaseHeldKeys();
  /// Tells whether any phone session exists; while none does, keys still held
  /// are released after `idleRelease` without input.
  void SetSessionProbe(std::function<bool()> probe,
                       std::chrono::steady_clock::duration idleRelease = std::chrono::seconds(10));
  /// Injects everything queued so far, then ends the injection thread.
  void Stop();

  std::uint32_t EnqueuedCount() const { return enqueued_.load(); }
  std::uint32_t ProcessedCount() const { return processed_.load(); }

 private:
  void InjectLoop();
  void Inject(const InputEvent& event);
  void ReleaseIfIdle();
  // Runs one step, logging and swallowing anything it throws; false if it threw.
  template <typename Step>
  bool Guarded(const char* stage, Step&& step);

  InputManager::Base* manager_ = nullptr;
  KeyStateTracker* tracker_ = nullptr;
  Executor executor_;
  InjectHandler injectHandler_;
  std::function<bool()> sessionProbe_;
  std::chrono::steady_clock::duration idleRelease_{};
  std::deque<InputEvent> queue_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<std::uint32_t> enqueued_{0};
  std::atomic<std::uint32_t> processed_{0};
};

}  // namespace vandrel
