#include "input/linux/X11InputManager.h"

#include <X11/XF86keysym.h>
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <sys/wait.h>

#include <algorithm>
#include <system_error>
#include <thread>

#include "infra/Logger.h"
#include "infra/linux/Spawn.h"

namespace vandrel::InputManager {
namespace {

constexpr std::int32_t kWheelNotch = 120;
constexpr std::int64_t kMaxWheel = 120 * kWheelNotch;  // clicks per record at most

// The X error handler is process-wide: errors on our displays are logged
// instead of ending the program (Xlib's default exits); others go on to the
// handler that was there before.
std::mutex errorMutex;
std::set<Display*> ourDisplays;
XErrorHandler previousErrorHandler = nullptr;

int OnXError(Display* display, XErrorEvent* error) {
  XErrorHandler previous = nullptr;
  {
    std::lock_guard lock(errorMutex);
    if (ourDisplays.count(display) == 0) previous = previousErrorHandler;
  }
  if (previous) return previous(display, error);
  char text[160] = {};
  XGetErrorText(display, error->error_code, text, sizeof text);
  Log() << "[SendInput] X error: " << text << " (request " << static_cast<unsigned>(error->request_code) << "."
        << static_cast<unsigned>(error->minor_code) << ")";
  return 0;
}

void AddDisplay(Display* display) {
  std::lock_guard lock(errorMutex);
  if (ourDisplays.empty()) previousErrorHandler = XSetErrorHandler(OnXError);
  ourDisplays.insert(display);
}

void RemoveDisplay(Display* display) {
  std::lock_guard lock(errorMutex);
  ourDisplays.erase(display);
  if (ourDisplays.empty()) XSetErrorHandler(previousErrorHandler);
}

std::string KeysymName(KeySym keysym) {
  const char* name = XKeysymToString(keysym);
  return name ? name : "0x" + std::to_string(keysym);
}

// Virtual keys that are not in a run of consecutive codes (letters, digits, keypad digits, F-keys).
constexpr struct {
  std::uint16_t vk;
  KeySym keysym;
} kKeysyms[] = {
    {0x08, XK_BackSpace}, {0x09, XK_Tab}, {0x0C, XK_Clear}, {0x0D, XK_Return}, {0x10, XK_Shift_L},
    {0x11, XK_Control_L}, {0x12, XK_Alt_L}, {0x13, XK_Pause}, {0x14, XK_Caps_Lock}, {0x1B, XK_Escape},
    {0x20, XK_space}, {0x21, XK_Prior}, {0x22, XK_Next}, {0x23, XK_End}, {0x24, XK_Home}, {0x25, XK_Left},
    {0x26, XK_Up}, {0x27, XK_Right}, {0x28, XK_Down}, {0x29, XK_Select}, {0x2A, XK_Print}, {0x2B, XK_Execute},
    {0x2C, XK_Print}, {0x2D, XK_Insert}, {0x2E, XK_Delete}, {0x2F, XK_Help}, {0x5B, XK_Super_L},
    {0x5C, XK_Super_R}, {0x5D, XK_Menu}, {0x5F, XF86XK_Sleep}, {0x6A, XK_KP_Multiply}, {0x6B, XK_KP_Add},
    {0x6C, XK_KP_Separator}, {0x6D, XK_KP_Subtract}, {0x6E, XK_KP_Decimal}, {0x6F, XK_KP_Divide},
    {0x90, XK_Num_Lock}, {0x91, XK_Scroll_Lock}, {0xA0, XK_Shift_L}, {0xA1, XK_Shift_R}, {0xA2, XK_Control_L},
    {0xA3, XK_Control_R}, {0xA4, XK_Alt_L}, {0xA5, XK_Alt_R}, {0xA6, XF86XK_Back}, {0xA7, XF86XK_Forward},
    {0xA8, XF86XK_Refresh}, {0xA9, XF86XK_Stop}, {0xAA, XF86XK_Search}, {0xAB, XF86XK_Favorites},
    {0xAC, XF86XK_HomePage}, {0xAD, XF86XK_AudioMute}, {0xAE, XF86XK_AudioLowerVolume},
    {0xAF, XF86XK_AudioRaiseVolume}, {0xB0, XF86XK_AudioNext}, {0xB1, XF86XK_AudioPrev},
    {0xB2, XF86XK_AudioStop}, {0xB3, XF86XK_AudioPlay}, {0xB4, XF86XK_Mail}, {0xB5, XF86XK_AudioMedia},
    {0xB6, XF86XK_MyComputer}, {0xB7, XF86XK_Calculator}, {0xBA, XK_semicolon}, {0xBB, XK_equal},
    {0xBC, XK_comma}, {0xBD, XK_minus}, {0xBE, XK_period}, {0xBF, XK_slash}, {0xC0, XK_grave},
    {0xDB, XK_bracketleft}, {0xDC, XK_backslash}, {0xDD, XK_bracketright}, {0xDE, XK_apostrophe},
    {0xE2, XK_less},  // the ISO key beside left Shift
};

}  // namespace

unsigned long VirtualKeyToKeysym(std::uint16_t vk) {
  if (vk >= 'A' && vk <= 'Z') return XK_a + (vk - 'A');
  if (vk >= '0' && vk <= '9') return XK_0 + (vk - '0');
  if (vk >= 0x60 && vk <= 0x69) return XK_KP_0 + (vk - 0x60);
  if (vk >= 0x70 && vk <= 0x87) return XK_F1 + (vk - 0x70);  // F1 to F24
  for (const auto& entry : kKeysyms) {
    if (entry.vk == vk) return entry.keysym;
  }
  return NoSymbol;
}

std::unique_ptr<X11> X11::Open(const char* displayName) {
  Display* display = XOpenDisplay(displayName);
  if (!display) return nullptr;
  int event = 0, error = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(display, &event, &error, &major, &minor)) {
    Log() << "[SendInput] Display " << DisplayString(display) << " has no XTEST extension";
    XCloseDisplay(display);
    return nullptr;
  }
  AddDisplay(display);
  Log() << "[SendInput] X11 display " << DisplayString(display) << ", XTEST " << major << "." << minor;
  // Xlib's cached keymap follows layout changes only when XKB tells it of them.
  int xkbEvent = -1, opcode = 0;
  major = XkbMajorVersion;
  minor = XkbMinorVersion;
  if (XkbQueryExtension(display, &opcode, &xkbEvent, &error, &major, &minor)) {
    XkbSelectEvents(display, XkbUseCoreKbd, XkbMapNotifyMask, XkbMapNotifyMask);
  } else {
    xkbEvent = -1;
  }
  return std::unique_ptr<X11>(new X11(display, xkbEvent));
}

X11::X11(Display* display, int xkbEvent) : display_(display), xkbEvent_(xkbEvent) {}

X11::~X11() {
  StopAutoRepeat();
  std::lock_guard lock(mutex_);
  // Give the spare keycodes back, so that other programs see the keymap as it was.
  KeySym none = NoSymbol;
  for (const Binding& b : bindings_) XChangeKeyboardMapping(display_, static_cast<int>(b.keycode), 1, &none, 1);
  XSync(display_, False);
  RemoveDisplay(display_);
  XCloseDisplay(display_);
}

unsigned X11::SendBatch(std::span<const InputRecord> batch) {
  std::lock_guard lock(mutex_);
  HandleMappingChanges();
  unsigned sent = 0;
  for (const InputRecord& record : batch) {
    const auto* key = std::get_if<KeyRecord>(&record);
    sent += (key ? SendKey(*key) : SendMouse(std::get<MouseRecord>(record))) ? 1 : 0;
  }
  XFlush(display_);
  return sent;
}

// The extended flag is not needed: the keysyms already tell keypad and right-hand keys apart.
bool X11::SendKey(const KeyRecord& key) {
  const KeySym keysym = VirtualKeyToKeysym(key.vk);
  if (keysym == NoSymbol) {
    if (reportedKeys_.insert(key.vk).second) {
      Log() << "[SendInput] No X keysym for virtual key " << VirtualKeyName(key.vk) << "; skipped";
    }
    return false;
  }
  const unsigned keycode = KeycodeFor(keysym);
  if (keycode == 0) return false;
  return XTestFakeKeyEvent(display_, keycode, key.up ? False : True, CurrentTime) != 0;
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
  for (std::int64_t clicks = total / kWheelNotch; clicks != 0; clicks += clicks > 0 ? -1 : 1) {
    XTestFakeButtonEvent(display_, clicks > 0 ? up : down, True, CurrentTime);
    XTestFakeButtonEvent(display_, clicks > 0 ? up : down, False, CurrentTime);
  }
}

unsigned X11::KeycodeFor(unsigned long keysym) {
  if (const KeyCode code = XKeysymToKeycode(display_, keysym)) return code;
  // Our own binding may not have come back to Xlib's cached keymap yet.
  for (const Binding& binding : bindings_) {
    if (binding.keysym == keysym) return binding.keycode;
  }
  return BindSpareKeycode(keysym);
}

unsigned X11::BindSpareKeycode(unsigned long keysym) {
  int low = 0, high = 0, perCode = 0;
  XDisplayKeycodes(display_, &low, &high);
  KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(low), high - low + 1, &perCode);
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
  bindings_.push_back({keysym, spare});
  if (reportedKeysyms_.insert(keysym).second) {
    Log() << "[SendInput] Bound " << KeysymName(keysym) << " to spare keycode " << spare;
  }
  return spare;
}

void X11::HandleMappingChanges() {
  bool keyboardChanged = false;
  while (XPending(display_) > 0) {
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
    int perCode = 0;
    KeySym* symbols = XGetKeyboardMapping(display_, static_cast<KeyCode>(binding.keycode), 1, &perCode);
    const bool held = symbols && perCode > 0 && symbols[0] == binding.keysym;
    if (symbols) XFree(symbols);
    return !held;
  });
}

bool X11::IsControlHeld() {
  std::lock_guard lock(mutex_);
  char keys[32] = {};
  XQueryKeymap(display_, keys);
  for (const KeySym keysym : {XK_Control_L, XK_Control_R}) {
    const KeyCode code = XKeysymToKeycode(display_, keysym);
    if (code != 0 && (keys[code / 8] & (1 << (code % 8))) != 0) return true;
  }
  return false;
}

void X11::LockWorkstation() {
  const pid_t pid = platform::Spawn("loginctl", {"lock-session"});
  if (pid < 0) {
    Log() << "[SendInput] lock-session failed: " << std::error_code(-pid, std::generic_category()).message();
    return;
  }
  Log() << "[SendInput] lock-session started";
  // Reaped off the injection thread, which must not wait for logind.
  std::thread([pid] {
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
      Log() << "[SendInput] lock-session failed (status " << status << ")";
    }
  }).detach();
}

}  // namespace vandrel::InputManager
