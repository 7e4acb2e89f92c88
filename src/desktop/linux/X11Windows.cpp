#include "desktop/linux/X11Windows.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "desktop/linux/IconPng.h"
#include "desktop/linux/TextCodec.h"
#include "desktop/linux/X11Session.h"
#include "infra/Logger.h"

namespace vandrel::desktop::x11 {
namespace {

constexpr std::chrono::milliseconds kActivationWait{1000};
constexpr std::chrono::milliseconds kActivationPoll{20};
constexpr long kSourcePager = 2;  // EWMH source indication: a pager or taskbar

// Window types that are parts of the desktop rather than applications.
constexpr const char* kNonAppTypes[] = {
    "_NET_WM_WINDOW_TYPE_DOCK",          "_NET_WM_WINDOW_TYPE_DESKTOP",      "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_UTILITY",       "_NET_WM_WINDOW_TYPE_SPLASH",       "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", "_NET_WM_WINDOW_TYPE_POPUP_MENU",   "_NET_WM_WINDOW_TYPE_TOOLTIP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",  "_NET_WM_WINDOW_TYPE_COMBO",        "_NET_WM_WINDOW_TYPE_DND",
};

std::string Hex(std::uint64_t value) {
  char text[24] = {};
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
  return text;
}

bool IsApplication(X11Session& x, Window window) {
  const auto types = x.Longs(window, "_NET_WM_WINDOW_TYPE", XA_ATOM, 64);
  for (const char* name : kNonAppTypes) {
    if (std::find(types.begin(), types.end(), x.Intern(name)) != types.end()) return false;
  }
  return !x.HasAtom(window, "_NET_WM_STATE", x.Intern("_NET_WM_STATE_SKIP_TASKBAR"));
}

bool Minimised(X11Session& x, Window window) {
  if (x.HasAtom(window, "_NET_WM_STATE", x.Intern("_NET_WM_STATE_HIDDEN"))) return true;
  const Atom wmState = x.Intern("WM_STATE");
  const auto state = x.Longs(window, "WM_STATE", wmState, 2);
  return !state.empty() && state[0] == IconicState;
}

void SendActivate(X11Session& x, Window window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = x.Intern("_NET_ACTIVE_WINDOW");
  event.xclient.format = 32;
  event.xclient.data.l[0] = kSourcePager;
  event.xclient.data.l[1] = CurrentTime;
  event.xclient.data.l[2] = static_cast<long>(x.ActiveWindow());
  if (!x.usable()) return;
  XSendEvent(x.display(), x.root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  XFlush(x.display());
}

}  // namespace

void X11Windows::LogLimited(LogLimiter& limiter, const char* line) {
  LogPermit permit;
  {
    std::lock_guard lock(logMutex_);
    permit = limiter.Next();
  }
  if (permit) Log() << line << permit;
}

std::vector<AppInfo> X11Windows::RunningApps() {
  X11Session x;
  if (!x.usable()) {
    LogLimited(noDisplayLog_, "[AppList] Cannot open the X display: no running windows listed");
    return {};
  }
  bool listed = false;
  const std::vector<Window> clients = x.ClientList(listed);
  if (!listed) {
    if (x.usable()) {
      LogLimited(noClientListLog_, "[AppList] No _NET_CLIENT_LIST on the display: no window manager lists its windows");
    } else {
      LogLimited(noDisplayLog_, "[AppList] Lost the X display: no running windows listed");
    }
    return {};
  }
  std::vector<AppInfo> apps;
  for (const Window window : clients) {
    if (!x.usable()) break;
    if (!IsApplication(x, window)) continue;
    std::string title = x.Title(window);
    if (title.empty()) continue;
    std::string path = x.ProgramPath(window);
    std::string process = FileName(path);
    // A window whose program cannot be told has no identity on the phone.
    if (process.empty()) continue;
    bool cut = false;
    const auto iconItems = x.Longs(window, "_NET_WM_ICON", XA_CARDINAL, kMaxIconItems, &cut);
    AppInfo app;
    app.icon = IconPngFromProperty(iconItems, cut);
    app.name = std::move(title);
    app.process = std::move(process);
    app.path = std::move(path);
    app.hwnd = window;
    app.running = true;
    Log() << "[AppList] Found app: name=\"" << app.name << "\", process=\"" << app.process
          << "\", iconSize=" << app.icon.size() << " bytes, hwnd=0x" << Hex(app.hwnd);
    apps.push_back(std::move(app));
  }
  if (!x.usable()) {
    // The windows read so far belong to a server that is gone.
    LogLimited(noDisplayLog_, "[AppList] Lost the X display: no running windows listed");
    return {};
  }
  Log() << "[AppList] Running windows: " << apps.size() << " apps found";
  return apps;
}

bool X11Windows::SwitchToWindow(std::uint64_t window) {
  if (window == 0) return false;
  X11Session x;
  if (!x.usable()) {
    LogLimited(noDisplayLog_, "[SwitchApp] Cannot open the X display: no window switched");
    return false;
  }
  bool listed = false;
  const auto clients = x.ClientList(listed);
  const auto target = static_cast<Window>(window);
  if (std::find(clients.begin(), clients.end(), target) == clients.end()) {
    if (x.usable()) LogLimited(notOpenLog_, "[SwitchApp] The window is not open (any more)");
    return false;
  }
  if (Minimised(x, target) && x.usable()) XMapRaised(x.display(), target);
  SendActivate(x, target);
  const auto deadline = std::chrono::steady_clock::now() + kActivationWait;
  while (x.usable()) {
    if (x.ActiveWindow() == target) return true;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(kActivationPoll);
  }
  return false;
}

std::optional<ForegroundInfo> X11Windows::ActiveWindow() {
  X11Session x;
  if (!x.usable()) {
    LogLimited(noDisplayLog_, "[SmartMedia] Cannot open the X display: no foreground window");
    return std::nullopt;
  }
  const Window active = x.ActiveWindow();
  if (active == 0 || !x.usable()) return std::nullopt;
  ForegroundInfo info;
  info.wideTitle = Utf8ToUtf16(x.Title(active));
  info.process = FileName(x.ProgramPath(active));
  if (!x.usable()) return std::nullopt;
  return info;
}

}  // namespace vandrel::desktop::x11
