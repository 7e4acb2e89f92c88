// One short connection to $DISPLAY for one desktop call, and the window
// properties that the task switcher reads through it, each with a size bound
// (any client can set any property on its windows).
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace vandrel::desktop::x11 {

/// _NET_WM_ICON is read up to this many 32-bit items (4 MiB).
inline constexpr std::size_t kMaxIconItems = std::size_t{1} << 20;

class X11Session {
 public:
  /// Opens $DISPLAY; usable() tells whether it answered. Protocol errors
  /// (a window that vanished meanwhile) are expected and not logged.
  X11Session();
  ~X11Session();
  X11Session(const X11Session&) = delete;
  X11Session& operator=(const X11Session&) = delete;

  /// False without a display or once the connection broke; then every call
  /// below returns nothing.
  bool usable() const { return display_ && !lost_; }
  Display* display() const { return display_; }
  Window root() const { return root_; }
  Atom Intern(const char* name);

  /// Format-32 items of `type`, at most `maxItems`; `cut` (when given) tells
  /// whether more were there. Empty when absent or of another type or format.
  std::vector<unsigned long> Longs(Window window, const char* name, Atom type, std::size_t maxItems,
                                   bool* cut = nullptr);
  /// Format-8 bytes, at most `maxBytes`, of `type` or (AnyPropertyType) of
  /// any type, which goes to `actualType`.
  std::string Bytes(Window window, const char* name, Atom type, std::size_t maxBytes, Atom* actualType = nullptr);

  /// The EWMH client list; `present` false when the window manager keeps none.
  std::vector<Window> ClientList(bool& present);
  /// The root's _NET_ACTIVE_WINDOW, 0 when none.
  Window ActiveWindow();
  /// UTF-8: _NET_WM_NAME, else WM_NAME (Latin-1 unless it says UTF-8); empty when untitled.
  std::string Title(Window window);
  /// The target of /proc/<_NET_WM_PID>/exe; empty when unknown.
  std::string ProgramPath(Window window);
  /// Whether `atom` is among the window's ATOM list property `name`.
  bool HasAtom(Window window, const char* name, Atom atom);

 private:
  Display* display_ = nullptr;
  Window root_ = 0;
  std::atomic<bool> lost_{false};
  std::map<std::string, Atom> atoms_;
};

/// What follows the last '/' of `path`.
std::string FileName(const std::string& path);

}  // namespace vandrel::desktop::x11
