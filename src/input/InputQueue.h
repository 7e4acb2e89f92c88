// First-in-first-out hand-over of input commands from the network and
// Bluetooth threads to the one injection thread, bounded so that a flood
// costs neither memory nor what the user sees.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "infra/LogLimiter.h"
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

  /// Commands waiting at most. A phone sends a few hundred a second and
  /// moves and scrolls merge while they wait, so only a flood comes near
  /// this; it bounds the backlog to well under a second of injection and
  /// the ring to about 1 MiB, allocated once.
  static constexpr std::size_t kCapacity = 4096;
  /// Slots beyond kCapacity that only releases may take, so that a full
  /// queue leaves nothing pressed.
  static constexpr std::size_t kReserve = 64;
  static constexpr std::chrono::seconds kDropReportInterval{5};

  /// Injects through `manager`, keeping held keys in `tracker`.
  explicit InputQueue(InputManager::Base* manager, KeyStateTracker* tracker = &KeyStateTracker::Instance());
  /// Injects through `executor` (tests); held keys are not tracked.
  explicit InputQueue(Executor executor);
  ~InputQueue();
  InputQueue(const InputQueue&) = delete;
  InputQueue& operator=(const InputQueue&) = delete;

  void SetInjectHandler(InjectHandler handler);
  void Start();
  /// Copies at most 256 bytes; never waits for injection. Any thread. A
  /// MOVE, SCROLL or SCROLL_H behind one of its kind is added to it; when
  /// the queue is full, anything but a release is dropped and counted.
  void Enqueue(const std::uint8_t* bytes, std::size_t length);
  /// Queues the release of every key still held down, behind the commands
  /// already queued. For when the phone that pressed them is gone.
  void EnqueueReleaseHeldKeys();
  /// Tells whether any phone session exists; while none does, keys still held
  /// are released after `idleRelease` without input. Returns once a call of
  /// the previous probe in progress has finished, so that what it reaches
  /// may be destroyed afterwards; an empty probe turns the check off. Not
  /// from within a probe.
  void SetSessionProbe(std::function<bool()> probe,
                       std::chrono::steady_clock::duration idleRelease = std::chrono::seconds(10));
  /// Injects everything queued so far, then ends the injection thread.
  void Stop();

  /// Lets the injection thread read a socket itself: it then waits on the
  /// socket and the queue at once, so a datagram reaches injection with one
  /// thread wake-up instead of two. `onReadable` runs on the injection
  /// thread whenever the socket is readable and the queue empty; it reads
  /// what is waiting and enqueues it. False where the platform cannot, or
  /// the queue is not running: the caller then reads the socket itself.
  bool AttachSource(std::intptr_t socket, std::function<void()> onReadable);
  /// Returns once `onReadable` is no longer running and will not run again,
  /// so the socket may be closed.
  void DetachSource();

  /// Commands that took a slot of their own (merged ones do not).
  std::uint32_t EnqueuedCount() const { return enqueued_.load(); }
  std::uint32_t ProcessedCount() const { return processed_.load(); }
  std::uint64_t MergedCount() const { return merged_.load(); }
  std::uint64_t DroppedCount() const { return dropped_.load(); }
  /// Commands waiting now.
  std::size_t Size() const;

 private:
  using Clock = std::chrono::steady_clock;

  // What Enqueue decided under the lock, to be logged after it.
  struct Admission {
    bool wake = false;
    std::int64_t seq = -1;
    std::uint64_t dropLine = 0;
  };

  // Both under mutex_.
  Admission Admit(const std::uint8_t* bytes, std::size_t length, bool releaseHeldKeys);
  void Push(const std::uint8_t* bytes, std::size_t length, bool releaseHeldKeys);
  std::uint64_t TakeDropReport(Clock::time_point now, bool dropping);

  void InjectLoop();
  // Waits, with the lock held on entry and on return, until something is
  // queued, the queue stops, or `deadline` passes (false then).
  bool WaitForWork(std::unique_lock<std::mutex>& lock, const Clock::time_point* deadline);
  // Wakes the injection thread from its wait, whichever kind it is.
  void Wake();
  void Inject(const InputEvent& event);
  void ReleaseIfIdle();
  static void LogDrops(std::uint64_t count);
  // Runs one step, logging and swallowing anything it throws; false if it threw.
  template <typename Step>
  bool Guarded(const char* stage, Step&& step);

  InputManager::Base* manager_ = nullptr;
  KeyStateTracker* tracker_ = nullptr;
  Executor executor_;
  InjectHandler injectHandler_;
  std::function<bool()> sessionProbe_;
  bool probing_ = false;
  std::chrono::steady_clock::duration idleRelease_{};

  std::vector<InputEvent> ring_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::uint64_t dropsUnreported_ = 0;
  Clock::time_point lastDropLine_{};
  bool dropLineWritten_ = false;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable probeDone_;
  std::thread thread_;
  // The attached socket, under mutex_; -1 for none. The wake-up descriptor
  // lets a producer interrupt the injection thread's wait on it.
  std::intptr_t source_ = -1;
  std::function<void()> onSourceReadable_;
  bool inSource_ = false;
  std::condition_variable sourceDone_;
  int wakeFd_ = -1;
  std::atomic<bool> running_{false};
  std::atomic<std::uint32_t> enqueued_{0};
  std::atomic<std::uint32_t> processed_{0};
  std::atomic<std::uint64_t> merged_{0};
  std::atomic<std::uint64_t> dropped_{0};
  // Injection thread only: a peer may send KEYCLICKs at will.
  LogLimiter keyClickLines_{10};
};

}  // namespace vandrel
