#include "desktop/LaserOverlay.h"

#include <algorithm>
#include <cmath>
#include <system_error>

#include "infra/Logger.h"

namespace vandrel::desktop {
namespace {

// What a wait that ran out reports, in the system's own number.
constexpr unsigned kWaitTimeout = 0x102;

constexpr double kCentre = kLaserSpotSide / 2.0;
constexpr double kFocus = 0.35;
constexpr std::uint32_t kGlow = 0xE8F44336;
constexpr double kCoreLeft = 15.5;
constexpr double kCoreSize = 5.0;
constexpr int kSamples = 4;  // per axis, for smooth edges

struct Premultiplied {
  double a = 0, r = 0, g = 0, b = 0;
};

// The glow at a point: flat centre colour inside the focus, fading linearly
// to transparent at the ellipse; nothing outside it.
Premultiplied GlowAt(double x, double y) {
  const double distance = std::hypot(x - kCentre, y - kCentre) / kCentre;
  if (distance >= 1.0) return {};
  const double fade = distance <= kFocus ? 1.0 : 1.0 - (distance - kFocus) / (1.0 - kFocus);
  const double alpha = ((kGlow >> 24) & 0xFF) / 255.0 * fade;
  return {alpha, alpha * ((kGlow >> 16) & 0xFF), alpha * ((kGlow >> 8) & 0xFF), alpha * (kGlow & 0xFF)};
}

bool InCore(double x, double y) {
  const double radius = kCoreSize / 2, cx = kCoreLeft + radius, cy = kCoreLeft + radius;
  return std::hypot(x - cx, y - cy) < radius;
}

std::uint32_t Pack(const Premultiplied& p) {
  const auto channel = [](double v) { return static_cast<std::uint32_t>(std::clamp(std::lround(v), 0L, 255L)); };
  return channel(p.a * 255) << 24 | channel(p.r) << 16 | channel(p.g) << 8 | channel(p.b);
}

LaserSpotImage RenderSpot() {
  LaserSpotImage image{};
  for (int y = 0; y < kLaserSpotSide; ++y) {
    for (int x = 0; x < kLaserSpotSide; ++x) {
      Premultiplied sum;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          const double px = x + (sx + 0.5) / kSamples, py = y + (sy + 0.5) / kSamples;
          // White over the glow, source over.
          Premultiplied p = InCore(px, py) ? Premultiplied{1, 255, 255, 255} : GlowAt(px, py);
          sum.a += p.a, sum.r += p.r, sum.g += p.g, sum.b += p.b;
        }
      }
      constexpr double n = kSamples * kSamples;
      image[static_cast<std::size_t>(y * kLaserSpotSide + x)] = Pack({sum.a / n, sum.r / n, sum.g / n, sum.b / n});
    }
  }
  return image;
}

}  // namespace

const LaserSpotImage& LaserSpot() {
  static const LaserSpotImage spot = RenderSpot();
  return spot;
}

struct LaserOverlay::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::unique_ptr<LaserWindow> owned;
  LaserWindow* window = nullptr;  // while the window exists
  bool ready = false;             // created, or creation failed
  bool ended = false;
};

LaserOverlay::LaserOverlay(WindowFactory factory) : factory_(std::move(factory)) {}

LaserOverlay::~LaserOverlay() {
  try {
    Hide();
  } catch (const std::exception& e) {
    Log() << "[LASER] Ending the overlay failed: " << e.what();
  }
}

void LaserOverlay::Show(std::int32_t x, std::int32_t y) {
  if (!thread_) {
    auto shared = std::make_shared<Shared>();
    shared->owned = factory_();
    try {
      thread_ = std::make_unique<std::thread>([shared] {
        const bool created = shared->owned->Create();
        {
          std::lock_guard lock(shared->mutex);
          shared->window = created ? shared->owned.get() : nullptr;
          shared->ready = true;
        }
        shared->changed.notify_all();
        if (created) shared->owned->Run();
        {
          std::lock_guard lock(shared->mutex);
          shared->window = nullptr;
          shared->ready = false;
          shared->ended = true;
        }
        shared->changed.notify_all();
      });
    } catch (const std::system_error& e) {
      Log() << "[LASER] Failed to create UI thread, err=" << e.code().value();
      return;
    }
    shared_ = shared;
    std::unique_lock lock(shared->mutex);
    if (!shared->changed.wait_for(lock, kReadyWait, [&] { return shared->ready || shared->ended; })) {
      lock.unlock();
      Log() << "[LASER] UI thread window-creation timed out (wait=0x" << std::hex << kWaitTimeout << ")";
    }
  }
  // A window created after the wait ran out still gets later requests.
  std::lock_guard lock(shared_->mutex);
  if (shared_->window) shared_->window->PostShow(x, y);
}

void LaserOverlay::Hide() {
  if (!thread_) return;
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->window) shared_->window->PostClose();
  }
  bool ended = false;
  {
    std::unique_lock lock(shared_->mutex);
    ended = shared_->changed.wait_for(lock, kEndWait, [this] { return shared_->ended; });
  }
  if (ended) {
    thread_->join();
  } else {
    // A thread cannot be ended from outside here; it owns what it still uses
    // and ends on its own when its window call returns.
    Log() << "[LASER] UI thread did not exit cleanly (wait=0x" << std::hex << kWaitTimeout
          << "), terminating forcefully";
    thread_->detach();
  }
  thread_.reset();
  shared_.reset();
}

}  // namespace vandrel::desktop
