// The bus thread's side of sd-bus: owning handles, and a loop that keeps
// serving incoming calls while a call of ours waits for its reply, so that
// bluetoothd can read our objects in the middle of a registration.
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace vandrel::bluez {

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageDeleter {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct SlotDeleter {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;
using Slot = std::unique_ptr<sd_bus_slot, SlotDeleter>;

/// The connection to the bus dropped; `code` is sd-bus's negative errno.
class BusLost : public std::runtime_error {
 public:
  explicit BusLost(int code);
  int code() const { return code_; }

 private:
  int code_;
};

struct CallOutcome {
  enum class Kind { Reply, Error, TimedOut, Stopped };
  Kind kind = Kind::Stopped;
  Message reply;
  std::string errorName;
  std::string errorMessage;
};

class BusLoop {
 public:
  using Clock = std::chrono::steady_clock;

  /// `onWake` runs on every turn of the loop, after a wake-up through `wakeFd`.
  BusLoop(sd_bus* bus, int wakeFd, const std::atomic<bool>& stopRequested, std::function<void()> onWake);

  /// What a call carries: nothing, (o), or (o, a{sv} {}).
  struct Arguments {
    const char* object = nullptr;
    bool options = false;
  };

  /// Calls `method` of org.bluez, serving the bus until the reply, `limit`
  /// or (when `stoppable`) stop. A pending call is cancelled. Throws BusLost.
  CallOutcome Call(const char* path, const char* interface, const char* method, Arguments arguments,
                   std::chrono::milliseconds limit, bool stoppable);
  /// Serves the bus until stop. Throws BusLost.
  void Serve();

 private:
  enum class End { Done, TimedOut, Stopped };
  End Run(std::optional<Clock::time_point> deadline, const bool* done, bool stoppable);
  int PollTimeoutMs(std::optional<Clock::time_point> deadline) const;

  sd_bus* bus_;
  int wakeFd_;
  const std::atomic<bool>& stopRequested_;
  std::function<void()> onWake_;
};

}  // namespace vandrel::bluez
