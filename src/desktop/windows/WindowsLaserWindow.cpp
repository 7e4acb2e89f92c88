// The laser spot on Windows: a layered, click-through, topmost tool window
// drawn by GDI+ into a premultiplied DIB and handed to UpdateLayeredWindow.
// A 16 ms timer on the UI thread moves it after the pointer.
#include <windows.h>

#include <objidl.h>

// GDI+ headers want min/max and the COM types in scope.
#include <algorithm>
using std::max;
using std::min;
#include <gdiplus.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>

#include "desktop/LaserOverlay.h"
#include "desktop/windows/WindowsDesktop.h"
#include "infra/LogLimiter.h"
#include "infra/Logger.h"

namespace vandrel::desktop {
namespace {

constexpr wchar_t kClassName[] = L"VandrelLaserOverlay";
constexpr wchar_t kTitle[] = L"Laser Pointer";
constexpr UINT kShowMessage = WM_USER + 1;
constexpr UINT kCloseMessage = WM_USER + 2;
constexpr UINT_PTR kFollowTimer = 1;
constexpr UINT kFollowMs = 16;
constexpr int kSide = kLaserSpotSide;
constexpr int kHalf = kSide / 2;
constexpr DWORD kExStyle = WS_EX_LAYERED | WS_EX_TRANSPARENT | WS_EX_TOPMOST | WS_EX_TOOLWINDOW;

constexpr Gdiplus::ARGB kGlowCentre = 0xE8F44336;
constexpr Gdiplus::ARGB kGlowEdge = 0x00000000;
constexpr Gdiplus::ARGB kCore = 0xFFFFFFFF;
constexpr Gdiplus::REAL kFocus = 0.35f;
constexpr Gdiplus::REAL kCoreLeft = 15.5f;
constexpr Gdiplus::REAL kCoreSize = 5.0f;

// Every Show draws, and a phone may send Shows at will: drawing failures are limited.
// The limiter is process-wide because a late UI thread may still draw beside a new one.
LogPermit RenderFailurePermit() {
  static std::mutex mutex;
  static LogLimiter limiter;
  std::lock_guard lock(mutex);
  return limiter.Next();
}

// The coordinate travels as its 32 bits, so that a negative one survives the WPARAM.
WPARAM Encode(std::int32_t v) { return static_cast<WPARAM>(static_cast<std::uint32_t>(v)); }
std::int32_t Decode(std::uintptr_t v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }

class WindowsLaserWindow final : public LaserWindow {
 public:
  bool Create() override {
    StartGdiplus();
    static const ATOM kind = [] {
      WNDCLASSEXW windowClass{};
      windowClass.cbSize = sizeof(windowClass);
      windowClass.style = CS_HREDRAW | CS_VREDRAW;
      windowClass.lpfnWndProc = &WindowsLaserWindow::Procedure;
      windowClass.hInstance = ::GetModuleHandleW(nullptr);
      windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
      windowClass.lpszClassName = kClassName;
      return ::RegisterClassExW(&windowClass);
    }();
    (void)kind;  // a failed registration shows as the failed creation below
    const HWND window = ::CreateWindowExW(kExStyle, kClassName, kTitle, WS_POPUP, 0, 0, kSide, kSide, nullptr,
                                          nullptr, ::GetModuleHandleW(nullptr), this);
    if (!window) {
      Log() << "[LASER] CreateWindowExW failed, err=" << static_cast<unsigned long>(::GetLastError());
      return false;
    }
    window_.store(window);
    return true;
  }

  void Run() override {
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }

  void PostShow(std::int32_t x, std::int32_t y) override {
    if (const HWND window = window_.load()) {
      ::PostMessageW(window, kShowMessage, Encode(x), static_cast<LPARAM>(Encode(y)));
    }
  }

  void PostClose() override {
    if (const HWND window = window_.load()) ::PostMessageW(window, kCloseMessage, 0, 0);
  }

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      return 0;
    }
    auto* self = reinterpret_cast<WindowsLaserWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return ::DefWindowProcW(window, message, wParam, lParam);
    // Nothing may unwind through the system's dispatch.
    try {
      return self->Handle(window, message, wParam, lParam);
    } catch (const std::exception& e) {
      Log() << "[LASER] Window message " << message << " failed: " << e.what();
      return 0;
    }
  }

  LRESULT Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
      case kShowMessage:
        Show(window, Decode(wParam), Decode(static_cast<std::uintptr_t>(lParam)));
        return 0;
      case WM_TIMER:
        if (wParam == kFollowTimer) Follow(window);
        return 0;
      case kCloseMessage:
        ::KillTimer(window, kFollowTimer);
        ::DestroyWindow(window);
        return 0;
      case WM_PAINT: {
        PAINTSTRUCT paint{};
        ::BeginPaint(window, &paint);
        Render(window);
        ::EndPaint(window, &paint);
        return 0;
      }
      case WM_DESTROY:
        ::KillTimer(window, kFollowTimer);
        window_.store(nullptr);
        ::PostQuitMessage(0);
        return 0;
      default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
  }

  void Show(HWND window, std::int32_t x, std::int32_t y) {
    lastX_ = -1;
    lastY_ = -1;
    POINT cursor{};
    ::GetCursorPos(&cursor);
    lastX_ = x >= 0 ? x : cursor.x;
    lastY_ = y >= 0 ? y : cursor.y;
    Place(window);
    Render(window);
    ::SetTimer(window, kFollowTimer, kFollowMs, nullptr);
    ::ShowWindow(window, SW_SHOWNA);
    ::UpdateWindow(window);
    Log() << "[LASER] Show() complete, follow-timer started (" << kFollowMs << "ms)";
  }

  void Follow(HWND window) {
    POINT cursor{};
    if (!::GetCursorPos(&cursor) || (cursor.x == lastX_ && cursor.y == lastY_)) return;
    lastX_ = cursor.x;
    lastY_ = cursor.y;
    Place(window);
  }

  void Place(HWND window) const {
    ::SetWindowPos(window, HWND_TOPMOST, lastX_ - kHalf, lastY_ - kHalf, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
  }

  static void Render(HWND window);

  // Read by the Post calls on other threads; cleared when the window goes.
  std::atomic<HWND> window_{nullptr};
  LONG lastX_ = -1;
  LONG lastY_ = -1;
};

// Drawn through a premultiplied bitmap over the DIB's own pixels: a Graphics
// on the device context would take the DIB for one without alpha.
void DrawSpot(void* bits) {
  Gdiplus::Bitmap target(kSide, kSide, kSide * 4, PixelFormat32bppPARGB, static_cast<BYTE*>(bits));
  Gdiplus::Graphics graphics(&target);
  graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
  graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
  graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
  {
    Gdiplus::GraphicsPath path;
    path.AddEllipse(0, 0, kSide, kSide);
    Gdiplus::PathGradientBrush glow(&path);
    glow.SetCenterColor(Gdiplus::Color(kGlowCentre));
    Gdiplus::Color edge{kGlowEdge};
    INT count = 1;
    glow.SetSurroundColors(&edge, &count);
    glow.SetCenterPoint(Gdiplus::PointF(static_cast<Gdiplus::REAL>(kHalf), static_cast<Gdiplus::REAL>(kHalf)));
    glow.SetFocusScales(kFocus, kFocus);
    graphics.FillEllipse(&glow, 0, 0, kSide, kSide);
  }
  Gdiplus::SolidBrush core{Gdiplus::Color(kCore)};
  graphics.FillEllipse(&core, kCoreLeft, kCoreLeft, kCoreSize, kCoreSize);
  graphics.Flush(Gdiplus::FlushIntentionSync);
}

void WindowsLaserWindow::Render(HWND window) {
  const HDC screen = ::GetDC(nullptr);
  const HDC memory = ::CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = kSide;
  info.bmiHeader.biHeight = -kSide;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  const HBITMAP bitmap = ::CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bitmap || !bits) {
    const DWORD error = ::GetLastError();
    if (bitmap) ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    if (auto permit = RenderFailurePermit()) {
      Log() << "[LASER] CreateDIBSection failed, err=" << static_cast<unsigned long>(error) << permit;
    }
    return;
  }
  const HGDIOBJ previous = ::SelectObject(memory, bitmap);
  std::memset(bits, 0, static_cast<std::size_t>(kSide) * kSide * 4);
  DrawSpot(bits);
  SIZE size{kSide, kSide};
  POINT origin{0, 0};
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  if (!::UpdateLayeredWindow(window, nullptr, nullptr, &size, memory, &origin, 0, &blend, ULW_ALPHA)) {
    if (const DWORD error = ::GetLastError()) {
      if (auto permit = RenderFailurePermit()) {
        Log() << "[LASER] UpdateLayeredWindow failed, err=" << static_cast<unsigned long>(error) << permit;
      }
    }
  }
  ::SelectObject(memory, previous);
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
}

}  // namespace

std::unique_ptr<LaserWindow> MakeLaserWindow() { return std::make_unique<WindowsLaserWindow>(); }

}  // namespace vandrel::desktop
