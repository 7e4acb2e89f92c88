// The Linux desktop: windows, switching and the foreground from the X11
// window manager (on sway, the foreground from its IPC), pinned programs from
// the desktop's favourites, programs started directly, keys through the same
// injector as the phone's typing.
#include <atomic>
#include <cctype>
#include <cstdlib>

#include "desktop/Desktop.h"
#include "desktop/SmartMedia.h"
#include "desktop/linux/PinnedApps.h"
#include "desktop/linux/Programs.h"
#include "desktop/linux/TextCodec.h"
#include "desktop/linux/X11Session.h"
#include "desktop/linux/X11Windows.h"
#include "infra/Logger.h"
#include "infra/linux/Spawn.h"
#include "infra/linux/SwayIpc.h"
#include "input/Injector.h"

namespace vandrel::desktop {
namespace {

constexpr std::uint16_t kAlt = 0x12;
constexpr std::uint16_t kReturn = 0x0D;

bool WaylandSession() {
  const char* display = std::getenv("WAYLAND_DISPLAY");
  return display && *display;
}

// Writes `line` the first time only, from whichever thread comes first.
void SayOnce(std::atomic<bool>& said, const char* line) {
  if (!said.exchange(true)) Log() << line;
}

class LinuxKeys final : public SmartMediaKeys {
 public:
  LinuxKeys(x11::X11Windows& windows, InputManager::Injector* injector, bool wayland)
      : windows_(windows), injector_(injector), wayland_(wayland) {}

  std::optional<ForegroundInfo> Foreground() override {
    if (!wayland_) return windows_.ActiveWindow();
    // Xwayland's active window goes stale while a Wayland window has the focus.
    if (!platform::HaveSwaySocket()) {
      SayOnce(saidNoSway_, "[SmartMedia] Wayland session without sway's IPC ($SWAYSOCK): no foreground window");
      return std::nullopt;
    }
    auto focus = platform::SwayFocusedWindow();
    if (!focus) return std::nullopt;
    ForegroundInfo info;
    info.wideTitle = x11::Utf8ToUtf16(focus->title);
    info.process = x11::FileName(platform::ProgramPathOf(focus->pid));
    // The app_id names the program well enough where its file cannot be read.
    if (info.process.empty()) info.process = focus->appId;
    return info;
  }

  // Keys are sent as keysyms, so any letter has one whatever the layout.
  std::optional<std::uint16_t> LetterKey(char letter) override {
    return static_cast<std::uint16_t>(std::toupper(static_cast<unsigned char>(letter)));
  }

  std::uint16_t TapKey(std::uint16_t vk) override {
    if (!injector_) return 0;
    const InputRecord tap[] = {KeyRecord{vk, false}, KeyRecord{vk, true}};
    injector_->SendDesktopKeys(tap);
    return injector_->ScanCodeOf(vk);
  }

  void SendAltEnter() override {
    if (!injector_) return;
    const InputRecord chord[] = {KeyRecord{kAlt, false}, KeyRecord{kReturn, false}, KeyRecord{kReturn, true},
                                 KeyRecord{kAlt, true}};
    injector_->SendDesktopKeys(chord);
  }

 private:
  x11::X11Windows& windows_;
  InputManager::Injector* injector_;
  const bool wayland_;
  std::atomic<bool> saidNoSway_{false};
};

class LinuxDesktop final : public Desktop {
 public:
  explicit LinuxDesktop(InputManager::Injector* injector)
      : wayland_(WaylandSession()), keys_(windows_, injector, wayland_) {}

  std::vector<AppInfo> GetAppList() override {
    if (wayland_) SayOnce(saidAppListX11_, "[AppList] Wayland session: only X11 (Xwayland) windows are listed and switched to");
    Log() << "[AppList] Enumerating application windows...";
    auto running = windows_.RunningApps();
    auto pinned = linux_desktop::PinnedApps();
    Log() << "[AppList] Pinned apps: " << pinned.size() << " apps found";
    return MergeAppList(std::move(running), std::move(pinned));
  }

  bool SwitchToWindow(std::uint64_t hwnd) override { return windows_.SwitchToWindow(hwnd); }
  bool LaunchApp(const std::string& path) override { return programs_.Launch(path); }
  bool OpenUrl(const std::string& url) override { return programs_.Open(url); }
  const char* UrlOpenerName() const override { return "xdg-open"; }
  void HandleSmartMedia(std::uint32_t action) override { HandleSmartMediaAction(keys_, action); }
  std::unique_ptr<LaserOverlay> MakeLaserOverlay() override {
    if (wayland_) SayOnce(saidLaserX11_, "[Laser] Wayland session: the spot is an X11 window, shown through Xwayland");
    return std::make_unique<LaserOverlay>();
  }

 private:
  const bool wayland_;
  std::atomic<bool> saidAppListX11_{false};
  std::atomic<bool> saidLaserX11_{false};
  x11::X11Windows windows_;
  linux_desktop::Programs programs_;
  LinuxKeys keys_;
};

}  // namespace

std::unique_ptr<Desktop> MakePlatformDesktop(InputManager::Injector* injector) {
  return std::make_unique<LinuxDesktop>(injector);
}

}  // namespace vandrel::desktop
