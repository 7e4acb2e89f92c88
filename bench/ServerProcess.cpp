#include "ServerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "RawSession.h"

extern char** environ;

namespace vandrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

// The running server, for the signal watcher thread.
std::atomic<pid_t> gChild{-1};

std::string StatusText(int status) {
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("killed by signal ") + ::strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace

void WatchTerminationSignals(std::function<void()> cleanup) {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signal);
  // Blocked here, so in every thread started later: only the watcher takes them.
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([signals, cleanup = std::move(cleanup)] {
    int signal = 0;
    while (::sigwait(&signals, &signal) != 0) {
    }
    const pid_t child = gChild.exchange(-1);
    if (child > 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
    std::fprintf(stderr, "\nvandrel-bench: stopped by %s\n", ::strsignal(signal));
    if (cleanup) cleanup();
    ::_exit(128 + signal);
  }).detach();
}

ServerProcess::ServerProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                             const Environment& overrides, const std::filesystem::path& errorFile) {
  // Everything the child needs is prepared before fork: between fork and exec
  // only async-signal-safe calls are allowed.
  std::vector<std::string> argStrings{program.string()};
  argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStrings;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view text(*entry);
    bool replaced = false;
    for (const auto& [name, value] : overrides) {
      if (text.size() > name.size() && text.starts_with(name) && text[name.size()] == '=') replaced = true;
    }
    if (!replaced) envStrings.emplace_back(text);
  }
  for (const auto& [name, value] : overrides) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  const int nullFd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const int errFd = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (nullFd < 0 || errFd < 0) {
    if (nullFd >= 0) ::close(nullFd);
    if (errFd >= 0) ::close(errFd);
    throw BenchError("cannot open the server's output files: " + std::string(std::strerror(errno)));
  }

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Dies with the bench (precisely: with the thread that forked, which is main).
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(nullFd, STDIN_FILENO);
    ::dup2(nullFd, STDOUT_FILENO);
    ::dup2(errFd, STDERR_FILENO);
    // Ignored signals and the mask survive exec; the server must see the defaults.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::sigaction(signal, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv.data(), envp.data());
    static constexpr char kFailed[] = "vandrel-bench: cannot execute the server\n";
    [[maybe_unused]] const auto ignored = ::write(STDERR_FILENO, kFailed, sizeof kFailed - 1);
    ::_exit(127);
  }
  const int forkErrno = errno;
  ::close(nullFd);
  ::close(errFd);
  if (pid < 0) throw BenchError("fork: " + std::string(std::strerror(forkErrno)));
  pid_ = pid;
  gChild.store(pid);
}

ServerProcess::~ServerProcess() {
  bool clean = false;
  Stop(std::chrono::seconds(3), clean);
}

void ServerProcess::Reaped(int status) {
  status_ = status;
  gChild.store(-1);
}

bool ServerProcess::Running() {
  if (status_ || pid_ <= 0) return false;
  int status = 0;
  const pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done == pid_) Reaped(status);
  return !status_;
}

std::string ServerProcess::Stop(std::chrono::milliseconds grace, bool& clean) {
  if (Running()) {
    ::kill(pid_, SIGINT);
    const auto deadline = Clock::now() + grace;
    while (Running() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (Running()) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      Reaped(status);
    }
  }
  clean = status_ && WIFEXITED(*status_) && WEXITSTATUS(*status_) == 0;
  return ExitText();
}

std::string ServerProcess::ExitText() const { return status_ ? StatusText(*status_) : "running"; }

ProcessMemory ServerProcess::Memory() const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  if (!status) throw BenchError("cannot read /proc/" + std::to_string(pid_) + "/status");
  ProcessMemory memory;
  bool found = false;
  std::string line;
  while (std::getline(status, line)) {
    // Lines look like "VmRSS:\t    5120 kB".
    const auto number = [&line] { return std::stoull(line.substr(line.find(':') + 1)); };
    if (line.starts_with("VmRSS:")) {
      memory.residentKiB = number();
      found = true;
    } else if (line.starts_with("VmHWM:")) {
      memory.peakResidentKiB = number();
    } else if (line.starts_with("Threads:")) {
      memory.threads = static_cast<unsigned>(number());
    }
  }
  if (!found) throw BenchError("no VmRSS line for process " + std::to_string(pid_));
  return memory;
}

}  // namespace vandrel::bench
