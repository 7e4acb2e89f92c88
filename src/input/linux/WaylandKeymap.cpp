#include "input/linux/WaylandKeymap.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstdlib>

#include "infra/Logger.h"

namespace vandrel::InputManager {
namespace {

struct KeySearch {
  xkb_keysym_t keysym;
  xkb_keycode_t found = 0;
  xkb_level_index_t level = 0;  // of the key found; the lowest level wins
};

void FindKey(xkb_keymap* keymap, xkb_keycode_t key, void* data) {
  auto& search = *static_cast<KeySearch*>(data);
  if (xkb_keymap_num_layouts_for_key(keymap, key) == 0) return;
  const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, key, 0);
  for (xkb_level_index_t level = 0; level < levels; ++level) {
    if (search.found != 0 && level >= search.level) return;
    const xkb_keysym_t* syms = nullptr;
    const int count = xkb_keymap_key_get_syms_by_level(keymap, key, 0, level, &syms);
    for (int i = 0; i < count; ++i) {
      if (syms[i] != search.keysym) continue;
      search.found = key;
      search.level = level;
      return;
    }
  }
}

std::string KeymapText(xkb_keymap* keymap) {
  char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
  std::string copy = text ? text : "";
  std::free(text);
  return copy;
}

}  // namespace

WaylandKeymap::WaylandKeymap() {
  context_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  if (!context_) return;
  // Null names: the XKB_DEFAULT_* variables, else the library's default ("us").
  keymap_ = xkb_keymap_new_from_names(context_, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (!keymap_) return;
  baseText_ = KeymapText(keymap_);
  text_ = baseText_;
  state_ = xkb_state_new(keymap_);
}

WaylandKeymap::~WaylandKeymap() {
  if (state_) xkb_state_unref(state_);
  if (keymap_) xkb_keymap_unref(keymap_);
  if (context_) xkb_context_unref(context_);
}

int WaylandKeymap::TextFile(std::uint32_t& size) const {
  const int fd = ::memfd_create("vandrel-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  // The compositor maps the whole size, the final zero byte included.
  const std::size_t total = text_.size() + 1;
  std::size_t written = 0;
  while (written < total) {
    const ssize_t n = ::write(fd, text_.c_str() + written, total - written);
    if (n <= 0) {
      ::close(fd);
      return -1;
    }
    written += static_cast<std::size_t>(n);
  }
  ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  size = static_cast<std::uint32_t>(total);
  return fd;
}

unsigned WaylandKeymap::Find(std::uint32_t keysym) const {
  if (!keymap_ || keysym == XKB_KEY_NoSymbol) return 0;
  KeySearch search{keysym};
  xkb_keymap_key_for_each(keymap_, FindKey, &search);
  return search.found;
}

unsigned WaylandKeymap::KeycodeFor(std::uint32_t keysym, bool& changed) {
  changed = false;
  if (!keymap_ || keysym == XKB_KEY_NoSymbol) return 0;
  if (const unsigned found = Find(keysym)) return found;

  unsigned spare = SpareKeycode();
  if (spare == 0 && !bindings_.empty()) {
    // Every keycode is taken: the oldest of our own bindings makes room.
    spare = bindings_.front().keycode;
    bindings_.erase(bindings_.begin());
  }
  if (spare == 0) {
    if (reported_.insert(keysym).second) {
      Log() << "[SendInput] No keycode for " << KeysymName(keysym) << " and none spare; skipped";
    }
    return 0;
  }
  bindings_.push_back({keysym, spare});
  if (!Rebuild()) {
    bindings_.pop_back();
    Rebuild();
    if (reported_.insert(keysym).second) {
      Log() << "[SendInput] The keymap does not take " << KeysymName(keysym) << "; skipped";
    }
    return 0;
  }
  changed = true;
  if (reported_.insert(keysym).second) {
    Log() << "[SendInput] Bound " << KeysymName(keysym) << " to spare keycode " << spare;
  }
  return spare;
}

// From the top: the low unused keycodes are more likely to be real keys some layout may claim.
unsigned WaylandKeymap::SpareKeycode() const {
  const xkb_keycode_t low = xkb_keymap_min_keycode(keymap_);
  for (xkb_keycode_t code = xkb_keymap_max_keycode(keymap_); code > low; --code) {
    // X clients (through Xwayland) know keycodes up to 255 only.
    if (code > 255) continue;
    if (xkb_keymap_key_get_name(keymap_, code) && xkb_keymap_num_layouts_for_key(keymap_, code) == 0) return code;
  }
  return 0;
}

bool WaylandKeymap::Rebuild() {
  std::string text = baseText_;
  const std::size_t section = text.find("xkb_symbols");
  const std::size_t end = section == std::string::npos ? section : text.find("\n};", section);
  if (end == std::string::npos) return false;
  std::string keys;
  for (const Binding& b : bindings_) {
    const char* name = xkb_keymap_key_get_name(keymap_, b.keycode);
    if (!name) return false;
    keys += "\tkey <" + std::string(name) + "> { [ " + KeysymName(b.keysym) + " ] };\n";
  }
  text.insert(end + 1, keys);
  xkb_keymap* keymap = xkb_keymap_new_from_string(context_, text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                  XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (!keymap) return false;
  xkb_state* state = xkb_state_new(keymap);
  if (!state) {
    xkb_keymap_unref(keymap);
    return false;
  }
  // The keycodes stay the same; the keys held stay held in the new state.
  for (const unsigned code : down_) xkb_state_update_key(state, code, XKB_KEY_DOWN);
  xkb_state_unref(state_);
  xkb_keymap_unref(keymap_);
  keymap_ = keymap;
  state_ = state;
  text_ = std::move(text);
  return true;
}

bool WaylandKeymap::UpdateKey(unsigned keycode, bool down) {
  if (!state_) return false;
  // A press of a key already down (or a release of one that is up) would skew the state's count.
  if (down ? !down_.insert(keycode).second : down_.erase(keycode) == 0) return false;
  const auto changed = xkb_state_update_key(state_, keycode, down ? XKB_KEY_DOWN : XKB_KEY_UP);
  return (changed & (XKB_STATE_MODS_DEPRESSED | XKB_STATE_MODS_LATCHED | XKB_STATE_MODS_LOCKED |
                     XKB_STATE_LAYOUT_EFFECTIVE)) != 0;
}

WaylandKeymap::Modifiers WaylandKeymap::CurrentModifiers() const {
  if (!state_) return {};
  return {xkb_state_serialize_mods(state_, XKB_STATE_MODS_DEPRESSED),
          xkb_state_serialize_mods(state_, XKB_STATE_MODS_LATCHED),
          xkb_state_serialize_mods(state_, XKB_STATE_MODS_LOCKED),
          xkb_state_serialize_layout(state_, XKB_STATE_LAYOUT_EFFECTIVE)};
}

bool WaylandKeymap::ControlHeld() const {
  return state_ && xkb_state_mod_name_is_active(state_, XKB_MOD_NAME_CTRL, XKB_STATE_MODS_DEPRESSED) > 0;
}

void WaylandKeymap::ResetState() {
  down_.clear();
  if (!keymap_) return;
  if (state_) xkb_state_unref(state_);
  state_ = xkb_state_new(keymap_);
}

bool WaylandKeymap::IsModifier(std::uint32_t keysym) {
  return (keysym >= XKB_KEY_Shift_L && keysym <= XKB_KEY_Hyper_R) ||
         (keysym >= XKB_KEY_ISO_Lock && keysym <= XKB_KEY_ISO_Level5_Lock) || keysym == XKB_KEY_Mode_switch ||
         keysym == XKB_KEY_Num_Lock;
}

std::string WaylandKeymap::KeysymName(std::uint32_t keysym) {
  char name[64] = {};
  if (xkb_keysym_get_name(keysym, name, sizeof name) > 0) return name;
  char hex[16] = {};
  std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(keysym));
  return hex;
}

}  // namespace vandrel::InputManager
