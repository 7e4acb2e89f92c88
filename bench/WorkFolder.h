// A temporary folder for one benchmark run, and reading the files the program
// leaves in it.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#include "RawSession.h"
#include "ServerProcess.h"

namespace vandrel::bench {

/// Set once before the servers start; removed at the end, on an error or by the signal watcher.
inline std::filesystem::path gWorkFolder;

struct WorkFolder {
  /// `name` as in "vandrel-input-bench": the folder is /tmp/NAME-XXXXXX.
  explicit WorkFolder(const std::string& name) {
    std::string pattern = "/tmp/" + name + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw BenchError("cannot make a work folder in /tmp");
    gWorkFolder = pattern;
  }
  ~WorkFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(gWorkFolder, ignored);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
};

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

/// The environment of a program whose XDG folders lie in `home` (made here), and `extra`.
inline ServerProcess::Environment HomeEnvironment(const std::filesystem::path& home,
                                                  ServerProcess::Environment extra = {}) {
  std::filesystem::create_directories(home / "config");
  std::filesystem::create_directories(home / "desktop");
  ServerProcess::Environment environment = {{"XDG_CONFIG_HOME", (home / "config").string()},
                                            {"XDG_STATE_HOME", (home / "state").string()},
                                            {"XDG_RUNTIME_DIR", home.string()},
                                            {"XDG_DESKTOP_DIR", (home / "desktop").string()},
                                            // Nothing a bench starts asks the release feed or the system bus.
                                            {"VANDREL_UPDATE_FEED", "http://127.0.0.1:9/releases/latest"},
                                            {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vandrel-bench-bus"}};
  environment.insert(environment.end(), extra.begin(), extra.end());
  return environment;
}

/// The program's log under `home`.
inline std::filesystem::path HomeLog(const std::filesystem::path& home) { return home / "state/Vandrel/vandrel.log"; }

/// Waits until that log holds `line`. Throws BenchError after 10 s or when the program ended.
inline void WaitForLogLine(ServerProcess& server, const std::filesystem::path& home, std::string_view line) {
  const auto log = HomeLog(home);
  for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       ReadText(log).find(line) == std::string::npos;) {
    if (std::chrono::steady_clock::now() > deadline || !server.Running()) {
      throw BenchError("vandrel did not start: " + log.string());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace vandrel::bench
