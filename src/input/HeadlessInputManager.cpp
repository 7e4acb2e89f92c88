#include "input/HeadlessInputManager.h"

#include "infra/Logger.h"

namespace vandrel::InputManager {

Headless::~Headless() { StopAutoRepeat(); }

unsigned Headless::SendBatch(std::span<const InputRecord> batch) { return static_cast<unsigned>(batch.size()); }

bool Headless::IsControlHeld() { return false; }

void Headless::PutClipboardText(std::string_view /*utf8*/) {
  Log() << "[Clipboard] No display; clipboard text dropped";
}

std::optional<std::string> Headless::PerformSystemAction(SystemAction /*action*/) {
  return std::string("not available without a display");
}

std::string Headless::StepMonitorBrightness(bool /*up*/) { return {}; }

}  // namespace vandrel::InputManager
