// An observer on the X display: reads the pointer and receives, on a small
// focused window of its own, the key and button events injected into it.
#pragma once

#include <X11/Xlib.h>
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vandrel::testing {

/// Opens $DISPLAY, trying again for about two seconds: a server that resets
/// when its last client leaves refuses connections for a moment. Null when
/// $DISPLAY is unset or never answered.
inline Display* OpenDisplayPatiently() {
  Display* display = nullptr;
  for (int attempt = 0; attempt < 40 && !display && std::getenv("DISPLAY"); ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    display = XOpenDisplay(nullptr);
  }
  return display;
}

class X11Probe {
 public:
  /// Opens $DISPLAY; usable() tells whether it answered.
  X11Probe() {
    display_ = OpenDisplayPatiently();
    // Xlib's keymap follows changes only when told of them, as toolkits arrange.
    int opcode = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (display_ && XkbQueryExtension(display_, &opcode, &xkbEvent_, &error, &major, &minor)) {
      XkbSelectEvents(display_, XkbUseCoreKbd, XkbMapNotifyMask, XkbMapNotifyMask);
    }
  }
  ~X11Probe() {
    if (!display_) return;
    if (window_) XDestroyWindow(display_, window_);
    for (Window w : others_) XDestroyWindow(display_, w);
    XCloseDisplay(display_);
  }
  X11Probe(const X11Probe&) = delete;
  X11Probe& operator=(const X11Probe&) = delete;

  bool usable() const { return display_ != nullptr; }
  Display* display() const { return display_; }

  std::pair<int, int> Pointer() const {
    Window root = 0, child = 0;
    int x = 0, y = 0, windowX = 0, windowY = 0;
    unsigned mask = 0;
    XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &x, &y, &windowX, &windowY, &mask);
    return {x, y};
  }

  void WarpPointer(int x, int y) const {
    XWarpPointer(display_, 0, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
    XSync(display_, False);
  }

  /// Maps a 200x200 window at (100, 100), focuses it and puts the pointer in it.
  /// Without a window manager nothing else can take the focus away.
  bool OpenFocusedWindow() {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
    window_ = XCreateWindow(display_, DefaultRootWindow(display_), 100, 100, 200, 200, 0, CopyFromParent, InputOutput,
                            CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(display_, window_);
    if (!WaitFor([](const XEvent& e) { return e.type == MapNotify; })) return false;
    XSetInputFocus(display_, window_, RevertToPointerRoot, CurrentTime);
    WarpPointer(200, 200);
    events_.clear();
    return true;
  }

  /// Like OpenFocusedWindow, but a window the window manager manages, titled
  /// `title`, once the manager has made it the active window.
  bool OpenActiveWindow(const std::string& title) {
    XSetWindowAttributes attributes{};
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
    window_ = XCreateWindow(display_, DefaultRootWindow(display_), 100, 100, 200, 200, 0, CopyFromParent, InputOutput,
                            CopyFromParent, CWEventMask, &attributes);
    SetTitle(title);
    XMapRaised(display_, window_);
    if (!WaitFor([](const XEvent& e) { return e.type == MapNotify; })) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ActiveWindow() != window_) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    events_.clear();
    return true;
  }
  /// Sets both the EWMH (UTF-8) and the ICCCM title.
  void SetTitle(const std::string& title) { SetTitleOf(window_, title); }
  Window ActiveWindow() const {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, left = 0;
    unsigned char* data = nullptr;
    Window active = 0;
    if (XGetWindowProperty(display_, DefaultRootWindow(display_), XInternAtom(display_, "_NET_ACTIVE_WINDOW", False), 0,
                           1, False, AnyPropertyType, &type, &format, &count, &left, &data) == 0 &&
        data && count == 1 && format == 32) {
      active = static_cast<Window>(*reinterpret_cast<unsigned long*>(data));
    }
    if (data) XFree(data);
    return active;
  }

  /// Collects events until one satisfies `done` or `limit` passes.
  bool WaitFor(const std::function<bool(const XEvent&)>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        // Keysyms bound on the fly must be read with the new keymap.
        if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
        if (event.type == xkbEvent_) {
          XkbRefreshKeyboardMapping(reinterpret_cast<XkbMapNotifyEvent*>(&event));
          continue;
        }
        events_.push_back(event);
        if (done(event)) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  bool WaitForButtonRelease(unsigned button) {
    return WaitFor([button](const XEvent& e) { return e.type == ButtonRelease && e.xbutton.button == button; });
  }
  bool WaitForKeyRelease(KeySym keysym) {
    return WaitFor([keysym](const XEvent& e) {
      XKeyEvent key = e.xkey;
      return e.type == KeyRelease && XLookupKeysym(&key, 0) == keysym;
    });
  }

  /// Button presses of `button` among the collected events; forgets them all.
  int TakeButtonPresses(unsigned button) {
    int count = 0;
    for (const XEvent& e : events_) count += e.type == ButtonPress && e.xbutton.button == button ? 1 : 0;
    events_.clear();
    return count;
  }

  /// The texts of the collected key presses, as an application would read them.
  std::vector<std::string> KeyPressTexts() const {
    std::vector<std::string> texts;
    for (const XEvent& e : events_) {
      if (e.type != KeyPress) continue;
      XKeyEvent key = e.xkey;
      char text[16] = {};
      const int length = XLookupString(&key, text, sizeof text - 1, nullptr, nullptr);
      texts.emplace_back(text, static_cast<std::size_t>(length > 0 ? length : 0));
    }
    return texts;
  }

  std::vector<XEvent>& events() { return events_; }

  /// A top-level window whose WM_CLASS class is `windowClass`, or 0.
  Window FindWindowOfClass(const std::string& windowClass) const {
    Window root = 0, up = 0, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &up, &children, &count)) return 0;
    for (unsigned i = 0; i < count && !found; ++i) {
      XClassHint hint{};
      if (XGetClassHint(display_, children[i], &hint)) {
        if (hint.res_class && windowClass == hint.res_class) found = children[i];
        XFree(hint.res_name);
        XFree(hint.res_class);
      }
    }
    if (children) XFree(children);
    return found;
  }
  /// The window's position and whether it is viewable.
  std::pair<int, int> Position(Window w) const {
    XWindowAttributes attributes{};
    XGetWindowAttributes(display_, w, &attributes);
    return {attributes.x, attributes.y};
  }
  bool Viewable(Window w) const {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display_, w, &attributes) && attributes.map_state == IsViewable;
  }
  /// The screen's colour at (x, y) as 0xRRGGBB.
  unsigned long ScreenPixel(int x, int y) const {
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return 0;
    const unsigned long pixel = XGetPixel(image, 0, 0) & 0xFFFFFF;
    XDestroyImage(image);
    return pixel;
  }

  /// A mapped window of this process titled `title` (none when empty), of the
  /// EWMH window type `type` when given; it lasts as long as the probe.
  Window OpenWindowOfType(const std::string& title, const char* type) {
    const Window w = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 20, 20, 100, 60, 0, 0, 0);
    if (!title.empty()) SetTitleOf(w, title);
    const unsigned long pid = static_cast<unsigned long>(::getpid());
    XChangeProperty(display_, w, XInternAtom(display_, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    if (type) {
      const Atom value = XInternAtom(display_, type, False);
      XChangeProperty(display_, w, XInternAtom(display_, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                      PropModeReplace, reinterpret_cast<const unsigned char*>(&value), 1);
    }
    XMapWindow(display_, w);
    XSync(display_, False);
    others_.push_back(w);
    return w;
  }

 private:
  void SetTitleOf(Window w, const std::string& title) {
    XStoreName(display_, w, title.c_str());
    XChangeProperty(display_, w, XInternAtom(display_, "_NET_WM_NAME", False),
                    XInternAtom(display_, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
    XSync(display_, False);
  }

  Display* display_ = nullptr;
  Window window_ = 0;
  int xkbEvent_ = -1;
  std::vector<XEvent> events_;
  std::vector<Window> others_;
};

}  // namespace vandrel::testing
