// The received writes between a backend's event thread and the owner: the
// event thread only copies and queues, one worker hands the packets to the
// write callback one at a time in arrival order, so a slow command never
// delays the acknowledgement of a write.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "ble/BleGattServer.h"

namespace vandrel {

class BleWriteQueue {
 public:
  /// Past this many waiting packets Push waits for room, which holds the
  /// central's next write rather than growing without bound.
  static constexpr std::size_t kMaxPending = 256;

  BleWriteQueue() = default;
  /// Stops.
  ~BleWriteQueue();
  BleWriteQueue(const BleWriteQueue&) = delete;
  BleWriteQueue& operator=(const BleWriteQueue&) = delete;

  /// Starts the worker with its own copy of `callback`; logs "[BLE] Write
  /// worker thread started.". Once per object.
  void Start(BleGattServer::WriteCallback callback);
  /// Queues one packet (empty ones are ignored); waits while the queue is
  /// full, unless stopping. Any thread but the worker.
  void Push(std::vector<std::uint8_t> packet);
  /// Lets the worker deliver what is queued, then joins it. Safe twice and
  /// without Start.
  void Stop();
  bool Running() const;
  std::size_t Pending() const;

 private:
  void Loop(BleGattServer::WriteCallback callback);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable room_;
  std::deque<std::vector<std::uint8_t>> queue_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace vandrel
