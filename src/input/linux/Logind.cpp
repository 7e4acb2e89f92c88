#include "input/linux/Logind.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace vandrel::logind {
namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kUser = "org.freedesktop.login1.User";
// polkit answers a non-interactive request at once; a hung logind must not
// hold the injection thread for sd-bus's default 25 s.
constexpr std::uint64_t kCallTimeoutUsec = 5'000'000;

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageDeleter {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

// sd-bus keeps the error's texts until it is freed.
class Error {
 public:
  Error() = default;
  ~Error() { sd_bus_error_free(&error_); }
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  sd_bus_error* get() { return &error_; }
  Failure Describe(int result) const {
    if (error_.name) return std::string(error_.name) + ": " + (error_.message ? error_.message : "");
    return std::strerror(-result);
  }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

std::optional<Failure> Open(Bus& bus) {
  sd_bus* raw = nullptr;
  // Honours $DBUS_SYSTEM_BUS_ADDRESS.
  const int result = sd_bus_open_system(&raw);
  if (result < 0) return "cannot connect to the system bus: " + std::string(std::strerror(-result));
  bus.reset(raw);
  // Also bounds the calls that take no timeout of their own (property reads).
  sd_bus_set_method_call_timeout(raw, kCallTimeoutUsec);
  return std::nullopt;
}

// Calls `method` with a message filled by `fill`; the reply goes to `reply` when given.
template <typename Fill>
std::optional<Failure> Call(sd_bus* bus, const char* path, const char* interface, const char* method, Fill&& fill,
                            Message* reply = nullptr) {
  sd_bus_message* raw = nullptr;
  int result = sd_bus_message_new_method_call(bus, &raw, kService, path, interface, method);
  if (result < 0) return "cannot build " + std::string(method) + ": " + std::strerror(-result);
  Message call(raw);
  result = fill(call.get());
  if (result < 0) return "cannot build " + std::string(method) + ": " + std::strerror(-result);
  Error error;
  sd_bus_message* answer = nullptr;
  result = sd_bus_call(bus, call.get(), kCallTimeoutUsec, error.get(), &answer);
  Message owned(answer);
  if (result < 0) return error.Describe(result);
  if (reply) *reply = std::move(owned);
  return std::nullopt;
}

std::optional<Failure> CallManager(const char* method, bool interactive) {
  Bus bus;
  if (auto failure = Open(bus)) return failure;
  return Call(bus.get(), kManagerPath, kManager, method,
              [&](sd_bus_message* m) { return sd_bus_message_append(m, "b", interactive ? 1 : 0); });
}

// The session the user sees: ours when we run inside it; a program started
// as a user service is outside any session, and then it is the user's
// graphical one.
std::optional<Failure> OwnSession(sd_bus* bus, std::string& id) {
  if (const char* fromLogin = std::getenv("XDG_SESSION_ID"); fromLogin && *fromLogin) {
    id = fromLogin;
    return std::nullopt;
  }
  char* session = nullptr;
  if (sd_pid_get_session(0, &session) >= 0 && session) {
    id = session;
    std::free(session);
    return std::nullopt;
  }
  Message reply;
  if (auto failure = Call(
          bus, kManagerPath, kManager, "GetUser",
          [](sd_bus_message* m) { return sd_bus_message_append(m, "u", static_cast<std::uint32_t>(::getuid())); },
          &reply)) {
    return failure;
  }
  const char* userPath = nullptr;
  if (sd_bus_message_read(reply.get(), "o", &userPath) < 0 || !userPath) return Failure("no logind user for us");
  const std::string path = userPath;
  Error error;
  sd_bus_message* property = nullptr;
  int result = sd_bus_get_property(bus, kService, path.c_str(), kUser, "Display", error.get(), &property, "(so)");
  Message owned(property);
  if (result < 0) return error.Describe(result);
  const char* displayId = nullptr;
  const char* displayPath = nullptr;
  result = sd_bus_message_read(owned.get(), "(so)", &displayId, &displayPath);
  if (result < 0 || !displayId || !*displayId) return Failure("no session of this user found");
  id = displayId;
  return std::nullopt;
}

std::optional<Failure> CallWithOwnSession(const char* method) {
  Bus bus;
  if (auto failure = Open(bus)) return failure;
  std::string id;
  if (auto failure = OwnSession(bus.get(), id)) return failure;
  return Call(bus.get(), kManagerPath, kManager, method,
              [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", id.c_str()); });
}

}  // namespace

std::optional<Failure> PowerOff() { return CallManager("PowerOff", false); }
std::optional<Failure> Reboot() { return CallManager("Reboot", false); }
std::optional<Failure> Suspend() { return CallManager("Suspend", false); }
std::optional<Failure> TerminateOwnSession() { return CallWithOwnSession("TerminateSession"); }
std::optional<Failure> LockOwnSession() { return CallWithOwnSession("LockSession"); }

std::optional<Failure> SetBrightness(std::string_view subsystem, std::string_view device, std::uint32_t level) {
  Bus bus;
  if (auto failure = Open(bus)) return failure;
  std::string id;
  if (auto failure = OwnSession(bus.get(), id)) return failure;
  Message reply;
  if (auto failure = Call(
          bus.get(), kManagerPath, kManager, "GetSession",
          [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", id.c_str()); }, &reply)) {
    return failure;
  }
  const char* sessionPath = nullptr;
  if (sd_bus_message_read(reply.get(), "o", &sessionPath) < 0 || !sessionPath) return Failure("no session object");
  const std::string path = sessionPath;
  const std::string subsystemText(subsystem), deviceText(device);
  return Call(bus.get(), path.c_str(), kSession, "SetBrightness", [&](sd_bus_message* m) {
    return sd_bus_message_append(m, "ssu", subsystemText.c_str(), deviceText.c_str(), level);
  });
}

// Sampled five times a second: one connection, and the session's object found once.
struct LockedHintReader::State {
  Bus bus;
  std::string sessionPath;
};

LockedHintReader::LockedHintReader() : state_(std::make_unique<State>()) {}

LockedHintReader::~LockedHintReader() = default;

std::optional<bool> LockedHintReader::Read() {
  constexpr std::uint64_t kReadTimeoutUsec = 1'000'000;
  State& state = *state_;
  if (!state.bus) {
    if (Open(state.bus)) return std::nullopt;
    // Stopping the program waits for a read under way.
    sd_bus_set_method_call_timeout(state.bus.get(), kReadTimeoutUsec);
  }
  const auto drop = [&state] {
    state.bus.reset();
    state.sessionPath.clear();
    return std::nullopt;
  };
  if (state.sessionPath.empty()) {
    std::string id;
    if (OwnSession(state.bus.get(), id)) return drop();
    Message reply;
    if (Call(
            state.bus.get(), kManagerPath, kManager, "GetSession",
            [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", id.c_str()); }, &reply)) {
      return drop();
    }
    const char* path = nullptr;
    if (sd_bus_message_read(reply.get(), "o", &path) < 0 || !path) return drop();
    state.sessionPath = path;
  }
  Error error;
  int locked = 0;
  if (sd_bus_get_property_trivial(state.bus.get(), kService, state.sessionPath.c_str(), kSession, "LockedHint",
                                  error.get(), 'b', &locked) < 0) {
    return drop();
  }
  return locked != 0;
}

std::optional<Failure> Perform(InputManager::SystemAction action) {
  using InputManager::SystemAction;
  switch (action) {
    case SystemAction::kShutdown: return PowerOff();
    case SystemAction::kRestart: return Reboot();
    case SystemAction::kSleep: return Suspend();
    case SystemAction::kLogoff: return TerminateOwnSession();
    case SystemAction::kLock: return LockOwnSession();
    case SystemAction::kWake: break;
  }
  return std::nullopt;
}

}  // namespace vandrel::logind
