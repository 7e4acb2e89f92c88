// The SendInput record of each of our records; apart so that tests can check
// the records built without sending them.
#pragma once

#include <windows.h>

#include "input/InputRecord.h"

namespace vandrel::InputManager {

INPUT ToWin32Input(const InputRecord& record);

}  // namespace vandrel::InputManager
