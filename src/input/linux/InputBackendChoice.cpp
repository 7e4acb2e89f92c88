#include "input/linux/InputBackendChoice.h"

namespace vandrel::InputManager {
namespace {

// Why the Wayland compositor takes no input of ours; empty without one.
std::string WaylandTrouble(const std::string& wayland, WaylandSession session) {
  if (wayland.empty()) return {};
  switch (session) {
    case WaylandSession::kNone: return "no Wayland compositor answers on " + wayland;
    case WaylandSession::kWithoutProtocols:
      return "the Wayland compositor on " + wayland + " has no virtual pointer and keyboard protocols";
    case WaylandSession::kUnsupported: return "this build has no Wayland support ($WAYLAND_DISPLAY=" + wayland + ")";
    case WaylandSession::kUsable: break;
  }
  return {};
}

}  // namespace

InputChoice DescribeInputChoice(InputBackend backend, const std::string& wayland, WaylandSession session,
                                const std::string& display) {
  if (backend == InputBackend::kWayland) {
    return {"Wayland (virtual pointer and keyboard)",
            "Input goes to the Wayland compositor on " + wayland + " through its virtual pointer and keyboard"};
  }
  std::string trouble = WaylandTrouble(wayland, session);
  if (backend == InputBackend::kHeadless) {
    return {"none (no display): only logged",
            "No usable display (" + (trouble.empty() ? "" : trouble + ", ") + "$DISPLAY=" + display +
                "): input is only logged"};
  }
  if (trouble.empty()) return {"X11 (XTest)", "Input goes to the X11 display through XTest"};
  trouble[0] = static_cast<char>(trouble[0] - 'a' + 'A');
  // The X display of a Wayland session is XWayland: native Wayland windows never see XTest's events.
  return {"XWayland (XTest): X11 windows only",
          trouble + ": input goes through XTest to XWayland ($DISPLAY=" + display + ") and reaches X11 windows only"};
}

}  // namespace vandrel::InputManager
