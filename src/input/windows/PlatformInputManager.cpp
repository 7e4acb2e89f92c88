#include "input/PlatformInputManager.h"

#include "input/windows/WindowsInputManager.h"

namespace vandrel::InputManager {

std::unique_ptr<Base> MakePlatformInputManager() { return std::make_unique<Windows>(); }

std::string InputReachText() { return "every window (SendInput)"; }

}  // namespace vandrel::InputManager
