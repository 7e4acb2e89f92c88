// Starting another program on Linux: directly, never through a shell, and with
// default signal handling whatever the calling thread blocks.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vandrel::platform {

struct SpawnOptions {
  std::string workingFolder;   // empty: ours
  bool newSession = false;     // detach from our session and terminal
  bool silenceOutput = false;  // standard output and error to /dev/null
  bool nullInput = false;      // standard input from /dev/null, never our terminal
};

/// Starts `program` (looked up on PATH when it has no slash) with `args`.
/// Returns the child's process id, or minus the error number. A child gets
/// the open-file limit the program was started with, not the raised one.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args, const SpawnOptions& options = {});

/// Raises the soft open-file limit to the hard one, for many sessions at
/// once. Returns the new limit, 0 when it stays as it was.
unsigned long long RaiseOpenFileLimit();

}  // namespace vandrel::platform
