#include "app/Relaunch.h"

#include <X11/Xlib.h>

#include <cstdlib>

#include "infra/linux/Spawn.h"

namespace vandrel {

int Relaunch(const std::string& executable, const std::vector<std::string>& arguments, const std::string& folder) {
  platform::SpawnOptions options;
  options.workingFolder = folder;
  options.newSession = true;
  const pid_t pid = platform::Spawn(executable, arguments, options);
  return pid < 0 ? -pid : 0;
}

bool HasUsableDisplay() {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return false;
  Display* display = XOpenDisplay(name);
  if (!display) return false;
  XCloseDisplay(display);
  return true;
}

}  // namespace vandrel
