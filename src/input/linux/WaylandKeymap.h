// The keymap our virtual keyboard uploads: the layout's own, plus the keysyms
// it lacks bound to spare keycodes, and the modifier state of the keys we hold.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

struct xkb_context;
struct xkb_keymap;
struct xkb_state;

namespace vandrel::InputManager {

class WaylandKeymap {
 public:
  /// The layout of the XKB_DEFAULT_* variables, else "us"; ok() says whether it compiled.
  WaylandKeymap();
  ~WaylandKeymap();
  WaylandKeymap(const WaylandKeymap&) = delete;
  WaylandKeymap& operator=(const WaylandKeymap&) = delete;

  bool ok() const { return keymap_ != nullptr; }
  /// The keymap in XKB_V1 text, as uploaded.
  const std::string& Text() const { return text_; }
  /// A sealed-size memory file with the text and its final zero byte, -1 on failure.
  int TextFile(std::uint32_t& size) const;

  /// The XKB keycode (evdev code + 8) for `keysym`, 0 when there is none even
  /// after binding a spare keycode. `changed` is set when the keymap text
  /// changed and must be uploaded again before the key is sent.
  unsigned KeycodeFor(std::uint32_t keysym, bool& changed);
  /// The keycode the keymap has for `keysym` now, 0 when none.
  unsigned Find(std::uint32_t keysym) const;
  /// Tracks the key for the modifier state; true when the modifiers changed.
  bool UpdateKey(unsigned keycode, bool down);
  struct Modifiers {
    std::uint32_t depressed = 0, latched = 0, locked = 0, group = 0;
  };
  Modifiers CurrentModifiers() const;
  bool ControlHeld() const;
  /// Forgets every key held, as after a new keyboard.
  void ResetState();

  /// Whether the keysym is a modifier (Shift, Control, the locks, ...), which never repeats.
  static bool IsModifier(std::uint32_t keysym);
  static std::string KeysymName(std::uint32_t keysym);

 private:
  struct Binding {
    std::uint32_t keysym;
    unsigned keycode;
  };
  // Makes the keymap of the base text with our bindings; false keeps the old one.
  bool Rebuild();
  unsigned SpareKeycode() const;

  xkb_context* context_ = nullptr;
  xkb_keymap* keymap_ = nullptr;
  xkb_state* state_ = nullptr;
  std::string baseText_;
  std::string text_;
  std::vector<Binding> bindings_;  // oldest first
  std::set<unsigned> down_;        // every keycode pressed and not released
  std::set<std::uint32_t> reported_;
};

}  // namespace vandrel::InputManager
