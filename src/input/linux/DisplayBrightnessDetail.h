// The seams of StepDisplayBrightness that the tests move: which libddcutil to
// load and where the backlight devices are.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vandrel::InputManager::detail {

/// Tried in this order; the first that loads is used for one step only.
std::vector<std::string> DefaultDdcutilNames();
inline constexpr const char* kBacklightFolder = "/sys/class/backlight";

std::string StepDisplayBrightness(bool up, const std::vector<std::string>& ddcutilNames,
                                  const std::filesystem::path& backlightFolder);

}  // namespace vandrel::InputManager::detail
