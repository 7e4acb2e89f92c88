#include "input/KeyStateTracker.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "input/InputEvent.h"

namespace vandrel {

KeyStateTracker& KeyStateTracker::Instance() {
  static KeyStateTracker tracker;
  return tracker;
}

void KeyStateTracker::Pressed(std::uint8_t key, std::uint8_t modifiers) {
  std::lock_guard lock(mutex_);
  keys_.insert(key);
  modifiers_.insert(modifiers);
  lastActivity_ = std::chrono::steady_clock::now();
}

void KeyStateTracker::Released(std::uint8_t key, std::uint8_t modifiers) {
  std::lock_guard lock(mutex_);
  keys_.erase(key);
  modifiers_.erase(modifiers);
  lastActivity_ = std::chrono::steady_clock::now();
}

void KeyStateTracker::LeftPressed() {
  std::lock_guard lock(mutex_);
  leftHeld_ = true;
  lastActivity_ = std::chrono::steady_clock::now();
}

void KeyStateTracker::LeftReleased() {
  std::lock_guard lock(mutex_);
  leftHeld_ = false;
  lastActivity_ = std::chrono::steady_clock::now();
}

void KeyStateTracker::Touch() {
  std::lock_guard lock(mutex_);
  lastActivity_ = std::chrono::steady_clock::now();
}

bool KeyStateTracker::AnyHeld() const {
  std::lock_guard lock(mutex_);
  return !keys_.empty() || !modifiers_.empty() || leftHeld_;
}

std::chrono::steady_clock::time_point KeyStateTracker::LastActivity() const {
  std::lock_guard lock(mutex_);
  return lastActivity_;
}

std::size_t KeyStateTracker::ReleaseAll(InputManager::Base& manager) {
  std::vector<std::uint8_t> keys;
  std::vector<std::uint8_t> modifiers;
  bool left = false;
  {
    std::lock_guard lock(mutex_);
    left = std::exchange(leftHeld_, false);
    keys.assign(keys_.begin(), keys_.end());
    modifiers.assign(modifiers_.begin(), modifiers_.end());
    keys_.clear();
    modifiers_.clear();
  }
  // A KEYDOWN without modifiers records the mask 0, which holds nothing.
  std::erase(modifiers, std::uint8_t{0});
  std::sort(keys.begin(), keys.end());
  std::sort(modifiers.begin(), modifiers.end());
  for (const auto key : keys) manager.KeyUp(key, 0);
  for (const auto mask : modifiers) manager.KeyUp(0, mask);
  if (left) manager.LeftUp();
  return keys.size() + modifiers.size() + (left ? 1 : 0);
}

void DispatchInputEvent(InputManager::Base& manager, KeyStateTracker* tracker, const std::uint8_t* bytes,
                        std::size_t length) {
  if (length == 0) return;
  // Commands cut short (MOVE and KEYCLICK over TCP) read their missing bytes as zero.
  std::array<std::uint8_t, InputEvent::kMaxBytes> padded{};
  std::memcpy(padded.data(), bytes, std::min(length, padded.size()));
  const auto s8 = [&](std::size_t i) { return static_cast<std::int32_t>(static_cast<std::int8_t>(padded[i])); };
  const auto u8 = [&](std::size_t i) { return padded[i]; };
  if (tracker) tracker->Touch();

  switch (padded[0]) {
    case 1: return manager.LeftClick();
    case 2: return manager.RightClick();
    case 3:
      if (tracker) tracker->LeftPressed();
      return manager.LeftDown();
    case 4:
      if (tracker) tracker->LeftReleased();
      return manager.LeftUp();
    case 5: return manager.MoveRelative(-s8(1), -s8(2));
    case 6: return manager.Scroll(s8(1));
    case 7: return manager.KeyClick(u8(1), u8(2));
    case 8: return manager.ScrollHorizontal(s8(1));
    case 9: return manager.Zoom(s8(1));
    case 10: return manager.Media(u8(1));
    case 11:
      if (length >= 3) manager.SystemControl(u8(1), u8(2));
      return;
    case 12: return manager.SetClipboardText(bytes + 1, std::min(length, InputEvent::kMaxBytes) - 1);
    case 13:
      if (tracker) tracker->Pressed(u8(1), u8(2));
      return manager.KeyDown(u8(1), u8(2));
    case 14:
      if (tracker) tracker->Released(u8(1), u8(2));
      return manager.KeyUp(u8(1), u8(2));
    case 15: return manager.MiddleClick();
    case 21: return manager.DoubleClick();
    case 27:
      if (length >= 2) manager.BrightnessStep(u8(1) == 0);
      return;
    default: return;
  }
}

}  // namespace vandrel
