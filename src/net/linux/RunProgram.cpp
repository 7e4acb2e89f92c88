#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "infra/Platform.h"
#include "net/AdbReverse.h"

extern char** environ;

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
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (auto& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // adb talks to the terminal; our log is the record, so its output goes nowhere.
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int failed = ::posix_spawnp(&pid, program.c_str(), &actions, &attr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (failed) return std::nullopt;

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
