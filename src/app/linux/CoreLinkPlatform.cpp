// The lock-screen link on Linux: a SOCK_SEQPACKET Unix socket in the user's
// runtime folder keeps the message boundaries a named pipe has on Windows;
// the secure desktop is logind's locked session.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "app/CoreLink.h"
#include "app/linux/CorePipeClient.h"
#include "infra/Logger.h"
#include "infra/Platform.h"
#include "infra/linux/Spawn.h"
#include "input/linux/Logind.h"

namespace vandrel {
namespace {

constexpr int kSendLimitMs = 2000;

PipeConnectFailure::Kind KindOf(int error) {
  switch (error) {
    case EACCES:
    case EPERM: return PipeConnectFailure::Kind::AccessDenied;
    case ENOENT:
    case ECONNREFUSED: return PipeConnectFailure::Kind::NotFound;
    case EAGAIN: return PipeConnectFailure::Kind::Busy;
    default: return PipeConnectFailure::Kind::Other;
  }
}

// The companion, beside this program. Never waited for by the link; reaped
// here so that one that ended does not linger as a zombie.
class Companion {
 public:
  std::optional<std::uint32_t> Start() {
    const auto exe = platform::ExecutablePath();
    if (!exe) return static_cast<std::uint32_t>(ENOENT);
    const std::string folder = exe->substr(0, exe->find_last_of('/') + 1);
    platform::SpawnOptions options;
    options.newSession = true;
    options.nullInput = true;
    const pid_t pid = platform::Spawn(folder + "vandrel-service", {}, options);
    if (pid < 0) return static_cast<std::uint32_t>(-pid);
    std::lock_guard lock(mutex_);
    pid_ = pid;
    return std::nullopt;
  }
  void Reap() {
    std::lock_guard lock(mutex_);
    if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
  }

 private:
  std::mutex mutex_;
  pid_t pid_ = -1;
};

}  // namespace

std::string CorePipePath(const std::string& name) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime) return std::string(runtime) + "/" + name;
  return "/tmp/" + name + "-" + std::to_string(::getuid());
}

CorePipeClient::CorePipeClient(std::string path) : path_(std::move(path)) {}

CorePipeClient::~CorePipeClient() {
  if (fd_ >= 0) Disconnect();
}

bool CorePipeClient::TryConnect(PipeConnectFailure& failure) {
  if (fd_ >= 0) Close();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) {
    failure = {static_cast<std::uint32_t>(ENAMETOOLONG), PipeConnectFailure::Kind::Other};
    return false;
  }
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    failure = {static_cast<std::uint32_t>(error), KindOf(error)};
    return false;
  }
  fd_ = fd;
  Log() << "[IPC] Connected to pipe: " << path_;
  return true;
}

bool CorePipeClient::Send(const std::uint8_t* bytes, std::size_t length) {
  if (fd_ < 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendLimitMs);
  for (;;) {
    const ssize_t written = ::send(fd_, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (written >= 0) {
      LogSendOk(static_cast<std::size_t>(written), length);
      return true;
    }
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EAGAIN && error != EWOULDBLOCK) {
      Log() << "[IPC] Send: FAILED error=" << error;
      return false;
    }
    // The companion's queue is full: it gets until the limit to read.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd waiting{fd_, POLLOUT, 0};
    if (left.count() <= 0 || ::poll(&waiting, 1, static_cast<int>(left.count())) == 0) {
      Log() << "[IPC] Send: TIMEOUT (server not reading), size=" << length;
      return false;
    }
  }
}

void CorePipeClient::Disconnect() {
  Close();
  Log() << "[IPC] Disconnected from pipe";
}

void CorePipeClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

CoreLink::Platform PlatformCoreLink() {
  auto companion = std::make_shared<Companion>();
  auto lockedHint = std::make_shared<logind::LockedHintReader>();
  CoreLink::Platform platform;
  platform.makePipe = [](const std::string& name) { return std::make_unique<CorePipeClient>(CorePipePath(name)); };
  // Sampled on the monitor thread only. No logind: never locked.
  platform.secureDesktopActive = [companion, lockedHint] {
    companion->Reap();
    return lockedHint->Read().value_or(false);
  };
  platform.startCompanion = [companion] { return companion->Start(); };
  return platform;
}

}  // namespace vandrel
