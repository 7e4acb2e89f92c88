#include "input/PlatformInputManager.h"

#include <cstdlib>

#include "infra/Logger.h"
#include "input/HeadlessInputManager.h"
#include "input/linux/X11InputManager.h"

namespace vandrel::InputManager {

std::unique_ptr<Base> MakePlatformInputManager() {
  if (auto x11 = X11::Open()) return x11;
  // A server or a session without a desktop still serves files and logs the input.
  const char* display = std::getenv("DISPLAY");
  Log() << "[INPUT] No usable display ($DISPLAY=" << (display ? display : "") << "): input is only logged";
  return std::make_unique<Headless>();
}

}  // namespace vandrel::InputManager
