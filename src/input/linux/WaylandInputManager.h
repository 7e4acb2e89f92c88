// Input on a wlroots Wayland compositor (sway and others) through its virtual
// pointer and virtual keyboard protocols, where XTEST reaches only Xwayland.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "infra/LogLimiter.h"
#include "input/Injector.h"
#include "input/linux/InputBackendChoice.h"
#include "input/linux/WaylandKeymap.h"

struct wl_display;
struct wl_seat;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;

namespace vandrel::InputManager {

/// Outlives the compositor: when it goes away the input is only dumped, and
/// the socket is tried again, at most once a second, until one answers.
class Wayland final : public Injector {
 public:
  /// Which kind of session the socket (null: $WAYLAND_DISPLAY) has, without logging.
  static WaylandSession Probe(const char* socket = nullptr);
  /// Null, after one log line saying why, without a compositor or its protocols.
  static std::unique_ptr<Wayland> Open(const char* socket = nullptr);
  ~Wayland() override;
  Wayland(const Wayland&) = delete;
  Wayland& operator=(const Wayland&) = delete;

  /// The evdev code of the key in our keymap, which for the main keys is the PC scan code.
  std::uint16_t ScanCodeOf(std::uint16_t vk) override;

 protected:
  unsigned SendBatch(std::span<const InputRecord> batch) override;
  /// Clients repeat a held key themselves after the compositor's delay; a
  /// round (release and press) comes sooner and starts that delay over, so
  /// the key repeats at the program's pace only.
  unsigned SendRepeat(std::span<const InputRecord> downs) override;
  bool IsControlHeld() override;
  /// Only sway tells another client what has the focus, through its own IPC.
  std::string ForegroundTitle() override;
  void PutClipboardText(std::string_view utf8) override;
  std::optional<std::string> PerformSystemAction(SystemAction action) override;
  std::string StepMonitorBrightness(bool up) override;

 private:
  struct Connection {
    wl_display* display = nullptr;
    wl_seat* seat = nullptr;
    zwlr_virtual_pointer_manager_v1* pointerManager = nullptr;
    zwp_virtual_keyboard_manager_v1* keyboardManager = nullptr;
    zwlr_virtual_pointer_v1* pointer = nullptr;
    zwp_virtual_keyboard_v1* keyboard = nullptr;
  };
  // The globals bound after one roundtrip; no display when none answers.
  static Connection Bind(const std::string& socket);
  // `polite`: destroys the objects on the compositor's side as well, which a dead one cannot.
  static void Release(Connection& connection, bool polite);
  explicit Wayland(std::string socket);

  // Callers hold mutex_ for all below.
  // Creates the devices and uploads the keymap; logs why not when `announce`.
  bool Connect(bool announce);
  // Whether there is a compositor, connecting again at most once a second after a loss.
  bool Usable();
  bool Alive() const { return connection_.display != nullptr; }
  // Sends what is queued; after a failure logs the loss once and lets go of the connection.
  bool Flush();
  // Reads and handles the compositor's events without waiting for any.
  void ReadEvents();
  void Lose();
  bool UploadKeymap();
  bool SendKey(const KeyRecord& key, bool releasedInBatch);
  void SendMouse(const MouseRecord& mouse);
  // Scrolls one notch per whole 120 in `accumulated`, keeping the rest.
  bool Wheel(std::int32_t& accumulated, std::int32_t delta, std::uint32_t axis, int direction);
  void Reap();

  std::mutex mutex_;
  const std::string socket_;  // as given; empty for libwayland's own choice
  const std::string name_;    // for the log
  Connection connection_;
  WaylandKeymap keymap_;
  std::chrono::steady_clock::time_point nextConnect_;
  std::chrono::steady_clock::time_point nextRead_;
  std::int32_t verticalWheel_ = 0;
  std::int32_t horizontalWheel_ = 0;
  // Keycodes (not modifiers) we pressed and have not released.
  std::set<unsigned> heldKeys_;
  std::set<std::uint16_t> reportedKeys_;
  // wl-copy processes not yet reaped (at most a handful); a second lock, as
  // they do not touch the connection.
  std::mutex clipboardMutex_;
  std::vector<pid_t> copiers_;
  bool reportedNoCopier_ = false;
  LogLimiter copiedLog_;
  LogLimiter copyFailedLog_;  // failures and texts dropped while too many run
};

}  // namespace vandrel::InputManager
