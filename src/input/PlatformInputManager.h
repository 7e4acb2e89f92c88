// The input manager of this platform: the real one where the desktop can be
// reached, otherwise one that only logs.
#pragma once

#include <memory>
#include <string>

#include "input/InputManager.h"

namespace vandrel::InputManager {

std::unique_ptr<Base> MakePlatformInputManager();

/// Where the input of the manager made last goes, in a few words for the
/// window's Status page ("X11 (XTest)", ...); empty before one is made.
std::string InputReachText();

}  // namespace vandrel::InputManager
