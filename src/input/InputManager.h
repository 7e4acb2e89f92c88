// The input operations a phone can ask of this PC, in their fixed slot order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vandrel::InputManager {

class Base {
 public:
  virtual ~Base() = default;

  virtual void LeftClick() = 0;
  virtual void DoubleClick() = 0;
  virtual void RightClick() = 0;
  virtual void MiddleClick() = 0;
  virtual void MoveRelative(std::int32_t dx, std::int32_t dy) = 0;
  virtual void Scroll(std::int32_t amount) = 0;
  virtual void ScrollHorizontal(std::int32_t amount) = 0;
  virtual void LeftDown() = 0;
  virtual void LeftUp() = 0;
  /// `key` is a HID keyboard usage, `modifiers` the HID modifier bits.
  virtual void KeyClick(std::uint8_t key, std::uint8_t modifiers) = 0;
  virtual void KeyDown(std::uint8_t key, std::uint8_t modifiers) = 0;
  virtual void KeyUp(std::uint8_t key, std::uint8_t modifiers) = 0;
  virtual void Zoom(std::int32_t steps) = 0;
  virtual void Media(std::uint8_t action) = 0;
  virtual void SetClipboardText(const std::uint8_t* utf8, std::size_t size) = 0;
  virtual void SystemControl(std::uint8_t page, std::uint8_t usage) = 0;
  virtual void BrightnessStep(bool up) = 0;
};

}  // namespace vandrel::InputManager
