// The server under measurement, run as a child process of the bench. It never
// outlives the bench: the destructor stops it, a termination signal to the
// bench kills it (WatchTerminationSignals) and the kernel kills it if the bench dies.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace vandrel::bench {

struct ProcessMemory {
  std::uint64_t residentKiB = 0;
  std::uint64_t peakResidentKiB = 0;
  unsigned threads = 0;
};

class ServerProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;

  /// Starts `program` with `arguments`; `overrides` replace or add environment
  /// variables. Its standard output is discarded (the log file has the same
  /// lines) and its standard error goes to `errorFile`. Throws BenchError.
  ServerProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                const Environment& overrides, const std::filesystem::path& errorFile);
  /// Stops the server if it still runs.
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  pid_t pid() const noexcept { return pid_; }
  /// False once the process has ended (and been reaped).
  bool Running();
  /// SIGINT, then SIGKILL if it has not ended within `grace`. Returns how it
  /// ended, e.g. "exit code 0"; `clean` is set when that was exit code 0.
  std::string Stop(std::chrono::milliseconds grace, bool& clean);
  /// How it ended, once it has; "running" before.
  std::string ExitText() const;

  /// VmRSS, VmHWM and Threads from /proc/PID/status. Throws BenchError.
  ProcessMemory Memory() const;

 private:
  void Reaped(int status);

  pid_t pid_ = -1;
  std::optional<int> status_;
};

/// Blocks SIGINT, SIGTERM and SIGHUP in every thread and starts a thread that,
/// when one of them arrives, kills the running server, runs `cleanup` and ends
/// the bench with exit code 128 + signal. Call it before any other thread starts.
void WatchTerminationSignals(std::function<void()> cleanup);

}  // namespace vandrel::bench
