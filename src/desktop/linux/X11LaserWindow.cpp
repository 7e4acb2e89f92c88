// The laser spot on X11: an override-redirect window above the others, of a
// 32-bit ARGB visual where the screen has one, shaped to the spot and with
// an empty input region so that clicks reach what lies underneath. It has
// its own display connection, used only by the overlay's UI thread.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/shape.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <utility>
#include <mutex>
#include <vector>

#include "desktop/LaserOverlay.h"
#include "infra/Logger.h"
#include "input/linux/X11ErrorHandlers.h"

namespace vandrel::desktop {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kFollowPeriod = std::chrono::milliseconds(16);
constexpr int kHalf = kLaserSpotSide / 2;

struct Request {
  bool close = false;
  std::int32_t x = -1, y = -1;
};

class X11LaserWindow final : public LaserWindow {
 public:
  X11LaserWindow() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~X11LaserWindow() override {
    CloseDisplay();
    if (wake_ >= 0) ::close(wake_);
  }

  bool Create() override {
    display_ = XOpenDisplay(nullptr);
    if (!display_) {
      Log() << "[LASER] Cannot open the X display: no laser pointer";
      return false;
    }
    InputManager::x11::WatchQuietly(display_, &lost_);
    int event = 0, error = 0;
    if (!XFixesQueryExtension(display_, &event, &error) || !XShapeQueryExtension(display_, &event, &error)) {
      Log() << "[LASER] The X display lacks the XFIXES or SHAPE extension: no laser pointer";
      CloseDisplay();
      return false;
    }
    const int screen = DefaultScreen(display_);
    const Window root = RootWindow(display_, screen);
    XVisualInfo info{};
    const bool argb = XMatchVisualInfo(display_, screen, 32, TrueColor, &info) != 0;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = 0;
    attributes.border_pixel = 0;
    unsigned long mask = CWOverrideRedirect | CWBackPixel | CWBorderPixel;
    if (argb) {
      colormap_ = XCreateColormap(display_, root, info.visual, AllocNone);
      attributes.colormap = colormap_;
      mask |= CWColormap;
    }
    visual_ = argb ? info.visual : DefaultVisual(display_, screen);
    depth_ = argb ? 32 : DefaultDepth(display_, screen);
    window_ = XCreateWindow(display_, root, 0, 0, kLaserSpotSide, kLaserSpotSide, 0, depth_, InputOutput, visual_,
                            mask, &attributes);
    XSync(display_, False);
    if (!window_ || lost_) {
      Log() << "[LASER] XCreateWindow failed: no laser pointer";
      CloseDisplay();
      return false;
    }
    Describe();
    // Clicks pass through: an empty input region.
    const XserverRegion none = XFixesCreateRegion(display_, nullptr, 0);
    XFixesSetWindowShapeRegion(display_, window_, ShapeInput, 0, 0, none);
    XFixesDestroyRegion(display_, none);
    ShapeToSpot();
    XSelectInput(display_, window_, ExposureMask);
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    XSync(display_, False);
    return !lost_;
  }

  void Run() override {
    bool shown = false;
    auto nextTick = Clock::now();
    while (!lost_) {
      for (const Request& request : TakeRequests()) {
        if (request.close) {
          XDestroyWindow(display_, window_);
          XFlush(display_);
          window_ = 0;
          CloseDisplay();
          return;
        }
        ShowAt(request.x, request.y);
        shown = true;
        nextTick = Clock::now() + kFollowPeriod;
      }
      while (!lost_ && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == Expose && event.xexpose.count == 0) Draw();
      }
      if (shown && Clock::now() >= nextTick) {
        Follow();
        nextTick += kFollowPeriod;
        if (nextTick < Clock::now()) nextTick = Clock::now() + kFollowPeriod;
      }
      if (lost_) break;
      XFlush(display_);
      pollfd fds[2] = {{ConnectionNumber(display_), POLLIN, 0}, {wake_, POLLIN, 0}};
      const int timeout = shown ? static_cast<int>(std::max<long long>(
                                      0, std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now())
                                             .count()))
                                : -1;
      ::poll(fds, 2, timeout);
    }
    Log() << "[LASER] Lost the X display; the laser pointer is gone";
    CloseDisplay();
  }

  void PostShow(std::int32_t x, std::int32_t y) override { Post({false, x, y}); }
  void PostClose() override { Post({true}); }

 private:
  void Post(Request request) {
    {
      std::lock_guard lock(mutex_);
      // Only the newest show counts; a close is never lost.
      if (!request.close && !requests_.empty() && !requests_.back().close) requests_.pop_back();
      requests_.push_back(request);
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
  }

  std::deque<Request> TakeRequests() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(wake_, &count, sizeof count);
    std::lock_guard lock(mutex_);
    std::deque<Request> taken;
    taken.swap(requests_);
    return taken;
  }

  void Describe() {
    XClassHint hint{const_cast<char*>("VandrelLaserOverlay"), const_cast<char*>("VandrelLaserOverlay")};
    XSetClassHint(display_, window_, &hint);
    static const char kTitle[] = "Laser Pointer";
    XStoreName(display_, window_, kTitle);
    XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_NAME", False),
                    XInternAtom(display_, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(kTitle), static_cast<int>(sizeof kTitle - 1));
    const Atom type = XInternAtom(display_, "_NET_WM_WINDOW_TYPE_NOTIFICATION", False);
    XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&type), 1);
  }

  // Without a compositor the transparent corners would show as black: the
  // window is cut to the pixels the spot covers.
  void ShapeToSpot() {
    std::vector<XRectangle> runs;
    const auto& spot = LaserSpot();
    for (int y = 0; y < kLaserSpotSide; ++y) {
      for (int x = 0; x < kLaserSpotSide;) {
        if ((spot[static_cast<std::size_t>(y * kLaserSpotSide + x)] >> 24) == 0) {
          ++x;
          continue;
        }
        const int start = x;
        while (x < kLaserSpotSide && (spot[static_cast<std::size_t>(y * kLaserSpotSide + x)] >> 24) != 0) ++x;
        runs.push_back({static_cast<short>(start), static_cast<short>(y), static_cast<unsigned short>(x - start), 1});
      }
    }
    XShapeCombineRectangles(display_, window_, ShapeBounding, 0, 0, runs.data(), static_cast<int>(runs.size()),
                            ShapeSet, YXBanded);
  }

  std::optional<std::pair<int, int>> Pointer() {
    Window root = 0, child = 0;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    if (!XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &x, &y, &wx, &wy, &mask) || lost_) {
      return std::nullopt;
    }
    return std::pair(x, y);
  }

  void ShowAt(std::int32_t x, std::int32_t y) {
    lastX_ = lastY_ = -1;
    const auto pointer = Pointer().value_or(std::pair(0, 0));
    if (x < 0) x = pointer.first;
    if (y < 0) y = pointer.second;
    lastX_ = x;
    lastY_ = y;
    XMoveWindow(display_, window_, x - kHalf, y - kHalf);
    XMapRaised(display_, window_);
    Draw();
    XFlush(display_);
    Log() << "[LASER] Show() complete, follow-timer started (" << 16 << "ms)";
  }

  // Moves only: the window keeps its picture.
  void Follow() {
    const auto pointer = Pointer();
    if (!pointer || (pointer->first == lastX_ && pointer->second == lastY_)) return;
    lastX_ = pointer->first;
    lastY_ = pointer->second;
    XMoveWindow(display_, window_, lastX_ - kHalf, lastY_ - kHalf);
    XRaiseWindow(display_, window_);
  }

  void Draw() {
    // Premultiplied ARGB is what a 32-bit visual wants, and over black what a 24-bit one shows.
    static_assert(sizeof(LaserSpotImage::value_type) == 4);
    pixels_.assign(LaserSpot().begin(), LaserSpot().end());
    XImage* image = XCreateImage(display_, visual_, static_cast<unsigned>(depth_), ZPixmap, 0,
                                 reinterpret_cast<char*>(pixels_.data()), kLaserSpotSide, kLaserSpotSide, 32, 0);
    if (!image) return;
    XPutImage(display_, window_, gc_, image, 0, 0, 0, 0, kLaserSpotSide, kLaserSpotSide);
    image->data = nullptr;  // ours, not Xlib's to free
    XDestroyImage(image);
  }

  void CloseDisplay() {
    if (!display_) return;
    if (gc_ && !lost_) XFreeGC(display_, gc_);
    if (colormap_ && !lost_) XFreeColormap(display_, colormap_);
    XCloseDisplay(display_);
    InputManager::x11::Unwatch(display_);
    display_ = nullptr;
    gc_ = nullptr;
    colormap_ = 0;
  }

  const int wake_;
  std::mutex mutex_;
  std::deque<Request> requests_;
  // UI thread only from here on.
  Display* display_ = nullptr;
  std::atomic<bool> lost_{false};
  Window window_ = 0;
  Visual* visual_ = nullptr;
  int depth_ = 0;
  Colormap colormap_ = 0;
  GC gc_ = nullptr;
  std::vector<std::uint32_t> pixels_;
  std::int32_t lastX_ = -1, lastY_ = -1;
};

}  // namespace

std::unique_ptr<LaserWindow> MakeLaserWindow() { return std::make_unique<X11LaserWindow>(); }

}  // namespace vandrel::desktop
