#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "infra/Platform.h"
#include "infra/linux/Spawn.h"
#include "net/AdbReverse.h"

namespace vandrel {
namespace {

constexpr auto kLimit = std::chrono::seconds(20);

std::string ExecutableFolder() {
  const auto exe = platform::ExecutablePath();
  return exe ? std::filesystem::path(*exe).parent_path().string() : std::string();
}

bool IsExecutable(const std::string& path) { return !path.empty() && ::access(path.c_str(), X_OK) == 0; }

}  // namespace

std::string AdbReverse::FindAdb() {
  const std::string beside = ExecutableFolder() + "/adb";
  return IsExecutable(beside) ? beside : "adb";
}

std::string AdbReverse::FindAdbForKillServer() {
  const std::string inFolder = ExecutableFolder() + "/adb/adb";
  return IsExecutable(inFolder) ? inFolder : FindAdb();
}

std::optional<int> AdbReverse::RunProgram(const std::string& program, const std::vector<std::string>& args) {
  // adb talks to the terminal; our log is the record, so its output goes nowhere.
  platform::SpawnOptions options;
  options.silenceOutput = true;
  const pid_t pid = platform::Spawn(program, args, options);
  if (pid < 0) return std::nullopt;

  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
    if (done < 0) return std::nullopt;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace vandrel
