#include "input/PlatformInputManager.h"

#include <cstdlib>
#include <mutex>

#include "infra/Logger.h"
#include "input/HeadlessInputManager.h"
#include "input/linux/InputBackendChoice.h"
#include "input/linux/X11InputManager.h"
#ifdef VANDREL_HAVE_WAYLAND
#include "input/linux/WaylandInputManager.h"
#endif

namespace vandrel::InputManager {
namespace {

std::mutex g_reachMutex;
std::string g_reach;

void Chose(InputChoice choice) {
  Log() << "[INPUT] " << choice.line;
  std::lock_guard lock(g_reachMutex);
  g_reach = std::move(choice.reach);
}

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::unique_ptr<Base> MakePlatformInputManager() {
  const std::string wayland = Variable("WAYLAND_DISPLAY");
  const std::string display = Variable("DISPLAY");
  WaylandSession session = WaylandSession::kUnsupported;
#ifdef VANDREL_HAVE_WAYLAND
  if (!wayland.empty()) {
    // XTest on XWayland reaches only X11 windows: the compositor's own devices come first.
    session = Wayland::Probe();
    if (session == WaylandSession::kUsable) {
      if (auto input = Wayland::Open()) {
        Chose(DescribeInputChoice(InputBackend::kWayland, wayland, session, display));
        return input;
      }
      session = WaylandSession::kNone;  // it went away between the two looks
    }
  }
#endif
  if (auto x11 = X11::Open()) {
    Chose(DescribeInputChoice(InputBackend::kX11, wayland, session, display));
    return x11;
  }
  // A server or a session without a desktop still serves files and logs the input.
  Chose(DescribeInputChoice(InputBackend::kHeadless, wayland, session, display));
  return std::make_unique<Headless>();
}

std::string InputReachText() {
  std::lock_guard lock(g_reachMutex);
  return g_reach;
}

}  // namespace vandrel::InputManager
