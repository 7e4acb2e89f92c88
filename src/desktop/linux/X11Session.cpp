#include "desktop/linux/X11Session.h"

#include <X11/Xatom.h>

#include <algorithm>

#include "desktop/linux/TextCodec.h"
#include "infra/linux/Spawn.h"
#include "input/linux/X11ErrorHandlers.h"

namespace vandrel::desktop::x11 {
namespace {

// A title is cut here; the phone shows a line of it.
constexpr std::size_t kMaxTitleBytes = 16 * 1024;
constexpr std::size_t kMaxClients = 4096;

}  // namespace

X11Session::X11Session() : display_(XOpenDisplay(nullptr)) {
  if (!display_) return;
  InputManager::x11::WatchQuietly(display_, &lost_);
  root_ = DefaultRootWindow(display_);
}

X11Session::~X11Session() {
  if (!display_) return;
  XCloseDisplay(display_);
  InputManager::x11::Unwatch(display_);
}

Atom X11Session::Intern(const char* name) {
  if (!usable()) return None;
  const auto known = atoms_.find(name);
  if (known != atoms_.end()) return known->second;
  const Atom atom = XInternAtom(display_, name, False);
  if (usable()) atoms_.emplace(name, atom);
  return atom;
}

std::vector<unsigned long> X11Session::Longs(Window window, const char* name, Atom type, std::size_t maxItems,
                                             bool* cut) {
  std::vector<unsigned long> items;
  if (cut) *cut = false;
  const Atom property = Intern(name);
  if (!usable() || window == 0) return items;
  Atom actualType = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* data = nullptr;
  const int status = XGetWindowProperty(display_, window, property, 0, static_cast<long>(maxItems), False, type,
                                        &actualType, &format, &count, &remaining, &data);
  if (status == Success && data && actualType == type && format == 32) {
    const auto* values = reinterpret_cast<const unsigned long*>(data);
    items.assign(values, values + std::min<std::size_t>(count, maxItems));
    if (cut) *cut = remaining > 0;
  }
  if (data) XFree(data);
  return items;
}

std::string X11Session::Bytes(Window window, const char* name, Atom type, std::size_t maxBytes, Atom* actualType) {
  std::string bytes;
  if (actualType) *actualType = None;
  const Atom property = Intern(name);
  if (!usable() || window == 0) return bytes;
  Atom gotType = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* data = nullptr;
  // The length is in 32-bit units.
  const int status = XGetWindowProperty(display_, window, property, 0, static_cast<long>((maxBytes + 3) / 4), False,
                                        type, &gotType, &format, &count, &remaining, &data);
  if (status == Success && data && gotType != None && (type == AnyPropertyType || gotType == type) && format == 8) {
    bytes.assign(reinterpret_cast<const char*>(data), std::min<std::size_t>(count, maxBytes));
    if (actualType) *actualType = gotType;
  }
  if (data) XFree(data);
  return bytes;
}

std::vector<Window> X11Session::ClientList(bool& present) {
  present = false;
  const Atom name = Intern("_NET_CLIENT_LIST");
  if (!usable()) return {};
  Atom type = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* data = nullptr;
  const int status = XGetWindowProperty(display_, root_, name, 0, static_cast<long>(kMaxClients), False, XA_WINDOW,
                                        &type, &format, &count, &remaining, &data);
  std::vector<Window> windows;
  if (status == Success && type == XA_WINDOW && format == 32) {
    present = true;
    const auto* values = reinterpret_cast<const unsigned long*>(data);
    if (data) windows.assign(values, values + count);
  }
  if (data) XFree(data);
  return windows;
}

Window X11Session::ActiveWindow() {
  const auto value = Longs(root_, "_NET_ACTIVE_WINDOW", XA_WINDOW, 1);
  return value.empty() ? 0 : static_cast<Window>(value[0]);
}

std::string X11Session::Title(Window window) {
  const std::string title = Bytes(window, "_NET_WM_NAME", Intern("UTF8_STRING"), kMaxTitleBytes);
  if (!title.empty()) return ValidUtf8(title);
  // The ICCCM name, read as XGetWMName would but bounded. COMPOUND_TEXT
  // without escapes is Latin-1, which is what clients that set it send.
  Atom type = None;
  const std::string name = Bytes(window, "WM_NAME", AnyPropertyType, kMaxTitleBytes, &type);
  if (name.empty()) return {};
  return type == Intern("UTF8_STRING") ? ValidUtf8(name) : Latin1ToUtf8(name);
}

std::string X11Session::ProgramPath(Window window) {
  const auto pid = Longs(window, "_NET_WM_PID", XA_CARDINAL, 1);
  const unsigned long value = pid.empty() ? 0 : pid[0] & 0x7FFFFFFFUL;
  return platform::ProgramPathOf(static_cast<pid_t>(value));
}

bool X11Session::HasAtom(Window window, const char* name, Atom atom) {
  const auto atoms = Longs(window, name, XA_ATOM, 64);
  return std::find(atoms.begin(), atoms.end(), atom) != atoms.end();
}

std::string FileName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace vandrel::desktop::x11
