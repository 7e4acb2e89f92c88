#include "ble/linux/BlueZBus.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <utility>

namespace vandrel::bluez {
namespace {

constexpr const char* kBluez = "org.bluez";
// sd-bus's own time-out stays behind ours, so that ours is the one that fires.
constexpr std::uint64_t kSdBusMarginUsec = 1'000'000;

struct Pending {
  bool done = false;
  CallOutcome outcome;
};

int OnReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* pending = static_cast<Pending*>(userdata);
  pending->done = true;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    pending->outcome.kind = CallOutcome::Kind::Error;
    pending->outcome.errorName = error->name ? error->name : "";
    pending->outcome.errorMessage = error->message ? error->message : "";
  } else {
    pending->outcome.kind = CallOutcome::Kind::Reply;
    pending->outcome.reply.reset(sd_bus_message_ref(reply));
  }
  return 0;
}

bool IsDisconnect(int code) { return code == -ENOTCONN || code == -ECONNRESET || code == -EPIPE; }

// Building a message fails only on a closed connection or on our own mistake.
void Check(int result, const char* what) {
  if (result >= 0) return;
  if (IsDisconnect(result)) throw BusLost(result);
  throw std::runtime_error(std::string(what) + ": " + std::strerror(-result));
}

}  // namespace

BusLost::BusLost(int code) : std::runtime_error(std::strerror(-code)), code_(code) {}

BusLoop::BusLoop(sd_bus* bus, int wakeFd, const std::atomic<bool>& stopRequested, std::function<void()> onWake)
    : bus_(bus), wakeFd_(wakeFd), stopRequested_(stopRequested), onWake_(std::move(onWake)) {}

CallOutcome BusLoop::Call(const char* path, const char* interface, const char* method, Arguments arguments,
                          std::chrono::milliseconds limit, bool stoppable) {
  sd_bus_message* raw = nullptr;
  Check(sd_bus_message_new_method_call(bus_, &raw, kBluez, path, interface, method), method);
  Message call(raw);
  if (arguments.object && arguments.options) {
    Check(sd_bus_message_append(call.get(), "oa{sv}", arguments.object, 0), method);
  } else if (arguments.object) {
    Check(sd_bus_message_append(call.get(), "o", arguments.object), method);
  }

  Pending pending;
  sd_bus_slot* rawSlot = nullptr;
  const auto usec = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(limit).count());
  Check(sd_bus_call_async(bus_, &rawSlot, call.get(), OnReply, &pending, usec + kSdBusMarginUsec), method);
  // Dropping the slot cancels the call; a late reply is then discarded.
  Slot slot(rawSlot);
  const End end = Run(Clock::now() + limit, &pending.done, stoppable);
  if (end == End::Done) return std::move(pending.outcome);
  CallOutcome outcome;
  outcome.kind = end == End::TimedOut ? CallOutcome::Kind::TimedOut : CallOutcome::Kind::Stopped;
  return outcome;
}

void BusLoop::Serve() { Run(std::nullopt, nullptr, true); }

BusLoop::End BusLoop::Run(std::optional<Clock::time_point> deadline, const bool* done, bool stoppable) {
  for (;;) {
    std::uint64_t wakes = 0;
    while (::read(wakeFd_, &wakes, sizeof wakes) > 0) {
    }
    if (onWake_) onWake_();
    if (stoppable && stopRequested_.load()) return End::Stopped;
    const int processed = sd_bus_process(bus_, nullptr);
    if (processed < 0) throw BusLost(processed);
    if (done && *done) return End::Done;
    if (processed > 0) continue;
    if (deadline && Clock::now() >= *deadline) return End::TimedOut;

    const int events = sd_bus_get_events(bus_);
    if (events < 0) throw BusLost(events);
    const int fd = sd_bus_get_fd(bus_);
    if (fd < 0) throw BusLost(fd);
    pollfd fds[2] = {{fd, static_cast<short>(events), 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, PollTimeoutMs(deadline)) < 0 && errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "poll on the system bus");
    }
  }
}

int BusLoop::PollTimeoutMs(std::optional<Clock::time_point> deadline) const {
  std::int64_t ms = -1;
  if (deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    ms = std::max<std::int64_t>(left, 0);
  }
  std::uint64_t busTimeout = 0;
  // sd-bus's own timers (call time-outs, authentication) in absolute CLOCK_MONOTONIC microseconds.
  if (sd_bus_get_timeout(bus_, &busTimeout) >= 0 && busTimeout != UINT64_MAX) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t nowUsec =
        static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
    const auto busMs = static_cast<std::int64_t>(busTimeout > nowUsec ? (busTimeout - nowUsec + 999) / 1000 : 0);
    ms = ms < 0 ? busMs : std::min(ms, busMs);
  }
  return static_cast<int>(std::min<std::int64_t>(ms, 60'000));
}

}  // namespace vandrel::bluez
