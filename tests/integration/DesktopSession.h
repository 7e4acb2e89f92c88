// A desktop on $DISPLAY for the tray program's tests: openbox and trayer (each
// started only when the display has none), and what the tests ask of the X
// server: a process's windows, its tray icon, clicks and keys through XTest,
// and the window manager's close.
#pragma once

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "X11Probe.h"

namespace vandrel::testing {

class DesktopSession {
 public:
  DesktopSession() {
    display_ = OpenDisplayPatiently();
    problem_ = display_ ? Start() : "cannot open the display";
    const char* name = std::getenv("DISPLAY");
    if (!problem_.empty()) problem_ += std::string(" (DISPLAY=") + (name ? name : "") + ")";
  }

  ~DesktopSession() {
    Stop(tray_);
    Stop(windowManager_);
    if (display_) {
      XCloseDisplay(display_);
      XSetErrorHandler(previousHandler_);
    }
  }
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  /// Empty when the desktop is usable, otherwise why not.
  const std::string& problem() const { return problem_; }

  /// Polls `condition` until it holds or `limit` passes.
  static bool Wait(const std::function<bool()>& condition,
                   std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  /// The viewable window of `pid` docked in the tray (an XEmbed client), or 0.
  /// Only once it lies wholly on the screen: a tray grows after it takes an icon in.
  Window TrayIcon(pid_t pid) {
    for (Window w : WindowsOf(pid)) {
      if (Docked(w)) return w;
    }
    return 0;
  }
  /// The same for the windows of the program whose WM_CLASS class is `name`:
  /// wine docks every program's icon from its explorer.exe.
  Window TrayIconOfClass(const std::string& name) {
    for (Window w : Tree()) {
      XClassHint hint{};
      if (!XGetClassHint(display_, w, &hint)) continue;
      const bool named = hint.res_class && name == hint.res_class;
      XFree(hint.res_name);
      XFree(hint.res_class);
      if (named && Docked(w)) return w;
    }
    return 0;
  }
  /// A viewable, managed window of `pid` titled exactly `title`, or 0.
  Window VisibleWindow(pid_t pid, const std::string& title) {
    for (Window w : WindowsOf(pid)) {
      if (Viewable(w) && Title(w) == title && !Property(w, "WM_STATE", AnyPropertyType).empty()) return w;
    }
    return 0;
  }
  /// The viewable popup menu of `pid`, or 0.
  Window PopupMenu(pid_t pid) {
    const Atom menu = XInternAtom(display_, "_NET_WM_WINDOW_TYPE_POPUP_MENU", False);
    for (Window w : WindowsOf(pid)) {
      if (Viewable(w) && Property(w, "_NET_WM_WINDOW_TYPE", XA_ATOM) == std::vector<unsigned long>{menu}) return w;
    }
    return 0;
  }

  bool Viewable(Window w) {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display_, w, &attributes) && attributes.map_state == IsViewable;
  }
  /// Where `w` is on the screen; empty when it is gone.
  std::optional<XRectangle> Area(Window w) {
    XWindowAttributes attributes{};
    Window child = 0;
    int x = 0, y = 0;
    if (!XGetWindowAttributes(display_, w, &attributes) ||
        !XTranslateCoordinates(display_, w, DefaultRootWindow(display_), 0, 0, &x, &y, &child)) {
      return std::nullopt;
    }
    return XRectangle{static_cast<short>(x), static_cast<short>(y), static_cast<unsigned short>(attributes.width),
                      static_cast<unsigned short>(attributes.height)};
  }

  /// `count` quick clicks of `button` in the middle of `w`, all stamped at once by the server.
  bool Click(Window w, unsigned button, int count = 1) {
    const auto area = Area(w);
    if (!area) return false;
    XTestFakeMotionEvent(display_, -1, area->x + area->width / 2, area->y + area->height / 2, CurrentTime);
    for (int i = 0; i < count; ++i) {
      XTestFakeButtonEvent(display_, button, True, CurrentTime);
      XTestFakeButtonEvent(display_, button, False, CurrentTime);
    }
    XSync(display_, False);
    return true;
  }
  void Key(KeySym keysym) {
    const KeyCode code = XKeysymToKeycode(display_, keysym);
    XTestFakeKeyEvent(display_, code, True, CurrentTime);
    XTestFakeKeyEvent(display_, code, False, CurrentTime);
    XSync(display_, False);
  }
  /// Whether another client holds the keyboard, as an open menu does.
  bool KeyboardGrabbed() {
    const Window root = DefaultRootWindow(display_);
    if (XGrabKeyboard(display_, root, False, GrabModeAsync, GrabModeAsync, CurrentTime) == AlreadyGrabbed) return true;
    XUngrabKeyboard(display_, CurrentTime);
    XSync(display_, False);
    return false;
  }

  /// Asks the window manager to close `w`, as its title bar button does.
  void CloseByWindowManager(Window w) { SendToRoot(w, "_NET_CLOSE_WINDOW"); }
  /// Asks the window manager to minimise `w`, as its title bar button does.
  void Iconify(Window w) {
    XIconifyWindow(display_, w, DefaultScreen(display_));
    XSync(display_, False);
  }
  /// Asks the window manager to focus and raise `w`.
  void Activate(Window w) { SendToRoot(w, "_NET_ACTIVE_WINDOW"); }
  Window ActiveWindow() {
    const auto value = Property(DefaultRootWindow(display_), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    return value.size() == 1 ? value[0] : 0;
  }

 private:
  // Empty when the desktop is ready, otherwise why not.
  std::string Start() {
    // Windows vanish while we walk the tree; Xlib's default handler would end the test run.
    previousHandler_ = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display_, &event, &error, &major, &minor)) return "the X server has no XTEST";
    if (!WindowManagerRunning()) {
      windowManager_ = Spawn("openbox", {"--sm-disable"});
      if (windowManager_ <= 0) return "openbox is not installed (scripts/install-deps.sh --tests)";
      if (!Wait([this] { return WindowManagerRunning(); })) return "openbox did not start: " + Output("openbox");
    }
    if (!XGetSelectionOwner(display_, TrayAtom())) {
      tray_ = Spawn("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
                               "--SetDockType", "true", "--transparent", "false"});
      if (tray_ <= 0) return "trayer is not installed (scripts/install-deps.sh --tests)";
      if (!Wait([this] { return XGetSelectionOwner(display_, TrayAtom()) != 0; })) {
        return "trayer did not start: " + Output("trayer");
      }
    }
    return {};
  }

  std::string Output(const std::string& program) const { return ReadBinary(home_.path() / (program + ".txt")); }

  Atom TrayAtom() {
    return XInternAtom(display_, ("_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(display_))).c_str(), False);
  }

  bool WindowManagerRunning() {
    const auto check = Property(DefaultRootWindow(display_), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
    // A window manager that died leaves the root's property pointing nowhere.
    return check.size() == 1 && Property(check[0], "_NET_SUPPORTING_WM_CHECK", XA_WINDOW) == check;
  }

  // The property's items of `bits` (8 or 32) each, empty when it is missing or of another type.
  template <typename Item>
  std::vector<Item> Read(Window w, const char* name, Atom type, int bits) {
    Atom actualType = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<Item> items;
    if (XGetWindowProperty(display_, w, XInternAtom(display_, name, False), 0, 256, False, type, &actualType, &format,
                           &count, &after, &data) == 0 &&
        data && format == bits) {
      const auto* values = reinterpret_cast<const Item*>(data);
      items.assign(values, values + count);
    }
    if (data) XFree(data);
    return items;
  }
  // Xlib hands 32-bit items over as longs.
  std::vector<unsigned long> Property(Window w, const char* name, Atom type) {
    return Read<unsigned long>(w, name, type, 32);
  }
  std::string Title(Window w) {
    const auto text = Read<char>(w, "_NET_WM_NAME", XInternAtom(display_, "UTF8_STRING", False), 8);
    return {text.begin(), text.end()};
  }

  // Every window of the tree.
  std::vector<Window> Tree() {
    std::vector<Window> found;
    std::vector<Window> pending = {DefaultRootWindow(display_)};
    while (!pending.empty()) {
      const Window w = pending.back();
      pending.pop_back();
      found.push_back(w);
      Window root = 0, parent = 0, *children = nullptr;
      unsigned count = 0;
      if (XQueryTree(display_, w, &root, &parent, &children, &count) && children) {
        pending.insert(pending.end(), children, children + count);
        XFree(children);
      }
    }
    return found;
  }
  // Every window of the tree whose _NET_WM_PID is `pid`.
  std::vector<Window> WindowsOf(pid_t pid) {
    std::vector<Window> found;
    for (Window w : Tree()) {
      const auto owner = Property(w, "_NET_WM_PID", XA_CARDINAL);
      if (owner.size() == 1 && owner[0] == static_cast<unsigned long>(pid)) found.push_back(w);
    }
    return found;
  }
  // A viewable XEmbed client wholly on the screen: a tray grows after it takes an icon in.
  bool Docked(Window w) {
    if (!Viewable(w) || Property(w, "_XEMBED_INFO", AnyPropertyType).empty()) return false;
    const auto area = Area(w);
    return area && area->x >= 0 && area->y >= 0 && area->x + area->width <= DisplayWidth(display_, 0) &&
           area->y + area->height <= DisplayHeight(display_, 0);
  }

  void SendToRoot(Window w, const char* message) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = w;
    event.xclient.message_type = XInternAtom(display_, message, False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;  // close: a time stamp, activate: the source; 2 is a pager, always obeyed
    event.xclient.data.l[1] = 2;
    XSendEvent(display_, DefaultRootWindow(display_), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &event);
    XSync(display_, False);
  }

  // Starts `program`, as the distribution installs it, with its output in our folder; it ends with the test run.
  pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments) {
    const std::string path = "/usr/bin/" + program;
    if (::access(path.c_str(), X_OK) != 0) return -1;
    // Its own HOME: nothing of the user's configuration, nothing written to it.
    std::vector<std::string> strings = {path};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    const std::string root = home_.path().string();
    std::vector<std::string> env = {"DISPLAY=" + std::string(std::getenv("DISPLAY")), "HOME=" + root,
                                    "XDG_CONFIG_HOME=" + root, "XDG_CACHE_HOME=" + root, "PATH=/usr/bin:/bin"};
    std::vector<char*> argv, envp;
    for (auto& s : strings) argv.push_back(s.data());
    for (auto& s : env) envp.push_back(s.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const std::string out = home_.File(program + ".txt");
    // Nothing but async-signal-safe calls between fork and exec: the test runner has threads.
    const pid_t pid = ::fork();
    if (pid == 0) {
      // Gone with the test run even when it crashes.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
      }
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    return pid;
  }

  static void Stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    if (!Wait([pid] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, std::chrono::seconds(5))) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }

  Display* display_ = nullptr;
  XErrorHandler previousHandler_ = nullptr;
  TempDir home_;
  pid_t windowManager_ = -1;
  pid_t tray_ = -1;
  std::string problem_;
};

/// Tests that share one desktop session on $DISPLAY, made once per suite;
/// skipped without a display. A derived SetUp calls this one first and
/// returns when it skipped or failed.
class DesktopSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { desktop_ = std::getenv("DISPLAY") ? new DesktopSession : nullptr; }
  static void TearDownTestSuite() {
    delete desktop_;
    desktop_ = nullptr;
  }
  void SetUp() override {
    if (!desktop_) GTEST_SKIP() << "DISPLAY is not set; scripts/test.sh starts an Xvfb";
    ASSERT_EQ(desktop_->problem(), "");
  }
  bool Unusable() const { return IsSkipped() || HasFatalFailure(); }

  static inline DesktopSession* desktop_ = nullptr;
};

}  // namespace vandrel::testing
