#include "infra/LogLimiter.h"

namespace vandrel {

LogStatement& operator<<(LogStatement& statement, const LogPermit& permit) {
  if (permit.more > 0) statement << " (" << permit.more << " more)";
  return statement;
}

LogPermit LogLimiter::Next(Clock::time_point now) {
  const bool quiet = seen_ && now - lastSeen_ >= interval_;
  seen_ = true;
  lastSeen_ = now;
  if (quiet) {
    // A new episode: this line also settles what the last one left out.
    left_ = burst_;
    const std::uint64_t more = suppressed_;
    suppressed_ = 0;
    if (left_ > 0) --left_;
    lastLine_ = now;
    return {true, more};
  }
  if (left_ > 0) {
    --left_;
    lastLine_ = now;
    return {true, 0};
  }
  if (now - lastLine_ >= interval_) {
    const std::uint64_t more = suppressed_;
    suppressed_ = 0;
    lastLine_ = now;
    return {true, more};
  }
  ++suppressed_;
  return {false, 0};
}

}  // namespace vandrel
