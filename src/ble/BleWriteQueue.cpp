#include "ble/BleWriteQueue.h"

#include <exception>
#include <utility>

#include "infra/Logger.h"

namespace vandrel {

const char* BleStatusText(BleState state) {
  switch (state) {
    case BleState::Starting: return "BLE: Starting...";
    case BleState::Advertising: return "BLE: Advertising";
    case BleState::BluetoothOff: return "BLE: Bluetooth is off";
    default: return "BLE: Unavailable";
  }
}

void BleGattServer::ReportStatus(const std::string& text) const {
  if (!statusCallback) return;
  try {
    statusCallback(text);
  } catch (...) {
    // The owner's window update must not end a Bluetooth thread.
  }
}

BleWriteQueue::~BleWriteQueue() { Stop(); }

void BleWriteQueue::Start(BleGattServer::WriteCallback callback) {
  std::lock_guard lock(mutex_);
  if (worker_.joinable() || stopping_) return;
  worker_ = std::thread([this, callback = std::move(callback)]() mutable { Loop(std::move(callback)); });
  Log() << "[BLE] Write worker thread started.";
}

void BleWriteQueue::Push(std::vector<std::uint8_t> packet) {
  if (packet.empty()) return;
  std::unique_lock lock(mutex_);
  room_.wait(lock, [this] { return stopping_ || queue_.size() < kMaxPending; });
  // Once stopping, nothing new is taken: what is queued is all the worker delivers.
  if (stopping_) return;
  queue_.push_back(std::move(packet));
  lock.unlock();
  wake_.notify_one();
}

void BleWriteQueue::Stop() {
  std::thread worker;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    worker.swap(worker_);
  }
  wake_.notify_all();
  room_.notify_all();
  if (worker.joinable()) worker.join();
}

bool BleWriteQueue::Running() const {
  std::lock_guard lock(mutex_);
  return worker_.joinable();
}

std::size_t BleWriteQueue::Pending() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

void BleWriteQueue::Loop(BleGattServer::WriteCallback callback) {
  for (;;) {
    std::vector<std::uint8_t> packet;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) break;
      packet = std::move(queue_.front());
      queue_.pop_front();
    }
    room_.notify_one();
    if (!callback) continue;
    try {
      callback(packet);
    } catch (const std::exception& e) {
      Log() << "[BLE][FATAL] Write callback raised an exception: " << e.what() << ", len=" << packet.size()
            << ". Swallowed to keep server alive.";
    } catch (...) {
      Log() << "[BLE][FATAL] Write callback raised an unknown exception, len=" << packet.size()
            << ". Swallowed to keep server alive.";
    }
  }
  Log() << "[BLE] Write worker thread exiting.";
}

}  // namespace vandrel
