#include "input/InputQueue.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "infra/Logger.h"

namespace vandrel {
namespace {

// The code Windows reports for a C++ exception; the log keeps one format for
// every fault caught at this boundary.
constexpr std::uint32_t kCppExceptionCode = 0xE06D7363;

}  // namespace

InputQueue::InputQueue(InputManager::Base* manager, KeyStateTracker* tracker)
    : manager_(manager), tracker_(tracker) {
  if (manager_) {
    executor_ = [this](const std::uint8_t* bytes, std::size_t length) {
      DispatchInputEvent(*manager_, tracker_, bytes, length);
    };
  }
}

InputQueue::InputQueue(Executor executor) : executor_(std::move(executor)) {}

void InputQueue::SetSessionProbe(std::function<bool()> probe, std::chrono::steady_clock::duration idleRelease) {
  std::lock_guard lock(mutex_);
  sessionProbe_ = std::move(probe);
  idleRelease_ = idleRelease;
}

void InputQueue::EnqueueReleaseHeldKeys() {
  InputEvent event;
  event.releaseHeldKeys = true;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(event);
  }
  wake_.notify_one();
}

InputQueue::~InputQueue() { Stop(); }

void InputQueue::SetInjectHandler(InjectHandler handler) { injectHandler_ = std::move(handler); }

void InputQueue::Start() {
  if (running_.exchange(true)) return;
  thread_ = std::thread(&InputQueue::InjectLoop, this);
  Log() << "[INPUT_QUEUE] Injection thread created";
}

void InputQueue::Enqueue(const std::uint8_t* bytes, std::size_t length) {
  if (length == 0 || bytes == nullptr) return;
  InputEvent event;
  event.length = std::min(length, InputEvent::kMaxBytes);
  std::memcpy(event.bytes.data(), bytes, event.length);
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(event);
    const std::uint32_t seq = enqueued_.fetch_add(1);
    if (seq < 5) {
      Log() << "[INPUT_QUEUE] Enqueued: " << DescribeInputEvent(event.bytes.data(), event.length) << " seq=" << seq
            << " size=" << event.length;
    }
  }
  wake_.notify_one();
}

void InputQueue::Stop() {
  if (!running_.exchange(false)) return;
  {
    // Taking the lock orders the flag change before the injection thread's wait.
    std::lock_guard lock(mutex_);
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  Log() << "[INPUT_QUEUE] Stopped. Enqueued: " << enqueued_.load() << ", Processed: " << processed_.load();
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

void InputQueue::InjectLoop() {
  for (;;) {
    InputEvent event;
    {
      std::unique_lock lock(mutex_);
      const auto ready = [this] { return !queue_.empty() || !running_.load(); };
      if (sessionProbe_ && tracker_) {
        // Wake now and then to notice keys left held while no phone is connected.
        if (!wake_.wait_for(lock, std::chrono::milliseconds(250), ready)) {
          lock.unlock();
          ReleaseIfIdle();
          continue;
        }
      } else {
        wake_.wait(lock, ready);
      }
      if (queue_.empty()) return;  // stopped and drained
      event = queue_.front();
      queue_.pop_front();
    }
    Inject(event);
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
  if (seq < 5 || event.bytes[0] == 7) {
    Log() << "[INPUT_QUEUE] Processing: " << DescribeInputEvent(event.bytes.data(), event.length) << " seq=" << seq;
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
  if (!tracker_->AnyHeld()) return;
  if (std::chrono::steady_clock::now() - tracker_->LastActivity() < idleRelease_) return;
  bool sessions = true;
  Guarded("sessionProbe", [&] { sessions = sessionProbe_(); });
  if (sessions) return;
  Log() << "[INPUT_QUEUE] No phone connected and no input for "
        << std::chrono::duration_cast<std::chrono::seconds>(idleRelease_).count() << " s; releasing held keys";
  Inject(InputEvent{.bytes = {}, .length = 0, .releaseHeldKeys = true});
}

}  // namespace vandrel
