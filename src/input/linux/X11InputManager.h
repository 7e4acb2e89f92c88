// Input on an X11 desktop through the XTEST extension: the batches of the
// portable injector become fake key, button and motion events on $DISPLAY.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <vector>

#include "input/Injector.h"

struct _XDisplay;  // Xlib's Display; its header stays out of ours for its macros (None, Bool, Status).

namespace vandrel::InputManager {

/// The X keysym for a Windows virtual key on a US layout, or 0 (NoSymbol) when none fits.
unsigned long VirtualKeyToKeysym(std::uint16_t vk);

class X11 final : public Injector {
 public:
  /// Null when the display cannot be opened or has no XTEST extension.
  static std::unique_ptr<X11> Open(const char* displayName = nullptr);
  ~X11() override;
  X11(const X11&) = delete;
  X11& operator=(const X11&) = delete;

 protected:
  unsigned SendBatch(std::span<const InputRecord> batch) override;
  bool IsControlHeld() override;
  void LockWorkstation() override;

 private:
  X11(_XDisplay* display, int xkbEvent);

  // Each returns whether the record reached the server. Callers hold mutex_.
  bool SendKey(const KeyRecord& key);
  bool SendMouse(const MouseRecord& mouse);
  // Emits one click of `up` or `down` per whole notch in `accumulated`, keeping the rest.
  void Wheel(std::int32_t& accumulated, std::int32_t delta, unsigned up, unsigned down);
  // The keycode for `keysym`, bound to a spare keycode when the keymap has none; 0 if impossible.
  unsigned KeycodeFor(unsigned long keysym);
  unsigned BindSpareKeycode(unsigned long keysym);
  // Reads pending events so keymap changes reach Xlib's cached map.
  void HandleMappingChanges();

  struct Binding {
    unsigned long keysym;
    unsigned keycode;
  };

  std::mutex mutex_;
  _XDisplay* display_;
  int xkbEvent_;  // the XKB event code, -1 without XKB
  std::int32_t verticalWheel_ = 0;
  std::int32_t horizontalWheel_ = 0;
  // Keysyms we put on spare keycodes; kept until the keymap changes or we close.
  std::vector<Binding> bindings_;
  std::set<unsigned long> reportedKeysyms_;
  std::set<std::uint16_t> reportedKeys_;
};

}  // namespace vandrel::InputManager
