// Records the server's notifications; lets a test wait for them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "net/Server.h"

namespace vandrel::testing {

class RecordingListener final : public Server::ConnectionListener {
 public:
  void OnDeviceConnected(std::string deviceName) override { Record("connected:" + deviceName); }
  void OnDeviceDisconnected(std::string deviceName) override { Record("disconnected:" + deviceName); }
  void OnStatus(std::string status) override { Record("status:" + status); }

  std::vector<std::string> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  /// Waits until `count` events have arrived; false after `limit`.
  bool WaitForEvents(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return events_.size() >= count; });
  }

  /// Runs inside each notification, on the notifying thread.
  std::function<void(const std::string& event)> onEvent;

 private:
  void Record(std::string event) {
    if (onEvent) onEvent(event);
    {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(event));
    }
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> events_;
};

}  // namespace vandrel::testing
