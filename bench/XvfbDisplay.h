// The bench's own X server: an Xvfb on the first free display from :91, so
// that the user's pointer is never touched, and a connection to watch it.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "RawSession.h"
#include "SpawnChild.h"
#include "ServerProcess.h"
#include "WorkFolder.h"

namespace vandrel::bench {

inline std::atomic<pid_t> gXvfb{-1};

/// Starts `args` (looked up on PATH) with its output discarded and no signal
/// blocked. Returns 0, or an error number.
inline int SpawnQuietly(std::vector<std::string> args, pid_t& pid) {
  pid = testing::SpawnChild(std::move(args));
  return pid > 0 ? 0 : -pid;
}

class XvfbDisplay {
  using Clock = std::chrono::steady_clock;

 public:
  XvfbDisplay() {
    for (int n = 91; n < 140 && !display_; ++n) {
      const std::string number = std::to_string(n);
      const bool taken = std::filesystem::exists("/tmp/.X11-unix/X" + number) ||
                         std::filesystem::exists("/tmp/.X" + number + "-lock");
      if (taken) continue;
      name_ = ":" + std::to_string(n);
      std::vector<std::string> args = {"Xvfb", name_, "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"};
      pid_t pid = -1;
      const int rc = SpawnQuietly(args, pid);
      if (rc != 0) throw BenchError("cannot start Xvfb (apt-get install xvfb): " + std::string(std::strerror(rc)));
      gXvfb = pid;
      for (const auto deadline = Clock::now() + std::chrono::seconds(10); !display_ && Clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        display_ = XOpenDisplay(name_.c_str());
      }
      if (!display_) Stop();
    }
    if (!display_) throw BenchError("no Xvfb display could be started");
    ::setenv("DISPLAY", name_.c_str(), 1);  // the server inherits it
    XSelectInput(display_, DefaultRootWindow(display_), PointerMotionMask);
  }
  ~XvfbDisplay() {
    if (display_) XCloseDisplay(display_);
    Stop();
  }
  static void Stop() {
    const pid_t pid = gXvfb.exchange(-1);
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }

  const std::string& name() const { return name_; }

  std::pair<int, int> Pointer() const {
    Window root = 0, child = 0;
    int x = 0, y = 0, windowX = 0, windowY = 0;
    unsigned mask = 0;
    XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &x, &y, &windowX, &windowY, &mask);
    return {x, y};
  }
  void Warp(int x, int y) {
    XWarpPointer(display_, 0, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
    XSync(display_, True);  // and forget the motion it made
  }
  void FakeMove(int dx, int dy) {
    XTestFakeRelativeMotionEvent(display_, dx, dy, CurrentTime);
    XFlush(display_);
  }
  /// Waits, without spinning, until the pointer is at (x, y); false after `limit`.
  bool WaitFor(int x, int y, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      if (Pointer() == std::pair(x, y)) return true;
      // Each move makes a motion event on the root window: sleep until one comes.
      bool moved = false;
      while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        moved = true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      if (moved) continue;
      pollfd fd{ConnectionNumber(display_), POLLIN, 0};
      ::poll(&fd, 1, static_cast<int>(std::min<long long>(left, 50)));
    }
  }

 private:
  std::string name_;
  Display* display_ = nullptr;
};

/// On a termination signal: the server and the Xvfb end and the work folder goes.
inline void WatchSignalsWithXvfb() {
  WatchTerminationSignals([] {
    XvfbDisplay::Stop();
    std::error_code ignored;
    if (!gWorkFolder.empty()) std::filesystem::remove_all(gWorkFolder, ignored);
  });
}

}  // namespace vandrel::bench
