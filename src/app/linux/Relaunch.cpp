#include "app/Relaunch.h"

#include <X11/Xlib.h>
#include <signal.h>
#include <spawn.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace vandrel {

int Relaunch(const std::string& executable, const std::vector<std::string>& arguments, const std::string& folder) {
  std::vector<std::string> argv = {executable};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> pointers;
  for (auto& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  // Our blocked termination signals must not stay blocked in the new instance.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int result = ::posix_spawn(&pid, executable.c_str(), &actions, &attr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return result;
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
