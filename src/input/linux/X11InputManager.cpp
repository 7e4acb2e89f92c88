#include "input/linux/X11InputManager.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "infra/Logger.h"
#include "input/linux/DisplayBrightness.h"
#include "input/linux/Logind.h"
#include "input/linux/X11ErrorHandlers.h"

namespace vandrel::InputManager {
namespace {

constexpr std::int32_t kWheelNotch = 120;
constexpr std::int64_t kMaxWheel = 120 * kWheelNotch;  // clicks per record at most
// A session that ended may come back; asking more often would only cost.
constexpr std::chrono::seconds kReconnectInterval{1};

std::string KeysymName(KeySym keysym) {
  if (const char* name = XKeysymToString(keysym)) return name;
  char hex[24] = {};
  std::snprintf(hex, sizeof hex, "0x%lx", keysym);
  return hex;
}

// The property's bytes (format 32 items as the longs Xlib hands out), empty when absent.
std::string WindowProperty(Display* display, Window window, const char* name, Atom type) {
  Atom actualType = 0;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* data = nullptr;
  // Titles longer than 4 KiB are cut; the remap looks for a word, not the whole text.
  const int status = XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 1024, False, type,
                                        &actualType, &format, &count, &remaining, &data);
  std::string bytes;
  if (status == Success && data && actualType == type) {
    const std::size_t unit = format == 32 ? sizeof(long) : static_cast<std::size_t>(format / 8);
    bytes.assign(reinterpret_cast<const char*>(data), count * unit);
  }
  if (data) XFree(data);
  return bytes;
}

bool ReleasedLater(std::span<const InputRecord> rest, std::uint16_t vk) {
  return std::any_of(rest.begin(), rest.end(), [vk](const InputRecord& record) {
    const auto* key = std::get_if<KeyRecord>(&record);
    return key && key->up && key->vk == vk;
  });
}

}  // namespace

X11::Connection X11::Connect(const char* displayName, bool announce) {
  Connection connection;
  Display* display = XOpenDisplay(displayName);
  if (!display) return connection;
  int event = 0, error = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(display, &event, &error, &major, &minor)) {
    if (announce) Log() << "[SendInput] Display " << DisplayString(display) << " has no XTEST extension";
    XCloseDisplay(display);
    return connection;
  }
  if (announce) Log() << "[SendInput] X11 display " << DisplayString(display) << ", XTEST " << major << "." << minor;
  // Xlib's cached keymap follows layout changes only when XKB tells it of them.
  int opcode = 0;
  major = XkbMajorVersion;
  minor = XkbMinorVersion;
  if (XkbQueryExtension(display, &opcode, &connection.xkbEvent, &error, &major, &minor)) {
    XkbSelectEvents(display, XkbUseCoreKbd, XkbMapNotifyMask, XkbMapNotifyMask);
  } else {
    connection.xkbEvent = -1;
  }
  connection.display = display;
  return connection;
}

std::unique_ptr<X11> X11::Open(const char* displayName) {
  const Connection connection = Connect(displayName, true);
  if (!connection.display) return nullptr;
  return std::unique_ptr<X11>(new X11(connection, DisplayString(connection.display)));
}

X11::X11(Connection connection, std::string displayName)
    : displayName_(std::move(displayName)),
      display_(connection.display),
      xkbEvent_(connection.xkbEvent),
      clipboard_(displayName_) {
  x11::Watch(display_, &lost_);
}

X11::~X11() {
  StopAutoRepeat();
  std::lock_guard lock(mutex_);
  if (!display_) return;
  // Leave the keyboard as other programs knew it: auto-repeat and keymap.
  for (const unsigned keycode : repeatOff_) {
    XKeyboardControl control{};
    control.key = static_cast<int>(keycode);
    control.auto_repeat_mode = AutoRepeatModeOn;
    XChangeKeyboardControl(display_, KBKey | KBAutoRepeatMode, &control);
  }
  KeySym none = NoSymbol;
  for (const Binding& b : bindings_) XChangeKeyboardMapping(display_, static_cast<int>(b.keycode), 1, &none, 1);
  XSync(display_, False);
  XCloseDisplay(display_);
  x11::Unwatch(display_);
}

bool X11::Usable() {
  if (display_) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now < nextConnect_) return false;
  nextConnect_ = now + kReconnectInterval;
  const Connection connection = Connect(displayName_.c_str(), false);
  if (!connection.display) return false;
  display_ = connection.display;
  xkbEvent_ = connection.xkbEvent;
  x11::Watch(display_, &lost_);
  Log() << "[SendInput] The X display " << displayName_ << " is back; input goes to it again";
  return true;
}

void X11::ForgetIfLost() {
  if (!display_ || !lost_) return;
  Log() << "[SendInput] Lost the X display " << displayName_ << "; input is only logged until it comes back";
  // Safe on this thread only, which Xlib left holding the display's lock;
  // Xlib sends nothing more on a connection that failed.
  XCloseDisplay(display_);
  x11::Unwatch(display_);
  display_ = nullptr;
  lost_ = false;
  // They belonged to the dead server.
  bindings_.clear();
  heldKeys_.clear();
  repeatOff_.clear();
  nextConnect_ = std::chrono::steady_clock::now() + kReconnectInterval;
}

unsigned X11::SendBatch(std::span<const InputRecord> batch) {
  std::lock_guard lock(mutex_);
  // Without a display the batch counts as taken, as the headless manager's.
  if (!Usable()) return static_cast<unsigned>(batch.size());
  HandleMappingChanges(std::any_of(batch.begin(), batch.end(),
                                   [](const InputRecord& r) { return std::holds_alternative<KeyRecord>(r); }));
  unsigned sent = 0;
  for (std::size_t i = 0; i < batch.size() && Alive(); ++i) {
    const auto* key = std::get_if<KeyRecord>(&batch[i]);
    const bool ok = key ? SendKey(*key, !key->up && ReleasedLater(batch.subspan(i + 1), key->vk))
                        : SendMouse(std::get<MouseRecord>(batch[i]));
    sent += ok ? 1 : 0;
  }
  if (Alive()) XFlush(display_);
  if (!lost_) return sent;
  ForgetIfLost();
  return static_cast<unsigned>(batch.size());
}

unsigned X11::SendRepeat(std::span<const InputRecord> downs) {
  std::lock_guard lock(mutex_);
  if (!Usable()) return static_cast<unsigned>(downs.size());
  HandleMappingChanges();
  // The held key comes last, after its modifiers, which stay down untouched.
  const auto last = std::find_if(downs.rbegin(), downs.rend(),
                                 [](const InputRecord& r) { return std::holds_alternative<KeyRecord>(r); });
  if (last == downs.rend() || !Alive()) return 0;
  const KeySym keysym = RecordKeysym(std::get<KeyRecord>(*last));
  // X keyboards do not repeat modifiers; a key missing from the keymap has no keycode held.
  if (keysym == NoSymbol || IsModifierKey(keysym)) return 0;
  const unsigned keycode = KeycodeFor(keysym);
  // Not ours to repeat once released, or when it was held on a display since lost.
  if (!Alive() || heldKeys_.count(keycode) == 0) return 0;
  XTestFakeKeyEvent(display_, keycode, False, CurrentTime);
  XTestFakeKeyEvent(display_, keycode, True, CurrentTime);
  XFlush(display_);
  if (!lost_) return 1;
  ForgetIfLost();
  return 0;
}

// The extended flag is not needed: the keysyms already tell keypad and right-hand keys apart.
bool X11::SendKey(const KeyRecord& key, bool releasedInBatch) {
  const KeySym keysym = RecordKeysym(key);
  if (keysym == NoSymbol) {
    if (reportedKeys_.insert(key.vk).second) {
      Log() << "[SendInput] No X keysym for virtual key " << VirtualKeyName(key.vk) << "; skipped";
    }
    return false;
  }
  const unsigned keycode = KeycodeFor(keysym);
  if (keycode == 0 || !Alive()) return false;
  // A click is over before any repeat could start; modifiers keep the server's own setting.
  if (!key.up && !releasedInBatch && !IsModifierKey(keysym)) HoldKey(keycode);
  const bool ok = XTestFakeKeyEvent(display_, keycode, key.up ? False : True, CurrentTime) != 0;
  if (key.up) ReleaseKey(keycode);
  return ok;
}

void X11::HoldKey(unsigned keycode) {
  if (!heldKeys_.insert(keycode).second) return;
  XKeyboardState state{};
  XGetKeyboardControl(display_, &state);
  if (!Alive() || keycode >= 256) return;
  if ((state.auto_repeats[keycode / 8] & (1 << (keycode % 8))) == 0) return;
  XKeyboardControl control{};
  control.key = static_cast<int>(keycode);
  control.auto_repeat_mode = AutoRepeatModeOff;
  XChangeKeyboardControl(display_, KBKey | KBAutoRepeatMode, &control);
  repeatOff_.insert(keycode);
}

// After the release went out, so the server cannot repeat the key in between.
void X11::ReleaseKey(unsigned keycode) {
  heldKeys_.erase(keycode);
  if (repeatOff_.erase(keycode) == 0 || !Alive()) return;
  XKeyboardControl control{};
  control.key = static_cast<int>(keycode);
  control.auto_repeat_mode = AutoRepeatModeOn;
  XChangeKeyboardControl(display_, KBKey | KBAutoRepeatMode, &control);
}

bool X11::SendMouse(const MouseRecord& mouse) {
  bool ok = true;
  if (mouse.flags & kMouseMove) {
    ok = XTestFakeRelativeMotionEvent(display_, mouse.dx, mouse.dy, CurrentTime) != 0 && ok;
  }
  // Win32 takes the button flags in this order; a record may hold a press and its release.
  static constexpr struct { std::uint32_t flag; unsigned button; bool down; } kButtons[] = {
      {kMouseLeftDown, 1, true},  {kMouseLeftUp, 1, false},    {kMouseRightDown, 3, true},
      {kMouseRightUp, 3, false},  {kMouseMiddleDown, 2, true}, {kMouseMiddleUp, 2, false}};
  for (const auto& b : kButtons) {
    if (mouse.flags & b.flag) ok = XTestFakeButtonEvent(display_, b.button, b.down, CurrentTime) != 0 && ok;
  }
  if (mouse.flags & kMouseWheel) Wheel(verticalWheel_, mouse.wheel, 4, 5);
  if (mouse.flags & kMouseHWheel) Wheel(horizontalWheel_, mouse.wheel, 7, 6);
  return ok;
}

void X11::Wheel(std::int32_t& accumulated, std::int32_t delta, unsigned up, unsigned down) {
  // X has only whole clicks; the fractions of small scrolls add up over records.
  // A huge delta is cut short rather than keep the injection thread clicking for hours.
  const std::int64_t total = std::clamp<std::int64_t>(std::int64_t{accumulated} + delta, -kMaxWheel, kMaxWheel);
  accumulated = static_cast<std::int32_t>(total % kWheelNotch);
  for (std::int64_t clicks = total / kWheelNotch; clicks != 0 && Alive(); clicks += clicks > 0 ? -1 : 1) {
    XTestFakeButtonEvent(display_, clicks > 0 ? up : down, True, CurrentTime);
    XTestFakeButtonEvent(display_, clicks > 0 ? up : down, False, CurrentTime);
  }
}

std::uint16_t X11::ScanCodeOf(std::uint16_t vk) {
  std::lock_guard lock(mutex_);
  const KeySym keysym = VirtualKeyToKeysym(vk);
  if (!Usable() || keysym == NoSymbol) return 0;
  const unsigned keycode = XKeysymToKeycode(display_, keysym);
  return keycode > 8 ? static_cast<std::uint16_t>(keycode - 8) : 0;
}

unsigned X11::KeycodeFor(unsigned long keysym) {
  if (const KeyCode code = XKeysymToKeycode(display_, keysym)) return code;
  // Our own binding may not have come back to Xlib's cached keymap yet.
  for (const Binding& binding : bindings_) {
    if (binding.keysym == keysym) return binding.keycode;
  }
  return Alive() ? BindSpareKeycode(keysym) : 0;
}

unsigned X11::BindSpareKeycode(unsigned long keysym) {
  int low = 0, high = 0, perCode = 0;
  XDisplayKeycodes(display_, &low, &high);
  KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(low), high - low + 1, &perCode);
  if (!Alive()) {
    if (map) XFree(map);
    return 0;
  }
  unsigned spare = 0;
  // From the top: the low unused keycodes are more likely to be real keys some layout may claim.
  for (int code = high; map && code > low && spare == 0; --code) {
    bool empty = true;
    for (int i = 0; i < perCode; ++i) empty = empty && map[(code - low) * perCode + i] == NoSymbol;
    if (empty) spare = static_cast<unsigned>(code);
  }
  if (map) XFree(map);
  if (spare == 0 && !bindings_.empty()) {
    // Every keycode is taken: the oldest of our own bindings makes room.
    spare = bindings_.front().keycode;
    bindings_.erase(bindings_.begin());
  }
  if (spare == 0) {
    if (reportedKeysyms_.insert(keysym).second) {
      Log() << "[SendInput] No keycode for " << KeysymName(keysym) << " and none spare; skipped";
    }
    return 0;
  }
  KeySym symbols[] = {keysym};
  XChangeKeyboardMapping(display_, static_cast<int>(spare), 1, symbols, 1);
  // The key event must not overtake the new mapping.
  XSync(display_, False);
  if (!Alive()) return 0;
  bindings_.push_back({keysym, spare});
  if (reportedKeysyms_.insert(keysym).second) {
    Log() << "[SendInput] Bound " << KeysymName(keysym) << " to spare keycode " << spare;
  }
  return spare;
}

void X11::HandleMappingChanges(bool fresh) {
  bool keyboardChanged = false;
  while (Alive() && XEventsQueued(display_, fresh ? QueuedAfterFlush : QueuedAlready) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type == xkbEvent_) {
      XkbRefreshKeyboardMapping(reinterpret_cast<XkbMapNotifyEvent*>(&event));
      keyboardChanged = true;
    } else if (event.type == MappingNotify) {
      XRefreshKeyboardMapping(&event.xmapping);
      keyboardChanged = keyboardChanged || event.xmapping.request == MappingKeyboard;
    }
  }
  if (!keyboardChanged) return;
  // Another program may have replaced the keymap, and our bindings with it.
  std::erase_if(bindings_, [this](const Binding& binding) {
    if (!Alive()) return false;
    int perCode = 0;
    KeySym* symbols = XGetKeyboardMapping(display_, static_cast<KeyCode>(binding.keycode), 1, &perCode);
    const bool held = symbols && perCode > 0 && symbols[0] == binding.keysym;
    if (symbols) XFree(symbols);
    return !held;
  });
}

bool X11::IsControlHeld() {
  std::lock_guard lock(mutex_);
  if (!Usable()) return false;
  char keys[32] = {};
  XQueryKeymap(display_, keys);
  bool held = false;
  for (const KeySym keysym : {XK_Control_L, XK_Control_R}) {
    const KeyCode code = Alive() ? XKeysymToKeycode(display_, keysym) : 0;
    held = held || (code != 0 && (keys[code / 8] & (1 << (code % 8))) != 0);
  }
  if (!lost_) return held;
  ForgetIfLost();
  return false;
}

std::string X11::ForegroundTitle() {
  std::lock_guard lock(mutex_);
  if (!Usable()) return {};
  const Window root = DefaultRootWindow(display_);
  const auto active = WindowProperty(display_, root, "_NET_ACTIVE_WINDOW", XA_WINDOW);
  Window window = 0;
  if (active.size() >= sizeof window) std::memcpy(&window, active.data(), sizeof window);
  if (window == 0 || !Alive()) {
    ForgetIfLost();
    return {};
  }
  // EWMH titles are UTF-8; a client that sets only the ICCCM name gets Latin-1 read as it is.
  std::string title = WindowProperty(display_, window, "_NET_WM_NAME", XInternAtom(display_, "UTF8_STRING", False));
  if (title.empty() && Alive()) title = WindowProperty(display_, window, "WM_NAME", XA_STRING);
  ForgetIfLost();
  return title;
}
void X11::PutClipboardText(std::string_view utf8) { clipboard_.Set(std::string(utf8)); }

std::optional<std::string> X11::PerformSystemAction(SystemAction action) { return logind::Perform(action); }

std::string X11::StepMonitorBrightness(bool up) { return StepDisplayBrightness(up); }

}  // namespace vandrel::InputManager
