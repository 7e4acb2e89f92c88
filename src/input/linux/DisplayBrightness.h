// Steps the brightness of every display that can be set directly: external
// monitors over DDC/CI (libddcutil, loaded when needed) and laptop panels
// through their backlight device.
#pragma once

#include <string>

namespace vandrel::InputManager {

/// The means that changed at least one display ("DDC/CI" or "backlight"), or
/// empty when none changed. Logs each display it stepped.
std::string StepDisplayBrightness(bool up);

}  // namespace vandrel::InputManager
