#include "desktop/linux/Programs.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "infra/Logger.h"
#include "infra/PrintableText.h"
#include "infra/linux/Spawn.h"

namespace vandrel::desktop::linux_desktop {

Programs::Programs(std::string opener, std::chrono::milliseconds openerWait)
    : opener_(std::move(opener)), openerWait_(openerWait) {}

bool Programs::Launch(const std::string& path) {
  ReapEnded();
  // A relative name would be looked up on PATH; the list only ever gives full paths.
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) {
    Log() << "[AppList] Failed to launch: " << Printable(path) << " (not a full path)";
    return false;
  }
  platform::SpawnOptions options;
  options.newSession = true;
  options.nullInput = true;
  const pid_t pid = platform::Spawn(path, {}, options);
  if (pid < 0) {
    Log() << "[AppList] Failed to launch: " << Printable(path) << " (" << std::strerror(-pid) << ")";
    return false;
  }
  Adopt(pid);
  return true;
}

bool Programs::Open(const std::string& url) {
  ReapEnded();
  if (url.find('\0') != std::string::npos) return false;
  platform::SpawnOptions options;
  options.newSession = true;
  options.nullInput = true;
  const pid_t pid = platform::Spawn(opener_, {url}, options);
  if (pid < 0) {
    Log() << "[CONNECTION] Cannot run " << opener_ << ": " << std::strerror(-pid);
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + openerWait_;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (done < 0) return false;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Adopt(pid);
  return true;
}

void Programs::Adopt(pid_t pid) {
  std::lock_guard lock(mutex_);
  running_.push_back(pid);
}

void Programs::ReapEnded() {
  std::lock_guard lock(mutex_);
  std::erase_if(running_, [](pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) != 0;
  });
}

}  // namespace vandrel::desktop::linux_desktop
