// The PC's desktop as a phone's desktop commands reach it: the application
// list, switching, launching, opening addresses and the foreground-aware
// media keys. Each platform has one; calls may take a while (icons, a program
// starting) and come from the desktop workers, several at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "desktop/AppInfo.h"
#include "desktop/LaserOverlay.h"

namespace vandrel::InputManager {
class Injector;
}

namespace vandrel::desktop {

class Desktop {
 public:
  virtual ~Desktop() = default;

  /// Running windows, then the pinned programs that are not running (MergeAppList).
  virtual std::vector<AppInfo> GetAppList() = 0;
  /// True when the window became the active one.
  virtual bool SwitchToWindow(std::uint64_t hwnd) = 0;
  /// `path` is UTF-8, as the list gave it; true when the program was started.
  virtual bool LaunchApp(const std::string& path) = 0;
  /// Hands the address (UTF-8) to the desktop's opener; true when it took it.
  virtual bool OpenUrl(const std::string& url) = 0;
  /// How the OPEN_URL result line names the opener.
  virtual const char* UrlOpenerName() const = 0;
  /// Taps the key that the foreground application uses for `action`.
  virtual void HandleSmartMedia(std::uint32_t action) = 0;
  /// A session's laser pointer, hidden until shown.
  virtual std::unique_ptr<LaserOverlay> MakeLaserOverlay() = 0;
};

/// This platform's desktop. Keys go through `injector` where the platform
/// shares its input mechanism (may be null: then no key is sent).
std::unique_ptr<Desktop> MakePlatformDesktop(InputManager::Injector* injector);

}  // namespace vandrel::desktop
