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

InputQueue::InputQueue(Executor executor) : executor_(std::move(executor)) {}

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
      wake_.wait(lock, [this] { return !queue_.empty() || !running_.load(); });
      if (queue_.empty()) return;  // stopped and drained
      event = queue_.front();
      queue_.pop_front();
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
}

}  // namespace vandrel
