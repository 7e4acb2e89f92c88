// Programs the phone starts on a Linux desktop: an application by its path,
// and the desktop's opener for an address. Never through a shell.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace vandrel::desktop::linux_desktop {

class Programs {
 public:
  /// `opener` is the program given the address (xdg-open); `openerWait` how
  /// long its exit status is awaited before it counts as started.
  explicit Programs(std::string opener = "xdg-open",
                    std::chrono::milliseconds openerWait = std::chrono::seconds(5));

  /// Starts the program detached (its own session, no terminal); true when it started.
  bool Launch(const std::string& path);
  /// Runs the opener with the address as its one argument; true when it
  /// exited with 0, or still runs after the wait (some openers stay with the
  /// browser they started).
  bool Open(const std::string& url);

 private:
  // Our children that outlived their call; collected when they end, so none
  // stays a zombie for long.
  void Adopt(pid_t pid);
  void ReapEnded();

  const std::string opener_;
  const std::chrono::milliseconds openerWait_;
  std::mutex mutex_;
  std::vector<pid_t> running_;
};

}  // namespace vandrel::desktop::linux_desktop
