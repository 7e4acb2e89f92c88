// The input manager of this platform: the real one where the desktop can be
// reached, otherwise one that only logs.
#pragma once

#include <memory>

#include "input/InputManager.h"

namespace vandrel::InputManager {

std::unique_ptr<Base> MakePlatformInputManager();

}  // namespace vandrel::InputManager
