// A small desktop of its own for the task switcher's tests: Xvfb on a fixed
// display, openbox on it, real clients started on it, and what the tests ask
// of the X server (windows made to measure, the client list, window states).
#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "WaitUntil.h"

extern char** environ;

namespace vandrel::testing {

/// Whether `program` is found on $PATH.
inline bool Installed(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    if (::access((dirs.substr(start, end - start) + "/" + program).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

/// Starts `args` with DISPLAY=`display` and its output thrown away; -1 when it could not.
inline pid_t Spawn(std::vector<std::string> args, const std::string& display) {
  std::vector<std::string> env{"DISPLAY=" + display};
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "DISPLAY=", 8) != 0) env.emplace_back(*e);
  }
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

/// TERM rather than KILL, so that an X server removes its lock and socket.
inline void Stop(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

inline pid_t StartXvfb(const std::string& display) {
  if (std::filesystem::exists("/tmp/.X" + display.substr(1) + "-lock")) return -1;
  return Spawn({"Xvfb", display, "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"}, display);
}

/// Opens `display`, waiting for a server that is still starting; null when it never answers.
inline Display* OpenWhenUp(const std::string& display) {
  Display* out = nullptr;
  WaitUntil([&] { return (out = XOpenDisplay(display.c_str())) != nullptr; }, std::chrono::seconds(20));
  return out;
}

class TaskbarDesktop {
 public:
  /// Xvfb and openbox on `display`; problem() says what failed.
  explicit TaskbarDesktop(std::string display) : name_(std::move(display)) {
    previousHandler_ = XSetErrorHandler(+[](Display*, XErrorEvent*) { return 0; });
    server_ = StartXvfb(name_);
    if (server_ < 0) {
      problem_ = "cannot start Xvfb " + name_ + " (a lock file says it is taken?)";
      return;
    }
    display_ = OpenWhenUp(name_);
    if (!display_) {
      problem_ = "Xvfb " + name_ + " does not answer";
      return;
    }
    windowManager_ = Spawn({"openbox", "--sm-disable"}, name_);
    if (!WaitUntil([&] { return RootHas("_NET_SUPPORTING_WM_CHECK") && RootHas("_NET_CLIENT_LIST"); },
                   std::chrono::seconds(30))) {
      problem_ = "openbox did not start on " + name_;
    }
  }
  ~TaskbarDesktop() {
    for (pid_t& pid : clients_) Stop(pid);
    Stop(windowManager_);
    if (display_) XCloseDisplay(display_);
    Stop(server_);
    XSetErrorHandler(previousHandler_);
  }
  TaskbarDesktop(const TaskbarDesktop&) = delete;
  TaskbarDesktop& operator=(const TaskbarDesktop&) = delete;

  const std::string& problem() const { return problem_; }
  Display* display() const { return display_; }
  Atom Intern(const char* name) const { return XInternAtom(display_, name, False); }

  /// Starts a client; its pid.
  pid_t Start(std::vector<std::string> args) {
    clients_.push_back(Spawn(std::move(args), name_));
    return clients_.back();
  }

  std::vector<unsigned long> Property(Window w, const char* name, Atom type = AnyPropertyType) const {
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, left = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    if (XGetWindowProperty(display_, w, Intern(name), 0, 1 << 20, False, type, &actual, &format, &count, &left,
                           &data) == Success && data && format == 32) {
      out.assign(reinterpret_cast<unsigned long*>(data), reinterpret_cast<unsigned long*>(data) + count);
    }
    if (data) XFree(data);
    return out;
  }
  bool RootHas(const char* name) const {
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, left = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(display_, DefaultRootWindow(display_), Intern(name), 0, 1, False, AnyPropertyType, &actual,
                       &format, &count, &left, &data);
    if (data) XFree(data);
    return actual != None;
  }
  std::vector<unsigned long> ClientList() const { return Property(DefaultRootWindow(display_), "_NET_CLIENT_LIST"); }
  bool Listed(Window w) const {
    const auto list = ClientList();
    return std::find(list.begin(), list.end(), w) != list.end();
  }
  std::string Title(Window w) const {
    char* name = nullptr;
    std::string title;
    if (XFetchName(display_, w, &name) && name) title = name;
    if (name) XFree(name);
    return title;
  }
  /// The listed window titled `title`, 0 when there is none (yet).
  Window ListedWindow(const std::string& title) const {
    for (const unsigned long w : ClientList()) {
      if (Title(w) == title) return w;
    }
    return 0;
  }
  Window ActiveWindow() const {
    const auto active = Property(DefaultRootWindow(display_), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    return active.empty() ? 0 : active[0];
  }
  bool Iconic(Window w) const {
    const auto state = Property(w, "WM_STATE");
    return !state.empty() && state[0] == IconicState;
  }
  bool Viewable(Window w) const {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display_, w, &attributes) && attributes.map_state == IsViewable;
  }

  /// A window of this process: _NET_WM_PID is ours; the rest as given, set
  /// before it is mapped so that the window manager sees it at once.
  Window MakeWindow(const std::string& title, const std::vector<unsigned long>& icon = {}, const char* type = nullptr) {
    const Window w = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 10, 10, 120, 80, 0, 0, 0);
    if (!title.empty()) XStoreName(display_, w, title.c_str());
    const unsigned long pid = static_cast<unsigned long>(::getpid());
    XChangeProperty(display_, w, Intern("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    if (!icon.empty()) {
      XChangeProperty(display_, w, Intern("_NET_WM_ICON"), XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(icon.data()), static_cast<int>(icon.size()));
    }
    if (type) {
      const Atom value = Intern(type);
      XChangeProperty(display_, w, Intern("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&value), 1);
    }
    XMapWindow(display_, w);
    XSync(display_, False);
    return w;
  }

 private:
  std::string name_;
  std::string problem_;
  XErrorHandler previousHandler_ = nullptr;
  pid_t server_ = -1;
  pid_t windowManager_ = -1;
  std::vector<pid_t> clients_;
  Display* display_ = nullptr;
};

}  // namespace vandrel::testing
