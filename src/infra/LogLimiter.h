// Keeps a log line that a peer can trigger at will from flooding the log: the
// first few occurrences are written in full, then at most one line per
// interval, carrying the count of those left out (" (N more)").
#pragma once

#include <chrono>
#include <cstdint>
#include <utility>

#include "infra/Logger.h"

namespace vandrel {

/// What to do with one occurrence. True when its line is to be written; then
/// `more` occurrences were left out since the previous line.
struct LogPermit {
  bool write = false;
  std::uint64_t more = 0;
  explicit operator bool() const { return write; }
};

/// Writes " (N more)" after a line that stands for left-out occurrences too, nothing otherwise.
LogStatement& operator<<(LogStatement& statement, const LogPermit& permit);
inline LogStatement&& operator<<(LogStatement&& statement, const LogPermit& permit) {
  statement << permit;
  return std::move(statement);
}

/// Not thread-safe: each limiter belongs to one thread or is used under its owner's lock.
class LogLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LogLimiter(std::uint32_t burst = 3, Clock::duration interval = std::chrono::seconds(5))
      : burst_(burst), interval_(interval), left_(burst) {}

  /// Decides for one occurrence happening at `now`. After `interval` without
  /// any occurrence the next ones are written in full again.
  LogPermit Next(Clock::time_point now = Clock::now());
  /// Occurrences left out and not yet reported by a line.
  std::uint64_t Pending() const { return suppressed_; }

 private:
  std::uint32_t burst_;
  Clock::duration interval_;
  std::uint32_t left_;
  std::uint64_t suppressed_ = 0;
  Clock::time_point lastLine_{};
  Clock::time_point lastSeen_{};
  bool seen_ = false;
};

}  // namespace vandrel
