// The presentation laser: a glowing red spot with a white core that sits
// above everything and follows the pointer, in a small click-through window
// owned by a UI thread of its own, so that any thread may switch it on or off.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace vandrel::desktop {

inline constexpr int kLaserSpotSide = 36;
/// The spot's pixels, row by row from the top, premultiplied 0xAARRGGBB.
using LaserSpotImage = std::array<std::uint32_t, kLaserSpotSide * kLaserSpotSide>;

/// The spot: a radial glow from 0xE8F44336 at its centre (flat out to 0.35 of
/// the radius) to transparent at the edge, and a white core of 5 px at (15.5, 15.5).
const LaserSpotImage& LaserSpot();

/// The window of one overlay, a platform's. Create and Run are called on the
/// overlay's UI thread; the Post calls from any thread, and never wait.
class LaserWindow {
 public:
  virtual ~LaserWindow() = default;
  /// Creates the hidden window; false, after logging why, when it cannot.
  virtual bool Create() = 0;
  /// Serves the window (show requests, the 16 ms follow, close) until closed.
  virtual void Run() = 0;
  /// Shows the spot centred at (x, y); a negative coordinate means the pointer's.
  virtual void PostShow(std::int32_t x, std::int32_t y) = 0;
  /// Destroys the window, which ends Run.
  virtual void PostClose() = 0;
};

/// The platform's window; on a machine without a desktop one whose Create fails.
std::unique_ptr<LaserWindow> MakeLaserWindow();

class LaserOverlay {
 public:
  using WindowFactory = std::function<std::unique_ptr<LaserWindow>()>;
  static constexpr auto kReadyWait = std::chrono::milliseconds(2000);
  static constexpr auto kEndWait = std::chrono::milliseconds(3000);

  explicit LaserOverlay(WindowFactory factory = MakeLaserWindow);
  /// Hides first.
  ~LaserOverlay();
  LaserOverlay(const LaserOverlay&) = delete;
  LaserOverlay& operator=(const LaserOverlay&) = delete;

  /// Starts the UI thread and its window unless they run (waiting at most
  /// 2 s for the window), then shows the spot centred at (x, y).
  void Show(std::int32_t x, std::int32_t y);
  /// Closes the window and ends the UI thread (waiting at most 3 s); Show may follow.
  void Hide();

  /// Whether a UI thread is recorded (Starting, Shown or Broken).
  bool HasThread() const { return thread_ != nullptr; }

 private:
  // What the UI thread uses, shared with it so that a thread left behind
  // after the end wait never touches a destroyed overlay.
  struct Shared;

  WindowFactory factory_;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<std::thread> thread_;
};

}  // namespace vandrel::desktop
