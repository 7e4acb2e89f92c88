#include "input/InputQueue.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "infra/Logger.h"

#if defined(__linux__)
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#define VANDREL_QUEUE_SOURCE 1
#endif

namespace vandrel {
namespace {

// Set on the injection thread, whose own enqueues need no wake-up.
thread_local bool t_injectionThread = false;

// The code Windows reports for a C++ exception; the log keeps one format for
// every fault caught at this boundary.
constexpr std::uint32_t kCppExceptionCode = 0xE06D7363;

}  // namespace

InputQueue::InputQueue(InputManager::Base* manager, KeyStateTracker* tracker)
    : manager_(manager), tracker_(tracker), ring_(kCapacity + kReserve) {
#ifdef VANDREL_QUEUE_SOURCE
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#endif
  if (manager_) {
    executor_ = [this](const std::uint8_t* bytes, std::size_t length) {
      DispatchInputEvent(*manager_, tracker_, bytes, length);
    };
  }
}

InputQueue::InputQueue(Executor executor) : executor_(std::move(executor)), ring_(kCapacity + kReserve) {
#ifdef VANDREL_QUEUE_SOURCE
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#endif
}

InputQueue::~InputQueue() {
  Stop();
#ifdef VANDREL_QUEUE_SOURCE
  if (wakeFd_ >= 0) ::close(wakeFd_);
#endif
}

void InputQueue::Wake() {
  wake_.notify_one();
#ifdef VANDREL_QUEUE_SOURCE
  if (wakeFd_ >= 0 && !t_injectionThread) {
    const std::uint64_t one = 1;
    // A full counter already means "wake up"; nothing is lost when this fails.
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
  }
#endif
}

bool InputQueue::AttachSource(std::intptr_t socket, std::function<void()> onReadable) {
#ifdef VANDREL_QUEUE_SOURCE
  if (wakeFd_ < 0 || socket < 0 || !onReadable) return false;
  {
    std::lock_guard lock(mutex_);
    if (!running_.load() || source_ >= 0 || inSource_) return false;
    source_ = socket;
    onSourceReadable_ = std::move(onReadable);
  }
  Wake();
  return true;
#else
  (void)socket;
  (void)onReadable;
  return false;
#endif
}

void InputQueue::DetachSource() {
  std::unique_lock lock(mutex_);
  if (source_ < 0) return;
  source_ = -1;
  if (!t_injectionThread) sourceDone_.wait(lock, [this] { return !inSource_; });
  if (!inSource_) onSourceReadable_ = nullptr;
  lock.unlock();
  // The thread may be waiting on the socket, which is about to close.
  Wake();
}

void InputQueue::SetSessionProbe(std::function<bool()> probe, std::chrono::steady_clock::duration idleRelease) {
  std::unique_lock lock(mutex_);
  // The injection thread calls the probe outside the lock; whatever the old
  // one reaches may be gone as soon as this returns.
  probeDone_.wait(lock, [this] { return !probing_; });
  sessionProbe_ = std::move(probe);
  idleRelease_ = idleRelease;
}

void InputQueue::SetInjectHandler(InjectHandler handler) { injectHandler_ = std::move(handler); }

void InputQueue::Start() {
  if (running_.exchange(true)) return;
  thread_ = std::thread(&InputQueue::InjectLoop, this);
  Log() << "[INPUT_QUEUE] Injection thread created";
}

std::size_t InputQueue::Size() const {
  std::lock_guard lock(mutex_);
  return size_;
}

void InputQueue::Push(const std::uint8_t* bytes, std::size_t length, bool releaseHeldKeys) {
  InputEvent& slot = ring_[(head_ + size_) % ring_.size()];
  ++size_;
  slot.releaseHeldKeys = releaseHeldKeys;
  slot.length = length;
  if (length > 0) std::memcpy(slot.bytes.data(), bytes, length);
}

InputQueue::Admission InputQueue::Admit(const std::uint8_t* bytes, std::size_t length, bool releaseHeldKeys) {
  Admission admission;
  if (size_ > 0 && !releaseHeldKeys) {
    InputEvent& last = ring_[(head_ + size_ - 1) % ring_.size()];
    if (MergeInto(last, bytes, length)) {
      merged_.fetch_add(1, std::memory_order_relaxed);
      return admission;
    }
  }
  const bool release = releaseHeldKeys || IsRelease(bytes, length);
  if (size_ < kCapacity || (release && size_ < ring_.size())) {
    Push(bytes, length, releaseHeldKeys);
    admission.wake = size_ == 1;  // the injection thread only waits on an empty queue
    if (!releaseHeldKeys) admission.seq = enqueued_.fetch_add(1);
    return admission;
  }
  if (release) {
    // Even the reserve is full, and everything in it is a release. Turning
    // the last one into a release of every held key covers it and this one:
    // no key pressed before it can stay down, and no press gets in after it
    // until the queue has room again.
    InputEvent& last = ring_[(head_ + size_ - 1) % ring_.size()];
    last.releaseHeldKeys = true;
    last.length = 0;
    merged_.fetch_add(1, std::memory_order_relaxed);
    return admission;
  }
  dropped_.fetch_add(1, std::memory_order_relaxed);
  admission.dropLine = TakeDropReport(Clock::now(), true);
  return admission;
}

std::uint64_t InputQueue::TakeDropReport(Clock::time_point now, bool dropping) {
  if (dropping) ++dropsUnreported_;
  if (dropsUnreported_ == 0) return 0;
  // The first drop after a quiet spell is reported at once, then at most one line per interval.
  if (dropLineWritten_ && now - lastDropLine_ < kDropReportInterval) return 0;
  dropLineWritten_ = true;
  lastDropLine_ = now;
  return std::exchange(dropsUnreported_, 0);
}

void InputQueue::LogDrops(std::uint64_t count) {
  if (count > 0) Log() << "[INPUT_QUEUE] Dropped " << count << " events (queue full)";
}

void InputQueue::Enqueue(const std::uint8_t* bytes, std::size_t length) {
  if (length == 0 || bytes == nullptr) return;
  length = std::min(length, InputEvent::kMaxBytes);
  Admission admission;
  {
    std::lock_guard lock(mutex_);
    admission = Admit(bytes, length, false);
  }
  if (admission.wake) Wake();
  if (admission.seq >= 0 && admission.seq < 5) {
    Log() << "[INPUT_QUEUE] Enqueued: " << DescribeInputEvent(bytes, length) << " seq=" << admission.seq
          << " size=" << length;
  }
  LogDrops(admission.dropLine);
}

void InputQueue::EnqueueReleaseHeldKeys() {
  Admission admission;
  {
    std::lock_guard lock(mutex_);
    admission = Admit(nullptr, 0, true);
  }
  if (admission.wake) Wake();
}

void InputQueue::Stop() {
  if (!running_.exchange(false)) return;
  {
    // Taking the lock orders the flag change before the injection thread's wait.
    std::lock_guard lock(mutex_);
  }
  wake_.notify_all();
  Wake();
  if (thread_.joinable()) thread_.join();
  Log() << "[INPUT_QUEUE] Stopped. Enqueued: " << enqueued_.load() << ", Processed: " << processed_.load();
  if (merged_.load() > 0 || dropped_.load() > 0) {
    Log() << "[INPUT_QUEUE] Merged: " << merged_.load() << ", Dropped: " << dropped_.load();
  }
}

template <typename Step>
bool InputQueue::Guarded(const char* stage, Step&& step) {
  try {
    step();
    return true;
  } catch (...) {
    Log() << "[INPUT_QUEUE][FATAL] " << stage << " crashed, SEH code=0x" << std::hex << kCppExceptionCode << std::dec
          << ". Swallowed to keep server alive.";
  }
  return false;
}

bool InputQueue::WaitForWork(std::unique_lock<std::mutex>& lock, const Clock::time_point* deadline) {
  const auto ready = [this] { return size_ > 0 || !running_.load(); };
  for (;;) {
    if (ready()) return true;
    const auto now = Clock::now();
    if (deadline && now >= *deadline) return false;
#ifdef VANDREL_QUEUE_SOURCE
    if (source_ >= 0) {
      const std::intptr_t source = source_;
      pollfd fds[] = {{wakeFd_, POLLIN, 0}, {static_cast<int>(source), POLLIN, 0}};
      const int timeout =
          deadline ? static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count()) : -1;
      lock.unlock();
      const int ready_count = ::poll(fds, 2, timeout);
      if (ready_count > 0 && (fds[0].revents & POLLIN)) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto read = ::read(wakeFd_, &count, sizeof count);
      }
      lock.lock();
      if (ready_count <= 0 || fds[1].revents == 0 || source_ != source || !running_.load()) continue;
      if (fds[1].revents & POLLNVAL) {
        // Closed without being detached: waiting on it again would spin.
        Log() << "[INPUT_QUEUE] The input socket was closed; no longer reading it";
        source_ = -1;
        continue;
      }
      inSource_ = true;
      lock.unlock();
      Guarded("udpInput", onSourceReadable_);
      lock.lock();
      inSource_ = false;
      if (source_ < 0) onSourceReadable_ = nullptr;
      sourceDone_.notify_all();
      continue;
    }
#endif
    if (deadline) {
      wake_.wait_until(lock, *deadline);
    } else {
      wake_.wait(lock);
    }
  }
}

void InputQueue::InjectLoop() {
  t_injectionThread = true;
  InputEvent event;
  for (;;) {
    std::uint64_t dropLine = 0;
    bool idle = false;
    {
      std::unique_lock lock(mutex_);
      // Wake now and then to notice keys left held while no phone is
      // connected, and to report drops the flood's last line left out.
      if ((sessionProbe_ && tracker_) || dropsUnreported_ > 0) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(250);
        idle = !WaitForWork(lock, &deadline);
        dropLine = TakeDropReport(Clock::now(), false);
      } else {
        WaitForWork(lock, nullptr);
      }
      if (!idle) {
        if (size_ == 0) return;  // stopped and drained
        const InputEvent& front = ring_[head_];
        event.releaseHeldKeys = front.releaseHeldKeys;
        event.length = front.length;
        std::memcpy(event.bytes.data(), front.bytes.data(), front.length);
        head_ = (head_ + 1) % ring_.size();
        --size_;
      }
    }
    LogDrops(dropLine);
    if (idle) {
      ReleaseIfIdle();
    } else {
      Inject(event);
    }
  }
}

void InputQueue::Inject(const InputEvent& event) {
  if (event.releaseHeldKeys) {
    if (manager_ && tracker_) {
      Guarded("inputmanager.execute", [&] {
        if (const auto released = tracker_->ReleaseAll(*manager_)) {
          Log() << "[INPUT_QUEUE] Released " << released << " held keys";
        }
      });
    }
    return;
  }
  const std::uint32_t seq = processed_.fetch_add(1);
  if (seq < 5) {
    Log() << "[INPUT_QUEUE] Processing: " << DescribeInputEvent(event.bytes.data(), event.length) << " seq=" << seq;
  } else if (event.bytes[0] == 7) {
    if (auto permit = keyClickLines_.Next()) {
      Log() << "[INPUT_QUEUE] Processing: " << DescribeInputEvent(event.bytes.data(), event.length) << " seq=" << seq
            << permit;
    }
  }
  bool taken = false;
  if (injectHandler_) {
    Guarded("injectHandler", [&] { taken = injectHandler_(event.bytes.data(), event.length); });
  }
  if (!taken && executor_) {
    Guarded("inputmanager.execute", [&] { executor_(event.bytes.data(), event.length); });
  }
}

void InputQueue::ReleaseIfIdle() {
  if (!tracker_ || !tracker_->AnyHeld()) return;
  std::chrono::steady_clock::duration idleRelease{};
  {
    std::lock_guard lock(mutex_);
    if (!sessionProbe_) return;
    idleRelease = idleRelease_;
    if (Clock::now() - tracker_->LastActivity() < idleRelease) return;
    // SetSessionProbe waits for this call to end before it replaces the probe.
    probing_ = true;
  }
  bool sessions = true;
  Guarded("sessionProbe", [&] { sessions = sessionProbe_(); });
  {
    std::lock_guard lock(mutex_);
    probing_ = false;
  }
  probeDone_.notify_all();
  if (sessions) return;
  Log() << "[INPUT_QUEUE] No phone connected and no input for "
        << std::chrono::duration_cast<std::chrono::seconds>(idleRelease).count() << " s; releasing held keys";
  Inject(InputEvent{.bytes = {}, .length = 0, .releaseHeldKeys = true});
}

}  // namespace vandrel
