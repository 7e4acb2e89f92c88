// A laser window that records what its overlay asked of it and runs until
// closed, without any display.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "desktop/LaserOverlay.h"

namespace vandrel::testing {

struct LaserRecord {
  std::mutex mutex;
  std::vector<std::string> calls;
  std::atomic<int> windows{0};  // created and not yet ended
  std::atomic<int> created{0};
  bool failCreate = false;
  std::chrono::milliseconds createDelay{0};
  bool ignoreClose = false;  // Run returns only when released
  std::atomic<bool> release{false};

  void Add(std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
  }
  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex);
    return calls;
  }
};

class FakeLaserWindow : public desktop::LaserWindow {
 public:
  explicit FakeLaserWindow(std::shared_ptr<LaserRecord> record) : record_(std::move(record)) {}

  static desktop::LaserOverlay::WindowFactory Factory(std::shared_ptr<LaserRecord> record) {
    return [record] { return std::make_unique<FakeLaserWindow>(record); };
  }

  bool Create() override {
    std::this_thread::sleep_for(record_->createDelay);
    if (record_->failCreate) return false;
    ++record_->created;
    ++record_->windows;
    return true;
  }
  void Run() override {
    std::unique_lock lock(mutex_);
    // Polls too: `release` may be set when nobody can reach this window any more.
    while (!((closed_ && !record_->ignoreClose) || record_->release)) {
      wake_.wait_for(lock, std::chrono::milliseconds(10));
    }
    --record_->windows;
  }
  void PostShow(std::int32_t x, std::int32_t y) override {
    record_->Add("show " + std::to_string(x) + "," + std::to_string(y));
  }
  void PostClose() override {
    record_->Add("close");
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    wake_.notify_all();
  }

 private:
  std::shared_ptr<LaserRecord> record_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool closed_ = false;
};

}  // namespace vandrel::testing
