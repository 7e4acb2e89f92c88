// The lock file behind the Linux single-instance lock, apart so that tests can
// plant files in its place.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace vandrel {

enum class LockFileOutcome {
  Locked,         // ours now; `fd` holds the lock
  HeldByAnother,  // a live instance holds it
  Unusable,       // cannot be opened, is not ours or cannot be locked; `problem` says why
};

struct LockFileAttempt {
  LockFileOutcome outcome = LockFileOutcome::Unusable;
  int fd = -1;
  std::string problem;
};

/// In the user's runtime folder, or without one a name of this user's own in /tmp,
/// so that another user's file never stands in the way.
std::string SingleInstanceLockPath(const std::optional<std::string>& runtimeFolder, uid_t uid);

/// Opens `path` without following a symbolic link, checks that it is a plain file
/// owned by `owner` and takes the lock without waiting.
LockFileAttempt LockSingleInstanceFile(const std::string& path, uid_t owner);

}  // namespace vandrel
