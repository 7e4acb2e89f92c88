// An input manager that writes down each operation it is asked for.
#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "input/InputManager.h"

namespace vandrel::testing {

class RecordingInputManager final : public InputManager::Base {
 public:
  void LeftClick() override { Record("LeftClick"); }
  void DoubleClick() override { Record("DoubleClick"); }
  void RightClick() override { Record("RightClick"); }
  void MiddleClick() override { Record("MiddleClick"); }
  void MoveRelative(std::int32_t dx, std::int32_t dy) override {
    Record("MoveRelative(" + std::to_string(dx) + "," + std::to_string(dy) + ")");
  }
  void Scroll(std::int32_t amount) override { Record("Scroll(" + std::to_string(amount) + ")"); }
  void ScrollHorizontal(std::int32_t amount) override { Record("ScrollHorizontal(" + std::to_string(amount) + ")"); }
  void LeftDown() override { Record("LeftDown"); }
  void LeftUp() override { Record("LeftUp"); }
  void KeyClick(std::uint8_t key, std::uint8_t mods) override { Record("KeyClick" + Args(key, mods)); }
  void KeyDown(std::uint8_t key, std::uint8_t mods) override { Record("KeyDown" + Args(key, mods)); }
  void KeyUp(std::uint8_t key, std::uint8_t mods) override { Record("KeyUp" + Args(key, mods)); }
  void Zoom(std::int32_t steps) override { Record("Zoom(" + std::to_string(steps) + ")"); }
  void Media(std::uint8_t action) override { Record("Media(" + std::to_string(action) + ")"); }
  void SetClipboardText(const std::uint8_t* utf8, std::size_t size) override {
    Record("SetClipboardText(" + std::string(reinterpret_cast<const char*>(utf8), size) + ")");
  }
  void SystemControl(std::uint8_t page, std::uint8_t usage) override { Record("SystemControl" + Args(page, usage)); }
  void BrightnessStep(bool up) override { Record(up ? "BrightnessStep(up)" : "BrightnessStep(down)"); }

  std::vector<std::string> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  /// Operations whose name starts with this text throw instead.
  std::string throwOn;

 private:
  static std::string Args(unsigned a, unsigned b) { return "(" + std::to_string(a) + "," + std::to_string(b) + ")"; }
  void Record(const std::string& call) {
    if (!throwOn.empty() && call.rfind(throwOn, 0) == 0) throw std::runtime_error("injection failed");
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
  }

  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

}  // namespace vandrel::testing
