#include "input/HeadlessInputManager.h"

#include "infra/Logger.h"

namespace vandrel::InputManager {

Headless::~Headless() { StopAutoRepeat(); }

unsigned Headless::SendBatch(std::span<const InputRecord> batch) { return static_cast<unsigned>(batch.size()); }

bool Headless::IsControlHeld() { return false; }

void Headless::LockWorkstation() { Log() << "[SendInput] LockWorkStation is not available without a display"; }

}  // namespace vandrel::InputManager
