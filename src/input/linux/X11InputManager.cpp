#include "input/linux/X11InputManager.h"

#include <X11/XF86keysym.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <system_error>
#include <thread>

#include "infra/Logger.h"

extern char** environ;

namespace vandrel::InputManager {
namespace {

constexpr std::int32_t kWheelNotch = 120;

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

}  // namespace

unsigned long VirtualKeyToKeysym(std::uint16_t vk) {
  if (vk >= 'A' && vk <= 'Z') return XK_a + (vk - 'A');
  if (vk >= '0' && vk <= '9') return XK_0 + (vk - '0');
  if (vk >= 0x60 && vk <= 0x69) return XK_KP_0 + (vk - 0x60);
  if (vk >= 0x70 && vk <= 0x87) return XK_F1 + (vk - 0x70);  // F1 to F24
  switch (vk) {
    case 0x08: return XK_BackSpace;
    case 0x09: return XK_Tab;
    case 0x0C: return XK_Clear;
    case 0x0D: return XK_Return;
    case 0x10: return XK_Shift_L;
    case 0x11: return XK_Control_L;
    case 0x12: return XK_Alt_L;
    case 0x13: return XK_Pause;
    case 0x14: return XK_Caps_Lock;
    case 0x1B: return XK_Escape;
    case 0x20: return XK_space;
    case 0x21: return XK_Prior;
    case 0x22: return XK_Next;
    case 0x23: return XK_End;
    case 0x24: return XK_Home;
    case 0x25: return XK_Left;
    case 0x26: return XK_Up;
    case 0x27: return XK_Right;
    case 0x28: return XK_Down;
    case 0x29: return XK_Select;
    case 0x2A: return XK_Print;
    case 0x2B: return XK_Execute;
    case 0x2C: return XK_Print;
    case 0x2D: return XK_Insert;
    case 0x2E: return XK_Delete;
    case 0x2F: return XK_Help;
    case 0x5B: return XK_Super_L;
    case 0x5C: return XK_Super_R;
    case 0x5D: return XK_Menu;
    case 0x5F: return XF86XK_Sleep;
    case 0x6A: return XK_KP_Multiply;
    case 0x6B: return XK_KP_Add;
    case 0x6C: return XK_KP_Separator;
    case 0x6D: return XK_KP_Subtract;
    case 0x6E: return XK_KP_Decimal;
    case 0x6F: return XK_KP_Divide;
    case 0x90: return XK_Num_Lock;
    case 0x91: return XK_Scroll_Lock;
    case 0xA0: return XK_Shift_L;
    case 0xA1: return XK_Shift_R;
    case 0xA2: return XK_Control_L;
    case 0xA3: return XK_Control_R;
    case 0xA4: return XK_Alt_L;
    case 0xA5: return XK_Alt_R;
    case 0xA6: return XF86XK_Back;
    case 0xA7: return XF86XK_Forward;
    case 0xA8: return XF86XK_Refresh;
    case 0xA9: return XF86XK_Stop;
    case 0xAA: return XF86XK_Search;
    case 0xAB: return XF86XK_Favorites;
    case 0xAC: return XF86XK_HomePage;
    case 0xAD: return XF86XK_AudioMute;
    case 0xAE: return XF86XK_AudioLowerVolume;
    case 0xAF: return XF86XK_AudioRaiseVolume;
    case 0xB0: return XF86XK_AudioNext;
    case 0xB1: return XF86XK_AudioPrev;
    case 0xB2: return XF86XK_AudioStop;
    case 0xB3: return XF86XK_AudioPlay;
    case 0xB4: return XF86XK_Mail;
    case 0xB5: return XF86XK_AudioMedia;
    case 0xB6: return XF86XK_MyComputer;
    case 0xB7: return XF86XK_Calculator;
    case 0xBA: return XK_semicolon;
    case 0xBB: return XK_equal;
    case 0xBC: return XK_comma;
    case 0xBD: return XK_minus;
    case 0xBE: return XK_period;
    case 0xBF: return XK_slash;
    case 0xC0: return XK_grave;
    case 0xDB: return XK_bracketleft;
    case 0xDC: return XK_backslash;
    case 0xDD: return XK_bracketright;
    case 0xDE: return XK_apostrophe;
    case 0xE2: return XK_less;  // the ISO key beside left Shift
    default: return NoSymbol;
  }
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
  return std::unique_ptr<X11>(new X11(display));
}

X11::X11(Display* display) : display_(display) {}

X11::~X11() {
  StopAutoRepeat();
  std::lock_guard lock(mutex_);
  // Give the spare keycodes back, so that other programs see the keymap as it was.
  for (const Binding& binding : bindings_) {
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(display_, static_cast<int>(binding.keycode), 1, &none, 1);
  }
  XSync(display_, False);
  RemoveDisplay(display_);
  XCloseDisplay(display_);
}

unsigned X11::SendBatch(std::span<const InputRecord> batch) {
  std::lock_guard lock(mutex_);
  HandleMappingChanges();
  unsigned sent = 0;
  for (const InputRecord& record : batch) {
    const bool ok = std::visit(
        [this](const auto& r) {
          if constexpr (std::is_same_v<std::decay_t<decltype(r)>, KeyRecord>) {
            return SendKey(r);
          } else {
            return SendMouse(r);
          }
        },
        record);
    if (ok) ++sent;
  }
  XFlush(display_);
  return sent;
}

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
  static constexpr struct {
    std::uint32_t flag;
    unsigned button;
    bool down;
  } kButtons[] = {{kMouseLeftDown, 1, true},  {kMouseLeftUp, 1, false},   {kMouseRightDown, 3, true},
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
  accumulated += delta;
  while (accumulated >= kWheelNotch || accumulated <= -kWheelNotch) {
    const unsigned button = accumulated > 0 ? up : down;
    XTestFakeButtonEvent(display_, button, True, CurrentTime);
    XTestFakeButtonEvent(display_, button, False, CurrentTime);
    accumulated += accumulated > 0 ? -kWheelNotch : kWheelNotch;
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
    // Every keycode is taken: reuse our own bindings in turn.
    Binding& reused = bindings_[nextSpare_++ % bindings_.size()];
    spare = reused.keycode;
    reused = bindings_.back();
    bindings_.pop_back();
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
    if (event.type != MappingNotify) continue;
    XRefreshKeyboardMapping(&event.xmapping);
    keyboardChanged = keyboardChanged || event.xmapping.request == MappingKeyboard;
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
  char program[] = "loginctl";
  char command[] = "lock-session";
  char* argv[] = {program, command, nullptr};
  // The child starts with default signal handling whatever this thread blocks.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, program, nullptr, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    Log() << "[SendInput] lock-session failed: " << std::error_code(rc, std::generic_category()).message();
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
