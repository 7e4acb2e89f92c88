// A headless sway of its own for the Wayland input tests and the bench, run as
// an unprivileged user when we are root (sway refuses root), and wev as the
// focused client whose event lines show what arrived.
#pragma once

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "SpawnChild.h"
#include "WaitUntil.h"

namespace vandrel::testing {

/// The user sway runs as when we are root; scripts/test.sh creates it.
inline constexpr const char* kSwayUser = "vandrelwl";

inline bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (::access((std::filesystem::path(dir) / program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

/// The focused window of an app id in sway's tree, if there is one.
inline std::optional<nlohmann::json> FocusedWindow(const nlohmann::json& node, const std::string& appId) {
  if (node.value("focused", false) && node.contains("app_id") && node["app_id"] == appId) return node;
  for (const char* children : {"nodes", "floating_nodes"}) {
    if (!node.contains(children)) continue;
    for (const auto& child : node[children]) {
      if (auto found = FocusedWindow(child, appId)) return found;
    }
  }
  return std::nullopt;
}

class Sway {
 public:
  /// Empty when the session can be had, else why not.
  static std::string Unavailable() {
    for (const char* program : {"sway", "swaymsg", "wev", "stdbuf"}) {
      if (!OnPath(program)) return std::string(program) + " is not installed (scripts/install-deps.sh --tests)";
    }
    if (::geteuid() == 0 && !::getpwnam(kSwayUser)) {
      return std::string("no user ") + kSwayUser + " to run sway as (scripts/test.sh creates it)";
    }
    return {};
  }

  Sway() {
    char pattern[] = "/tmp/vandrel-sway-XXXXXX";
    dir_ = ::mkdtemp(pattern) ? pattern : "";
    if (::geteuid() == 0) {
      const passwd* user = ::getpwnam(kSwayUser);
      uid_ = user->pw_uid;
      gid_ = user->pw_gid;
    }
    // The runtime folder is the user's alone (mode 0700), as a session's is; root reaches it regardless.
    runtime_ = dir_ / "runtime";
    std::filesystem::create_directory(runtime_);
    for (const auto& folder : {dir_, runtime_}) {
      if (::geteuid() == 0) static_cast<void>(::chown(folder.c_str(), uid_, gid_));
      ::chmod(folder.c_str(), 0700);
    }
    std::ofstream(dir_ / "config") << "output HEADLESS-1 resolution 1280x720\n"
                                      "default_border none\n"
                                      "seat seat0 hide_cursor 0\n";
    ::chmod((dir_ / "config").c_str(), 0644);
  }
  ~Sway() {
    Resume();
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) Stop(*it);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  Sway(const Sway&) = delete;
  Sway& operator=(const Sway&) = delete;

  /// Starts sway and waits for its Wayland and IPC sockets and its output.
  bool Start() {
    socket_.clear();
    ipc_.clear();
    sway_ = Spawn({"sway", "-c", (dir_ / "config").string()}, log(),
                  {"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"});
    return sway_ > 0 && WaitUntil([&] {
             std::error_code ec;
             for (const auto& entry : std::filesystem::directory_iterator(runtime_, ec)) {
               const std::string name = entry.path().filename().string();
               if (name.rfind("wayland-", 0) == 0 && name.find(".lock") == std::string::npos) socket_ = entry.path();
               // A killed sway leaves its IPC socket behind; the new one's name has the new process id.
               const std::string ours = "." + std::to_string(sway_) + ".sock";
               if (name.rfind("sway-ipc.", 0) == 0 && name.find(ours) != std::string::npos) ipc_ = entry.path();
             }
             return !socket_.empty() && !ipc_.empty() && Tree().find("HEADLESS-1") != std::string::npos;
           });
  }
  /// Ends sway the way a crash would, and waits until it is gone. Its sockets
  /// and lock files stay behind, as after a crash; the next sway takes the name again.
  void Kill() {
    if (sway_ <= 0) return;
    Resume();
    ::kill(sway_, SIGKILL);
    ::waitpid(sway_, nullptr, 0);
    std::erase(children_, sway_);
    sway_ = -1;
  }
  /// Stops sway without ending it: its clients wait for answers that do not come.
  void Pause() {
    if (sway_ > 0 && ::kill(sway_, SIGSTOP) == 0) paused_ = true;
  }
  void Resume() {
    if (paused_ && sway_ > 0) ::kill(sway_, SIGCONT);
    paused_ = false;
  }

  /// The Wayland socket's full path, which WAYLAND_DISPLAY may name as well.
  const std::filesystem::path& socket() const { return socket_; }
  /// sway's IPC socket, which SWAYSOCK names.
  const std::filesystem::path& ipc() const { return ipc_; }
  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path log() const { return dir_ / "sway.log"; }
  pid_t pid() const { return sway_; }

  /// Runs a program in the session, its standard output and error into `output`.
  pid_t Spawn(const std::vector<std::string>& command, const std::filesystem::path& output,
              const std::vector<std::string>& extraEnvironment = {}) {
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    const pid_t pid = SpawnTo(command, fd, extraEnvironment);
    ::close(fd);
    return pid;
  }
  /// The same with standard output and error into `fd` (a pipe's end, say).
  pid_t SpawnTo(const std::vector<std::string>& command, int fd, const std::vector<std::string>& extraEnvironment = {}) {
    std::vector<std::string> argv;
    if (::geteuid() == 0) {
      argv = {"setpriv", "--reuid=" + std::to_string(uid_), "--regid=" + std::to_string(gid_), "--init-groups"};
    }
    argv.insert(argv.end(), {"env", "-i", "PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + dir_.string(),
                             "XDG_RUNTIME_DIR=" + runtime_.string()});
    if (!socket_.empty()) argv.push_back("WAYLAND_DISPLAY=" + socket_.filename().string());
    if (!ipc_.empty()) argv.push_back("SWAYSOCK=" + ipc_.string());
    argv.insert(argv.end(), extraEnvironment.begin(), extraEnvironment.end());
    argv.insert(argv.end(), command.begin(), command.end());
    const pid_t pid = SpawnChild(std::move(argv), {{}, fd});
    if (pid <= 0) return -1;
    children_.push_back(pid);
    return pid;
  }
  /// Runs a program in the session to its end; its output.
  std::string Run(const std::vector<std::string>& command) {
    const std::filesystem::path output = dir_ / ("run-" + std::to_string(runs_++) + ".out");
    const pid_t pid = Spawn(command, output);
    if (pid <= 0) return {};
    ::waitpid(pid, nullptr, 0);
    std::erase(children_, pid);
    std::string text = ReadWholeFile(output);
    std::filesystem::remove(output);
    return text;
  }
  std::string Tree() { return Run({"swaymsg", "-r", "-t", "get_tree"}); }
  /// Whether a window of `appId` has the focus now.
  bool Focused(const std::string& appId) {
    const auto tree = nlohmann::json::parse(Tree(), nullptr, false);
    return !tree.is_discarded() && FocusedWindow(tree, appId).has_value();
  }

  /// SIGTERM, then SIGKILL for a child that does not end.
  static void Stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    if (WaitUntil([&] { return ::waitpid(pid, nullptr, WNOHANG) != 0; }, std::chrono::seconds(2))) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }

 private:
  std::filesystem::path dir_;
  std::filesystem::path runtime_;
  std::filesystem::path socket_;
  std::filesystem::path ipc_;
  uid_t uid_ = ::geteuid();
  gid_t gid_ = ::getegid();
  pid_t sway_ = -1;
  bool paused_ = false;
  std::vector<pid_t> children_;
  int runs_ = 0;
};

/// wev in the session, line-buffered into a file, and what its lines say.
class Wev {
 public:
  /// Starts wev and waits until it is focused; then `nudge` moves the pointer
  /// (once per try) until wev reports the pointer on its surface.
  bool Start(Sway& sway, const std::function<void()>& nudge) {
    log_ = sway.dir() / ("wev-" + std::to_string(starts_++) + ".log");
    if (sway.Spawn({"stdbuf", "-oL", "wev"}, log_) <= 0) return false;
    if (!WaitUntil([&] { return sway.Focused("wev"); })) return false;
    return WaitUntil([&] {
      nudge();
      return WaitUntil([&] { return Count("wl_pointer] enter") > 0; }, std::chrono::milliseconds(200));
    });
  }

  std::string Text() const { return ReadWholeFile(log_); }
  std::size_t Count(const std::string& text) const {
    const std::string log = Text();
    std::size_t count = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
  }
  bool WaitFor(const std::string& text, std::size_t count = 1) const {
    return WaitUntil([&] { return Count(text) >= count; });
  }
  /// The surface position of the pointer's last enter or motion event.
  std::optional<std::pair<double, double>> LastPointerPosition() const {
    static const std::regex kPosition(R"(wl_pointer\] (?:enter|motion): [^\n]*x, y: (-?[0-9.]+), (-?[0-9.]+))");
    const std::string log = Text();
    std::optional<std::pair<double, double>> last;
    for (std::sregex_iterator it(log.begin(), log.end(), kPosition), end; it != end; ++it) {
      last = std::pair(std::stod((*it)[1]), std::stod((*it)[2]));
    }
    return last;
  }

 private:
  std::filesystem::path log_;
  int starts_ = 0;
};

}  // namespace vandrel::testing
