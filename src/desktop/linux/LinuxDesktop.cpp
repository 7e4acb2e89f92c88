// The Linux desktop: windows, switching and the foreground from the X11
// window manager, pinned programs from the desktop's favourites, programs
// started directly, keys through the same XTEST mechanism as the phone's typing.
#include <cctype>

#include "desktop/Desktop.h"
#include "desktop/SmartMedia.h"
#include "desktop/linux/PinnedApps.h"
#include "desktop/linux/Programs.h"
#include "desktop/linux/X11Windows.h"
#include "infra/Logger.h"
#include "input/Injector.h"

namespace vandrel::desktop {
namespace {

constexpr std::uint16_t kAlt = 0x12;
constexpr std::uint16_t kReturn = 0x0D;

class LinuxKeys final : public SmartMediaKeys {
 public:
  LinuxKeys(x11::X11Windows& windows, InputManager::Injector* injector) : windows_(windows), injector_(injector) {}

  std::optional<ForegroundInfo> Foreground() override { return windows_.ActiveWindow(); }

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
};

class LinuxDesktop final : public Desktop {
 public:
  explicit LinuxDesktop(InputManager::Injector* injector) : keys_(windows_, injector) {}

  std::vector<AppInfo> GetAppList() override {
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
  std::unique_ptr<LaserOverlay> MakeLaserOverlay() override { return std::make_unique<LaserOverlay>(); }

 private:
  x11::X11Windows windows_;
  linux_desktop::Programs programs_;
  LinuxKeys keys_;
};

}  // namespace

std::unique_ptr<Desktop> MakePlatformDesktop(InputManager::Injector* injector) {
  return std::make_unique<LinuxDesktop>(injector);
}

}  // namespace vandrel::desktop
