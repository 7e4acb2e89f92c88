// Starting another program on Linux: directly, never through a shell, and with
// default signal handling whatever the calling thread blocks.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace vandrel::platform {

struct SpawnOptions {
  std::string workingFolder;   // empty: ours
  bool newSession = false;     // detach from our session and terminal
  bool silenceOutput = false;  // standard output and error to /dev/null
  bool nullInput = false;      // standard input from /dev/null, never our terminal
  int inputFd = -1;            // standard input from this descriptor instead
  // "NAME=value" items in place of our environment.
  const std::vector<std::string>* environment = nullptr;
};

/// Starts `program` (looked up on PATH when it has no slash) with `args`.
/// Returns the child's process id, or minus the error number. A child gets
/// the open-file limit the program was started with, not the raised one.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args, const SpawnOptions& options = {});

/// Starts `program` silenced and in a session of its own, its standard input a
/// memory file holding `input`, for programs that read it to the end (wl-copy).
/// The input never waits on the child. Returns as Spawn does.
pid_t SpawnWithInput(const std::string& program, const std::vector<std::string>& args, std::string_view input,
                     const std::vector<std::string>* environment = nullptr);

/// The program file a running process was started from ("" when it cannot be
/// read), without the " (deleted)" of one replaced since.
std::string ProgramPathOf(pid_t pid);

/// Raises the soft open-file limit to the hard one, for many sessions at
/// once. Returns the new limit, 0 when it stays as it was.
unsigned long long RaiseOpenFileLimit();

}  // namespace vandrel::platform
