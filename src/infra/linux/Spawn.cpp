#include "infra/linux/Spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <limits.h>
#include <unistd.h>

#include <mutex>

extern char** environ;

namespace vandrel::platform {
namespace {

// The limits from before the raise; none when the program did not raise it.
std::mutex g_limitMutex;
bool g_limitRaised = false;
rlimit g_startLimit{};
rlimit g_raisedLimit{};

// The spawned child inherits the soft limit at the moment it is made, and
// many programs do not expect a huge one (select, or closing every possible
// descriptor at start). So the limit goes down around the spawn, if the
// descriptors in use leave room enough that nothing opened meanwhile can
// fail for it; otherwise the child keeps the raised limit.
class StartLimitForChild {
 public:
  StartLimitForChild() : lock_(g_limitMutex) {
    if (!g_limitRaised) return;
    const int probe = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
    if (probe < 0) return;
    ::close(probe);
    if (static_cast<rlim_t>(probe) >= g_startLimit.rlim_cur / 2) return;
    lowered_ = ::setrlimit(RLIMIT_NOFILE, &g_startLimit) == 0;
  }
  ~StartLimitForChild() {
    if (lowered_) ::setrlimit(RLIMIT_NOFILE, &g_raisedLimit);
  }
  StartLimitForChild(const StartLimitForChild&) = delete;
  StartLimitForChild& operator=(const StartLimitForChild&) = delete;

 private:
  std::lock_guard<std::mutex> lock_;
  bool lowered_ = false;
};

// A file rather than a pipe: the child reads it at its own pace, and we need
// neither a writer thread nor a pipe large enough for the whole text.
int InputFile(std::string_view input) {
  const int fd = ::memfd_create("vandrel-input", MFD_CLOEXEC);
  if (fd < 0) return -1;
  std::size_t written = 0;
  while (written < input.size()) {
    const ssize_t n = ::write(fd, input.data() + written, input.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  if (written < input.size() || ::lseek(fd, 0, SEEK_SET) != 0) {
    const int error = errno ? errno : EIO;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace

unsigned long long RaiseOpenFileLimit() {
  std::lock_guard lock(g_limitMutex);
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return 0;
  const rlimit start = limit;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (!g_limitRaised) g_startLimit = start;
  g_limitRaised = true;
  g_raisedLimit = limit;
  return static_cast<unsigned long long>(limit.rlim_cur);
}

pid_t Spawn(const std::string& program, const std::vector<std::string>& args, const SpawnOptions& options) {
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (auto& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!options.workingFolder.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.workingFolder.c_str());
  if (options.inputFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, options.inputFd, 0);
  } else if (options.nullInput) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (options.silenceOutput) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  // Our sockets are not opened close-on-exec: a child that kept the listening
  // socket would hold the port after we exit.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  short flags = POSIX_SPAWN_SETSIGMASK;
  if (options.newSession) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&attr, flags);

  std::vector<char*> variables;
  if (options.environment) {
    for (const auto& variable : *options.environment) variables.push_back(const_cast<char*>(variable.c_str()));
    variables.push_back(nullptr);
  }

  pid_t pid = -1;
  int error = 0;
  {
    const StartLimitForChild startLimit;
    error = ::posix_spawnp(&pid, program.c_str(), &actions, &attr, pointers.data(),
                           options.environment ? variables.data() : environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return error ? -error : pid;
}

pid_t SpawnWithInput(const std::string& program, const std::vector<std::string>& args, std::string_view input,
                     const std::vector<std::string>* environment) {
  const int fd = InputFile(input);
  if (fd < 0) return -errno;
  SpawnOptions options;
  options.newSession = true;
  options.silenceOutput = true;
  options.inputFd = fd;
  options.environment = environment;
  const pid_t pid = Spawn(program, args, options);
  ::close(fd);
  return pid;
}

std::string ProgramPathOf(pid_t pid) {
  if (pid <= 0) return {};
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  char target[PATH_MAX];
  const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return {};
  std::string path(target, static_cast<std::size_t>(length));
  // A program replaced since it started (an update) still names its program.
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() && path.ends_with(deleted)) path.resize(path.size() - deleted.size());
  return path;
}

}  // namespace vandrel::platform
