// Which input backend the program takes at start, and how it says so: pure,
// so that every combination of sessions is tested without one.
#pragma once

#include <string>

namespace vandrel::InputManager {

enum class WaylandSession {
  kNone,              // no compositor answers on the socket
  kWithoutProtocols,  // a compositor without the virtual pointer or keyboard
  kUsable,
  kUnsupported,       // this build has no Wayland backend
};

enum class InputBackend { kWayland, kX11, kHeadless };

struct InputChoice {
  std::string reach;  // for the window's Status page
  std::string line;   // the "[INPUT] " log line, without its tag
};

/// `wayland` is $WAYLAND_DISPLAY (empty when unset) and `session` what
/// answered on it; `display` is $DISPLAY. Says plainly when XTest reaches
/// X11 windows only, as under a Wayland compositor it does.
InputChoice DescribeInputChoice(InputBackend backend, const std::string& wayland, WaylandSession session,
                                const std::string& display);

}  // namespace vandrel::InputManager
