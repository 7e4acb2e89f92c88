// The real vandrel program as a child process with its own XDG folders.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SpawnChild.h"
#include "TempDir.h"

extern char** environ;

namespace vandrel::testing {

/// Another way to start the program than the Linux build's `vandrel`: the
/// Windows build under wine, which keeps its files elsewhere.
struct VandrelLaunch {
  std::vector<std::string> command;  // the program and what comes before the options
  std::filesystem::path log;
  std::filesystem::path settings;
};

class VandrelProcess {
 public:
  /// `home` holds the XDG folders; several processes may share one.
  /// `environment` adds NAME=value entries to the program's environment.
  VandrelProcess(const TempDir& home, std::vector<std::string> arguments, std::vector<std::string> environment = {},
                 VandrelLaunch launch = {})
      : home_(home), launch_(std::move(launch)) {
    const std::string root = home.path().string();
    std::filesystem::create_directories(home.path() / "desktop");
    std::vector<std::string> env = {"XDG_CONFIG_HOME=" + root + "/config", "XDG_STATE_HOME=" + root + "/state",
                                    "XDG_RUNTIME_DIR=" + root, "XDG_DESKTOP_DIR=" + root + "/desktop",
                                    "HOME=" + root, "PATH=" + root + "/bin:/usr/bin:/bin"};  // a stand-in adb may sit in bin
    // The input tests watch the injected input on the test's X server.
    if (const char* display = std::getenv("DISPLAY")) env.push_back(std::string("DISPLAY=") + display);
    env.insert(env.end(), environment.begin(), environment.end());
    // Power and lock requests from a test must never reach this machine's logind.
    const bool ownBus = std::any_of(environment.begin(), environment.end(), [](const std::string& e) {
      return e.rfind("DBUS_SYSTEM_BUS_ADDRESS=", 0) == 0;
    });
    if (!ownBus) env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/vandrel-test-bus");
    // Nor may its update check leave the machine: a port where nobody listens, unless the test serves a feed.
    const bool ownFeed = std::any_of(environment.begin(), environment.end(), [](const std::string& e) {
      return e.rfind("VANDREL_UPDATE_FEED=", 0) == 0;
    });
    if (!ownFeed) env.push_back("VANDREL_UPDATE_FEED=http://127.0.0.1:9/releases/latest");
    std::vector<std::string> argv = launch_.command;
    if (argv.empty()) argv = {std::string(VANDREL_BUILD_DIR) + "/vandrel"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const std::string out = root + "/out-" + std::to_string(counter_++) + ".txt";
    outPath_ = out;

    pid_ = SpawnChild(std::move(argv), {out}, &env);
  }

  ~VandrelProcess() {
    if (pid_ > 0 && !exitCode_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  VandrelProcess(const VandrelProcess&) = delete;
  VandrelProcess& operator=(const VandrelProcess&) = delete;

  bool Spawned() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  std::string LogPath() const {
    return (launch_.log.empty() ? home_.path() / "state/Vandrel/vandrel.log" : launch_.log).string();
  }
  std::string Log() const { return ReadBinary(LogPath()); }
  /// How often `part` is in the log now.
  std::size_t CountInLog(const std::string& part) const {
    const std::string text = Log();
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
  }
  /// Standard output and standard error together.
  std::string Output() const { return ReadBinary(outPath_); }
  std::filesystem::path Desktop() const { return home_.path() / "desktop"; }
  std::filesystem::path SettingsFile() const {
    return launch_.settings.empty() ? home_.path() / "config/Vandrel/settings.ini" : launch_.settings;
  }

  /// Waits until the log holds `text`; false after `limit` or when the process ended.
  bool WaitForLog(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Log().find(text) != std::string::npos) return true;
      if (Exited(std::chrono::milliseconds(0))) return Log().find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  /// The exit code once the process has ended within `limit`.
  std::optional<int> Exited(std::chrono::milliseconds limit) {
    if (exitCode_) return exitCode_;
    if (pid_ <= 0) return exitCode_ = 127;  // never started; waitpid(-1) would reap another child
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitCode_;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  /// The vandrel processes of our network namespace started with `--port port`,
  /// found by their command lines (a restart starts one of its own). Other
  /// namespaces may run tests on the same ports.
  static std::vector<pid_t> RunningOnPort(std::uint16_t port) {
    std::vector<pid_t> found;
    std::error_code error;
    const auto ours = std::filesystem::read_symlink("/proc/self/ns/net", error);
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
      const std::string name = entry.path().filename().string();
      std::error_code gone;
      if (name.find_first_not_of("0123456789") != std::string::npos ||
          std::filesystem::read_symlink(entry.path() / "ns/net", gone) != ours || gone) {
        continue;
      }
      std::vector<std::string> argv;
      std::istringstream line(ReadBinary(entry.path() / "cmdline"));
      for (std::string argument; std::getline(line, argument, '\0');) argv.push_back(argument);
      if (argv.empty() || std::filesystem::path(argv[0]).filename() != "vandrel") continue;
      for (std::size_t i = 1; i + 1 < argv.size(); ++i) {
        if (argv[i] == "--port" && argv[i + 1] == std::to_string(port)) found.push_back(std::stoi(name));
      }
    }
    return found;
  }

  std::optional<int> Signal(int signal, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    if (pid_ > 0) ::kill(pid_, signal);  // kill(-1) would signal every process we may signal
    return Exited(limit);
  }

 private:
  const TempDir& home_;
  VandrelLaunch launch_;
  pid_t pid_ = -1;
  std::optional<int> exitCode_;
  std::string outPath_;
  static inline int counter_ = 0;
};

}  // namespace vandrel::testing
