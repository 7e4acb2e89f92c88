// A desktop that records what the phone's desktop commands asked of it, and
// can hold its callers until the test lets them go.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "FakeLaserWindow.h"
#include "desktop/Desktop.h"

namespace vandrel::testing {

class FakeDesktop : public desktop::Desktop {
 public:
  std::vector<desktop::AppInfo> apps;
  bool result = true;

  std::vector<desktop::AppInfo> GetAppList() override {
    Record("list");
    return apps;
  }
  bool SwitchToWindow(std::uint64_t hwnd) override { return Record("switch " + std::to_string(hwnd)); }
  bool LaunchApp(const std::string& path) override { return Record("launch " + path); }
  bool OpenUrl(const std::string& url) override { return Record("open " + url); }
  const char* UrlOpenerName() const override { return "TestOpener"; }
  void HandleSmartMedia(std::uint32_t action) override { Record("media " + std::to_string(action)); }
  std::unique_ptr<desktop::LaserOverlay> MakeLaserOverlay() override {
    ++overlaysMade;
    return std::make_unique<desktop::LaserOverlay>(FakeLaserWindow::Factory(laser));
  }

  /// What the sessions' overlays were asked, all together.
  std::shared_ptr<LaserRecord> laser = std::make_shared<LaserRecord>();
  std::atomic<int> overlaysMade{0};

  /// From now on callers wait inside the desktop until Release.
  void Hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      held_ = false;
    }
    released_.notify_all();
  }
  std::vector<std::string> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  /// Callers inside the desktop right now.
  int Inside() const {
    std::lock_guard lock(mutex_);
    return inside_;
  }
  int MostInside() const {
    std::lock_guard lock(mutex_);
    return mostInside_;
  }

 private:
  bool Record(std::string call) {
    std::unique_lock lock(mutex_);
    calls_.push_back(std::move(call));
    ++inside_;
    mostInside_ = std::max(mostInside_, inside_);
    released_.wait(lock, [this] { return !held_; });
    --inside_;
    return result;
  }

  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::vector<std::string> calls_;
  bool held_ = false;
  int inside_ = 0;
  int mostInside_ = 0;
};

}  // namespace vandrel::testing
