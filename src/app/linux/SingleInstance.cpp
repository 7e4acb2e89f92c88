// A flock on a file in the user's runtime folder; the kernel drops it when the
// process ends, however it ends. Only a lock held by a live instance stops the
// start: a file we cannot use is logged and the program runs unguarded.
#include "app/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "app/linux/SingleInstanceFile.h"
#include "infra/Logger.h"
#include "infra/Platform.h"

namespace vandrel {
namespace {

class FileLock final : public SingleInstance {
 public:
  explicit FileLock(int fd) : fd_(fd) {}
  ~FileLock() override { Release(); }
  void Release() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Stands in when the lock file cannot be used; guards nothing.
class NoLock final : public SingleInstance {
 public:
  void Release() override {}
};

std::string Problem(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

std::string SingleInstanceLockPath(const std::optional<std::string>& runtimeFolder, uid_t uid) {
  if (runtimeFolder) return *runtimeFolder + "/Vandrel_SingleInstance_Mutex";
  return "/tmp/Vandrel_SingleInstance_Mutex-" + std::to_string(uid);
}

LockFileAttempt LockSingleInstanceFile(const std::string& path, uid_t owner) {
  LockFileAttempt attempt;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    attempt.problem = Problem("cannot open");
    return attempt;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    attempt.problem = Problem("cannot examine");
  } else if (!S_ISREG(info.st_mode)) {
    attempt.problem = "not a plain file";
  } else if (info.st_uid != owner) {
    // Checked before locking: a lock on someone else's file says nothing about us.
    attempt.problem = "owned by user " + std::to_string(info.st_uid);
  } else if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    attempt.outcome = LockFileOutcome::Locked;
    attempt.fd = fd;
    return attempt;
  } else if (errno == EWOULDBLOCK) {
    attempt.outcome = LockFileOutcome::HeldByAnother;
  } else {
    attempt.problem = Problem("cannot lock");
  }
  ::close(fd);
  return attempt;
}

std::unique_ptr<SingleInstance> AcquireSingleInstance() {
  const std::string path = SingleInstanceLockPath(platform::Environment("XDG_RUNTIME_DIR"), ::geteuid());
  LockFileAttempt attempt = LockSingleInstanceFile(path, ::geteuid());
  switch (attempt.outcome) {
    case LockFileOutcome::Locked:
      return std::make_unique<FileLock>(attempt.fd);
    case LockFileOutcome::HeldByAnother:
      return nullptr;
    case LockFileOutcome::Unusable:
      break;
  }
  Log() << "[VANDREL] Single-instance lock " << path << " unusable (" << attempt.problem
        << "); running without it";
  return std::make_unique<NoLock>();
}

}  // namespace vandrel
