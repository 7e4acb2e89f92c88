// Keys and modifiers held down through KEYDOWN, and the left button held
// through DOWN, so that they can be released when their phone is gone.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_set>

#include "input/InputManager.h"

namespace vandrel {

class KeyStateTracker {
 public:
  /// The process-wide tracker.
  static KeyStateTracker& Instance();

  void Pressed(std::uint8_t key, std::uint8_t modifiers);
  void Released(std::uint8_t key, std::uint8_t modifiers);
  void LeftPressed();
  void LeftReleased();
  /// Notes input of any kind.
  void Touch();
  bool AnyHeld() const;
  std::chrono::steady_clock::time_point LastActivity() const;

  /// Takes every held key and modifier and releases them through `manager`:
  /// KeyUp(key, 0) for each key, then KeyUp(0, mask) for each modifier mask,
  /// then LeftUp if the left button is held.
  /// Returns how many releases were sent.
  std::size_t ReleaseAll(InputManager::Base& manager);

 private:
  mutable std::mutex mutex_;
  std::unordered_set<std::uint8_t> keys_;
  std::unordered_set<std::uint8_t> modifiers_;
  bool leftHeld_ = false;
  std::chrono::steady_clock::time_point lastActivity_ = std::chrono::steady_clock::now();
};

/// Hands one queued command to the input manager. Bytes a short command lacks
/// read as zero; codes outside 1..27 are ignored.
void DispatchInputEvent(InputManager::Base& manager, KeyStateTracker* tracker, const std::uint8_t* bytes,
                        std::size_t length);

}  // namespace vandrel
