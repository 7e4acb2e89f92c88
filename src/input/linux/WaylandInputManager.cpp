#include "input/linux/WaylandInputManager.h"

#include <errno.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "infra/Logger.h"
#include "infra/linux/Spawn.h"
#include "infra/linux/SwayIpc.h"
#include "input/linux/DisplayBrightness.h"
#include "input/linux/Logind.h"
#include "input/linux/X11InputManager.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

extern char** environ;

namespace vandrel::InputManager {
namespace {

constexpr std::int32_t kWheelNotch = 120;
constexpr std::int64_t kMaxWheel = 120 * kWheelNotch;  // notches per record at most
// The axis value of one notch, as a mouse wheel reports it.
constexpr double kNotchValue = 15.0;
// A session that ended may come back; asking more often would only cost.
constexpr std::chrono::seconds kReconnectInterval{1};
// Pointer batches leave the compositor's few events unread this long at most.
constexpr std::chrono::seconds kReadInterval{1};
// How long a batch may wait for room in a compositor's full socket.
constexpr int kFlushWaitMs = 50;
// Evdev codes are XKB keycodes less 8.
constexpr unsigned kEvdevOffset = 8;
// wl-copy processes that have not ended yet; one that does not end waits on a
// compositor that does not answer, and a phone must not pile them up.
constexpr std::size_t kMaxCopiers = 4;

std::uint32_t Now() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

std::string SocketName(const char* socket) {
  if (socket && *socket) return socket;
  const char* variable = std::getenv("WAYLAND_DISPLAY");
  return variable && *variable ? variable : "wayland-0";
}

bool ReleasedLater(std::span<const InputRecord> rest, std::uint16_t vk) {
  return std::any_of(rest.begin(), rest.end(), [vk](const InputRecord& record) {
    const auto* key = std::get_if<KeyRecord>(&record);
    return key && key->up && key->vk == vk;
  });
}

struct Globals {
  wl_seat* seat = nullptr;
  zwlr_virtual_pointer_manager_v1* pointerManager = nullptr;
  zwp_virtual_keyboard_manager_v1* keyboardManager = nullptr;
};

void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
  auto& globals = *static_cast<Globals*>(data);
  // Version 1 of each has all we send; a newer seat would only send more events.
  if (!globals.seat && std::strcmp(interface, wl_seat_interface.name) == 0) {
    globals.seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  } else if (!globals.pointerManager && std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
    globals.pointerManager = static_cast<zwlr_virtual_pointer_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
  } else if (!globals.keyboardManager &&
             std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
    globals.keyboardManager = static_cast<zwp_virtual_keyboard_manager_v1*>(
        wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
  }
}

void OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}

constexpr wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

void DestroyProxy(void* proxy) {
  if (proxy) wl_proxy_destroy(static_cast<wl_proxy*>(proxy));
}

}  // namespace

Wayland::Connection Wayland::Bind(const std::string& socket) {
  Connection connection;
  wl_display* display = wl_display_connect(socket.c_str());
  if (!display) return connection;
  Globals globals;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, &globals);
  const bool answered = wl_display_roundtrip(display) >= 0;
  // The bound globals live on; later announcements are of no interest.
  wl_registry_destroy(registry);
  connection = {display, globals.seat, globals.pointerManager, globals.keyboardManager};
  if (!answered) {
    Release(connection, false);
    connection.display = nullptr;
  }
  return connection;
}

void Wayland::Release(Connection& connection, bool polite) {
  if (!connection.display) return;
  if (polite) {
    if (connection.pointer) zwlr_virtual_pointer_v1_destroy(connection.pointer);
    if (connection.keyboard) zwp_virtual_keyboard_v1_destroy(connection.keyboard);
    if (connection.pointerManager) zwlr_virtual_pointer_manager_v1_destroy(connection.pointerManager);
    wl_display_flush(connection.display);
  } else {
    // A dead connection takes no requests: only our side of the objects goes.
    DestroyProxy(connection.pointer);
    DestroyProxy(connection.keyboard);
    DestroyProxy(connection.pointerManager);
  }
  DestroyProxy(connection.keyboardManager);  // it has no destructor request
  DestroyProxy(connection.seat);
  wl_display_disconnect(connection.display);
  connection = {};
}

WaylandSession Wayland::Probe(const char* socket) {
  Connection connection = Bind(SocketName(socket));
  if (!connection.display) return WaylandSession::kNone;
  const bool usable = connection.seat && connection.pointerManager && connection.keyboardManager;
  Release(connection, true);
  return usable ? WaylandSession::kUsable : WaylandSession::kWithoutProtocols;
}

std::unique_ptr<Wayland> Wayland::Open(const char* socket) {
  std::unique_ptr<Wayland> input(new Wayland(SocketName(socket)));
  std::lock_guard lock(input->mutex_);
  if (!input->Connect(true)) return nullptr;
  return input;
}

Wayland::Wayland(std::string socket) : socket_(std::move(socket)) {}

Wayland::~Wayland() {
  StopAutoRepeat();
  std::lock_guard lock(mutex_);
  if (Alive()) {
    // A key left down would go on repeating in the focused client.
    for (const unsigned keycode : heldKeys_) {
      zwp_virtual_keyboard_v1_key(connection_.keyboard, Now(), keycode - kEvdevOffset, WL_KEYBOARD_KEY_STATE_RELEASED);
    }
    Release(connection_, true);
  }
  std::lock_guard copierLock(clipboardMutex_);
  Reap();
}

bool Wayland::Connect(bool announce) {
  Connection connection = Bind(socket_);
  if (!connection.display) {
    if (announce) Log() << "[SendInput] No Wayland compositor answers on " << socket_;
    return false;
  }
  if (!connection.seat || !connection.pointerManager || !connection.keyboardManager) {
    if (announce) {
      Log() << "[SendInput] The Wayland compositor on " << socket_ << " lacks "
            << (!connection.seat                ? "a seat"
                : !connection.pointerManager ? "the virtual pointer protocol (zwlr_virtual_pointer_manager_v1)"
                                             : "the virtual keyboard protocol (zwp_virtual_keyboard_manager_v1)");
    }
    Release(connection, true);
    return false;
  }
  connection.pointer =
      zwlr_virtual_pointer_manager_v1_create_virtual_pointer(connection.pointerManager, connection.seat);
  connection.keyboard =
      zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(connection.keyboardManager, connection.seat);
  connection_ = connection;
  heldKeys_.clear();
  keymap_.ResetState();
  // A compositor that refuses the devices says so with a protocol error.
  if (!UploadKeymap() || wl_display_roundtrip(connection_.display) < 0) {
    if (announce) {
      Log() << "[SendInput] The Wayland compositor on " << socket_ << " refused the virtual pointer or keyboard ("
            << std::strerror(wl_display_get_error(connection_.display)) << ")";
    }
    Release(connection_, false);
    return false;
  }
  nextRead_ = std::chrono::steady_clock::now() + kReadInterval;
  if (announce) Log() << "[SendInput] Wayland compositor on " << socket_ << ", virtual pointer and keyboard";
  return true;
}

bool Wayland::UploadKeymap() {
  if (!keymap_.ok()) {
    Log() << "[SendInput] No XKB keymap for the virtual keyboard; keys are skipped";
    return true;
  }
  std::uint32_t size = 0;
  const int fd = keymap_.TextFile(size);
  if (fd < 0) {
    Log() << "[SendInput] Cannot hand the keymap to the compositor: " << std::strerror(errno);
    return false;
  }
  // libwayland sends a duplicate of the descriptor.
  zwp_virtual_keyboard_v1_keymap(connection_.keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, size);
  ::close(fd);
  // A new keymap starts the compositor's modifier state afresh.
  const WaylandKeymap::Modifiers mods = keymap_.CurrentModifiers();
  zwp_virtual_keyboard_v1_modifiers(connection_.keyboard, mods.depressed, mods.latched, mods.locked, mods.group);
  return true;
}

bool Wayland::Usable() {
  if (Alive()) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now < nextConnect_) return false;
  nextConnect_ = now + kReconnectInterval;
  if (!Connect(false)) return false;
  Log() << "[SendInput] The Wayland compositor on " << socket_ << " is back; input goes to it again";
  return true;
}

void Wayland::Lose() {
  if (!Alive()) return;
  Log() << "[SendInput] Lost the Wayland compositor on " << socket_ << "; input is only logged until it comes back";
  Release(connection_, false);
  // They belonged to the devices that went with it.
  heldKeys_.clear();
  keymap_.ResetState();
  nextConnect_ = std::chrono::steady_clock::now() + kReconnectInterval;
}

bool Wayland::Flush() {
  if (!Alive()) return false;
  while (wl_display_flush(connection_.display) < 0) {
    if (errno != EAGAIN) {
      Lose();
      return false;
    }
    // The compositor is behind on reading: give it a moment, then keep the rest queued for the next batch.
    pollfd out{wl_display_get_fd(connection_.display), POLLOUT, 0};
    if (::poll(&out, 1, kFlushWaitMs) <= 0 || (out.revents & (POLLERR | POLLHUP)) != 0) break;
  }
  if (wl_display_get_error(connection_.display) == 0) return true;
  Lose();
  return false;
}

void Wayland::ReadEvents() {
  nextRead_ = std::chrono::steady_clock::now() + kReadInterval;
  wl_display* display = connection_.display;
  while (wl_display_prepare_read(display) != 0) {
    if (wl_display_dispatch_pending(display) < 0) return Lose();
  }
  pollfd in{wl_display_get_fd(display), POLLIN, 0};
  if (::poll(&in, 1, 0) > 0) {
    if (wl_display_read_events(display) < 0) return Lose();
  } else {
    wl_display_cancel_read(display);
  }
  if (wl_display_dispatch_pending(display) < 0) Lose();
}

unsigned Wayland::SendBatch(std::span<const InputRecord> batch) {
  std::lock_guard lock(mutex_);
  // Without a compositor the batch counts as taken, as the headless manager's.
  if (!Usable()) return static_cast<unsigned>(batch.size());
  // A compositor that died shows first on reading; keys are worth the check, moves only now and then.
  const bool keys = std::any_of(batch.begin(), batch.end(),
                                [](const InputRecord& r) { return std::holds_alternative<KeyRecord>(r); });
  if (keys || std::chrono::steady_clock::now() >= nextRead_) ReadEvents();
  unsigned sent = 0;
  for (std::size_t i = 0; i < batch.size() && Alive(); ++i) {
    if (const auto* key = std::get_if<KeyRecord>(&batch[i])) {
      sent += SendKey(*key, !key->up && ReleasedLater(batch.subspan(i + 1), key->vk)) ? 1 : 0;
    } else {
      SendMouse(std::get<MouseRecord>(batch[i]));
      ++sent;
    }
  }
  return Flush() ? sent : static_cast<unsigned>(batch.size());
}

unsigned Wayland::SendRepeat(std::span<const InputRecord> downs) {
  std::lock_guard lock(mutex_);
  if (!Usable()) return static_cast<unsigned>(downs.size());
  // The held key comes last, after its modifiers, which stay down untouched.
  const auto last = std::find_if(downs.rbegin(), downs.rend(),
                                 [](const InputRecord& r) { return std::holds_alternative<KeyRecord>(r); });
  if (last == downs.rend()) return 0;
  const std::uint32_t keysym = static_cast<std::uint32_t>(RecordKeysym(std::get<KeyRecord>(*last)));
  if (keysym == 0 || WaylandKeymap::IsModifier(keysym)) return 0;
  const unsigned keycode = keymap_.Find(keysym);
  // Not ours to repeat once released, or when it was held on a compositor since lost.
  if (keycode == 0 || heldKeys_.count(keycode) == 0) return 0;
  const std::uint32_t now = Now();
  zwp_virtual_keyboard_v1_key(connection_.keyboard, now, keycode - kEvdevOffset, WL_KEYBOARD_KEY_STATE_RELEASED);
  zwp_virtual_keyboard_v1_key(connection_.keyboard, now, keycode - kEvdevOffset, WL_KEYBOARD_KEY_STATE_PRESSED);
  return Flush() ? 1 : 0;
}

// The extended flag is not needed: the keysyms already tell keypad and right-hand keys apart.
bool Wayland::SendKey(const KeyRecord& key, bool releasedInBatch) {
  const auto keysym = static_cast<std::uint32_t>(RecordKeysym(key));
  if (keysym == 0) {
    if (reportedKeys_.insert(key.vk).second) {
      Log() << "[SendInput] No keysym for virtual key " << VirtualKeyName(key.vk) << "; skipped";
    }
    return false;
  }
  bool changed = false;
  const unsigned keycode = keymap_.KeycodeFor(keysym, changed);
  if (keycode <= kEvdevOffset) return false;
  // The key event must not overtake the keymap that has its keysym.
  if (changed && !UploadKeymap()) return false;
  if (key.up) {
    heldKeys_.erase(keycode);
  } else if (!releasedInBatch && !WaylandKeymap::IsModifier(keysym)) {
    heldKeys_.insert(keycode);
  }
  zwp_virtual_keyboard_v1_key(connection_.keyboard, Now(), keycode - kEvdevOffset,
                              key.up ? WL_KEYBOARD_KEY_STATE_RELEASED : WL_KEYBOARD_KEY_STATE_PRESSED);
  // The compositor keeps a virtual keyboard's modifiers as we report them.
  if (keymap_.UpdateKey(keycode, !key.up)) {
    const WaylandKeymap::Modifiers mods = keymap_.CurrentModifiers();
    zwp_virtual_keyboard_v1_modifiers(connection_.keyboard, mods.depressed, mods.latched, mods.locked, mods.group);
  }
  return true;
}

void Wayland::SendMouse(const MouseRecord& mouse) {
  zwlr_virtual_pointer_v1* pointer = connection_.pointer;
  const std::uint32_t now = Now();
  if (mouse.flags & kMouseMove) {
    zwlr_virtual_pointer_v1_motion(pointer, now, wl_fixed_from_int(mouse.dx), wl_fixed_from_int(mouse.dy));
  }
  // Win32 takes the button flags in this order; a record may hold a press and its release.
  static constexpr struct { std::uint32_t flag; std::uint32_t button; bool down; } kButtons[] = {
      {kMouseLeftDown, BTN_LEFT, true},     {kMouseLeftUp, BTN_LEFT, false},
      {kMouseRightDown, BTN_RIGHT, true},   {kMouseRightUp, BTN_RIGHT, false},
      {kMouseMiddleDown, BTN_MIDDLE, true}, {kMouseMiddleUp, BTN_MIDDLE, false}};
  for (const auto& b : kButtons) {
    if (mouse.flags & b.flag) {
      zwlr_virtual_pointer_v1_button(pointer, now, b.button,
                                     b.down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    }
  }
  // A positive Win32 wheel turns away from the user (up), a positive Wayland vertical axis down.
  if (mouse.flags & kMouseWheel) Wheel(verticalWheel_, mouse.wheel, WL_POINTER_AXIS_VERTICAL_SCROLL, -1);
  if (mouse.flags & kMouseHWheel) Wheel(horizontalWheel_, mouse.wheel, WL_POINTER_AXIS_HORIZONTAL_SCROLL, 1);
  zwlr_virtual_pointer_v1_frame(pointer);
}

bool Wayland::Wheel(std::int32_t& accumulated, std::int32_t delta, std::uint32_t axis, int direction) {
  // Wheel clients count whole notches; the fractions of small scrolls add up over records.
  const std::int64_t total = std::clamp<std::int64_t>(std::int64_t{accumulated} + delta, -kMaxWheel, kMaxWheel);
  accumulated = static_cast<std::int32_t>(total % kWheelNotch);
  const int notches = static_cast<int>(total / kWheelNotch) * direction;
  if (notches == 0) return false;
  zwlr_virtual_pointer_v1_axis_source(connection_.pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
  zwlr_virtual_pointer_v1_axis_discrete(connection_.pointer, Now(), axis, wl_fixed_from_double(kNotchValue * notches),
                                        notches);
  return true;
}

std::uint16_t Wayland::ScanCodeOf(std::uint16_t vk) {
  std::lock_guard lock(mutex_);
  const unsigned keycode = keymap_.Find(static_cast<std::uint32_t>(VirtualKeyToKeysym(vk)));
  return keycode > kEvdevOffset ? static_cast<std::uint16_t>(keycode - kEvdevOffset) : 0;
}

bool Wayland::IsControlHeld() {
  std::lock_guard lock(mutex_);
  return Alive() && keymap_.ControlHeld();
}

std::string Wayland::ForegroundTitle() {
  auto focus = platform::SwayFocusedWindow();
  return focus ? std::move(focus->title) : std::string();
}

void Wayland::PutClipboardText(std::string_view utf8) {
  std::lock_guard lock(clipboardMutex_);
  Reap();
  if (copiers_.size() >= kMaxCopiers) {
    if (auto p = copyFailedLog_.Next()) {
      Log() << "[Clipboard] " << copiers_.size() << " wl-copy still running; clipboard text dropped" << p;
    }
    return;
  }
  // wl-copy must reach the compositor we type into, whatever our own variable says.
  std::vector<std::string> environment;
  for (char** variable = environ; *variable; ++variable) {
    if (std::strncmp(*variable, "WAYLAND_DISPLAY=", 16) != 0) environment.emplace_back(*variable);
  }
  environment.push_back("WAYLAND_DISPLAY=" + socket_);
  const pid_t pid = platform::SpawnWithInput("wl-copy", {}, utf8, &environment);
  if (pid == -ENOENT) {
    if (!reportedNoCopier_) Log() << "[Clipboard] wl-copy not found (package wl-clipboard); clipboard text dropped";
    reportedNoCopier_ = true;
    return;
  }
  if (pid < 0) {
    if (auto p = copyFailedLog_.Next()) Log() << "[Clipboard] Cannot run wl-copy: " << std::strerror(-pid) << p;
    return;
  }
  // wl-copy serves the text from a child of its own; a failure shows when it exits.
  copiers_.push_back(pid);
  if (auto p = copiedLog_.Next()) Log() << "[Clipboard] Clipboard text handed to wl-copy" << p;
}

// The outcome of each wl-copy that has ended. Callers hold clipboardMutex_.
void Wayland::Reap() {
  std::erase_if(copiers_, [this](pid_t pid) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == 0) return false;
    if (done == pid && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
      if (auto p = copyFailedLog_.Next()) {
        Log() << "[Clipboard] wl-copy failed (status " << status << "); the clipboard may not hold the text" << p;
      }
    }
    return true;
  });
}

std::optional<std::string> Wayland::PerformSystemAction(SystemAction action) { return logind::Perform(action); }

std::string Wayland::StepMonitorBrightness(bool up) { return StepDisplayBrightness(up); }

}  // namespace vandrel::InputManager
