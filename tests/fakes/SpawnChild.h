// Starting a child of a test rig or a bench: never through a shell, with no
// signal blocked (runners and benches block the termination signals, which
// the child must still see), its standard input from /dev/null and its
// standard output and error to one place.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>

#include <string>
#include <vector>

extern char** environ;

namespace vandrel::testing {

/// Where the child's standard output and error go: a file made afresh, a
/// descriptor of ours, or (both left empty) /dev/null.
struct ChildOutput {
  std::string file;
  int fd = -1;
};

/// `argv[0]` is looked up on PATH when it has no slash; `environment`
/// ("NAME=value" items) replaces ours when given. The child's id, or minus
/// the error number.
inline pid_t SpawnChild(std::vector<std::string> argv, const ChildOutput& output = {},
                        const std::vector<std::string>* environment = nullptr) {
  std::vector<char*> args;
  for (auto& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  std::vector<std::string> variables = environment ? *environment : std::vector<std::string>{};
  std::vector<char*> envp;
  for (auto& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (output.fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, output.fd, 1);
  } else if (!output.file.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, output.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int error =
      ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environment ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return error == 0 ? pid : -error;
}

}  // namespace vandrel::testing
