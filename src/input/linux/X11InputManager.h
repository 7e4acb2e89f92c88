// Input on an X11 desktop through the XTEST extension: the batches of the
// portable injector become fake key, button and motion events on $DISPLAY.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "input/Injector.h"
#include "input/linux/X11Clipboard.h"

struct _XDisplay;  // Xlib's Display; its header stays out of ours for its macros (None, Bool, Status).

namespace vandrel::InputManager {

/// The X keysym for a Windows virtual key on a US layout, or 0 (NoSymbol) when none fits.
unsigned long VirtualKeyToKeysym(std::uint16_t vk);
/// The keysym a record stands for: its virtual key's, or for a scan-code-only
/// record the key of that scan code (the brightness keys), else 0.
unsigned long RecordKeysym(const KeyRecord& key);

/// Outlives the X server: when the display goes away the input is only
/// dumped, and the display is opened again once it answers.
class X11 final : public Injector {
 public:
  /// Null when the display cannot be opened or has no XTEST extension.
  static std::unique_ptr<X11> Open(const char* displayName = nullptr);
  ~X11() override;
  X11(const X11&) = delete;
  X11& operator=(const X11&) = delete;

 protected:
  unsigned SendBatch(std::span<const InputRecord> batch) override;
  /// The server drops a press of a key that is down: a round is a release and
  /// a press of the held key, as the server's own auto-repeat delivers it.
  unsigned SendRepeat(std::span<const InputRecord> downs) override;
  bool IsControlHeld() override;
  std::string ForegroundTitle() override;
  void PutClipboardText(std::string_view utf8) override;
  std::optional<std::string> PerformSystemAction(SystemAction action) override;
  std::string StepMonitorBrightness(bool up) override;

 public:
  /// The evdev code of the key (its X keycode less 8), which for the main keys
  /// is the PC scan code.
  std::uint16_t ScanCodeOf(std::uint16_t vk) override;

 private:
  struct Connection {
    _XDisplay* display = nullptr;
    int xkbEvent = -1;  // the XKB event code, -1 without XKB
  };
  // Null display when it cannot be opened or lacks XTEST; `announce` logs why.
  static Connection Connect(const char* displayName, bool announce);
  X11(Connection connection, std::string displayName);

  // Callers hold mutex_ for all below.
  // Whether there is a display, opening it again at most once a second after a loss.
  bool Usable();
  bool Alive() const { return display_ && !lost_; }
  // After Xlib reported the connection lost: logs it once and lets go of the
  // dead display and of everything we had set up on it.
  void ForgetIfLost();
  // Each returns whether the record reached the server.
  bool SendKey(const KeyRecord& key, bool releasedInBatch);
  bool SendMouse(const MouseRecord& mouse);
  // While we hold a key, the server must not repeat it as well.
  void HoldKey(unsigned keycode);
  void ReleaseKey(unsigned keycode);
  // Emits one click of `up` or `down` per whole notch in `accumulated`, keeping the rest.
  void Wheel(std::int32_t& accumulated, std::int32_t delta, unsigned up, unsigned down);
  // The keycode for `keysym`, bound to a spare keycode when the keymap has none; 0 if impossible.
  unsigned KeycodeFor(unsigned long keysym);
  unsigned BindSpareKeycode(unsigned long keysym);
  // Reads pending events so keymap changes reach Xlib's cached map.
  // `fresh`: read the connection for new events first. Only keys need that;
  // pointer records take what Xlib has already read, sparing a move the
  // system calls.
  void HandleMappingChanges(bool fresh = true);

  struct Binding {
    unsigned long keysym;
    unsigned keycode;
  };

  std::mutex mutex_;
  const std::string displayName_;
  _XDisplay* display_;
  int xkbEvent_;
  // Set inside Xlib, on the thread whose call found the connection broken.
  std::atomic<bool> lost_{false};
  std::chrono::steady_clock::time_point nextConnect_;
  std::int32_t verticalWheel_ = 0;
  std::int32_t horizontalWheel_ = 0;
  // Keysyms we put on spare keycodes; kept until the keymap changes or we close.
  std::vector<Binding> bindings_;
  // Keycodes (not modifiers) we pressed and have not released, and those of
  // them whose server auto-repeat we switched off and must switch on again.
  std::set<unsigned> heldKeys_;
  std::set<unsigned> repeatOff_;
  std::set<unsigned long> reportedKeysyms_;
  std::set<std::uint16_t> reportedKeys_;
  // Its own connection and thread: pasting programs are answered there.
  X11Clipboard clipboard_;
};

}  // namespace vandrel::InputManager
