// The X11 side of the phone's task switcher: the windows a taskbar would
// show, their icons, switching to one, and the active window. Each call
// opens its own connection to $DISPLAY and closes it, so calls may come from
// several threads at once and survive an X server that went away or restarted.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "desktop/AppInfo.h"
#include "desktop/SmartMedia.h"
#include "infra/LogLimiter.h"

namespace vandrel::desktop::x11 {

class X11Windows {
 public:
  /// The windows of _NET_CLIENT_LIST in its order that a taskbar would show:
  /// titled, of a readable program, neither panels nor menus nor marked to
  /// skip the taskbar; with the icon as PNG. Empty without a display or a
  /// window manager that lists its windows.
  std::vector<AppInfo> RunningApps();
  /// Asks the window manager to restore and activate `window`; true when it
  /// became the active window within about a second.
  bool SwitchToWindow(std::uint64_t window);
  /// The active window's title and program; nothing when no window is active.
  std::optional<ForegroundInfo> ActiveWindow();

 private:
  /// One line, limited: each call can come from the phone.
  void LogLimited(LogLimiter& limiter, const char* line);

  std::mutex logMutex_;
  LogLimiter noDisplayLog_;
  LogLimiter noClientListLog_;
  LogLimiter notOpenLog_;
};

}  // namespace vandrel::desktop::x11
