#include "infra/linux/Spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
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
  if (options.nullInput) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
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

  pid_t pid = -1;
  int error = 0;
  {
    const StartLimitForChild startLimit;
    error = ::posix_spawnp(&pid, program.c_str(), &actions, &attr, pointers.data(), environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return error ? -error : pid;
}

}  // namespace vandrel::platform
