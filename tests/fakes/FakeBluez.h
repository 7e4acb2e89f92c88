// A fake bluetoothd (fake_bluetoothd.py) on a private bus of its own, meant to
// be made the process's system bus; the test plays the central through its
// control object. Every call waits at most kCallTimeoutUsec.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "CommandOutput.h"
#include "SpawnChild.h"
#include "TempDir.h"
#include "WaitUntil.h"

namespace vandrel::testing {

class FakeBluez {
 public:
  static constexpr std::uint64_t kCallTimeoutUsec = 10'000'000;

  /// Starts a bus and, with `withDaemon`, the fake with `arguments` ("--powered",
  /// "0", "--no-adapter", "--no-le", "--slow", "RegisterApplication=10", "--fail",
  /// "RegisterAdvertisement"); problem() says why not.
  explicit FakeBluez(std::vector<std::string> arguments = {}, bool withDaemon = true) {
    if (std::system("command -v dbus-daemon >/dev/null && /usr/bin/python3 -c "
                    "'import dbus, dbus.mainloop.glib; from gi.repository import GLib' 2>/dev/null") != 0) {
      problem_ = "dbus-daemon, python3-dbus or python3-gi is missing (scripts/install-deps.sh --tests)";
      return;
    }
    const std::string daemon = CommandOutput("dbus-daemon --session --fork --print-address=1 --print-pid=1");
    const auto newline = daemon.find('\n');
    if (newline == std::string::npos) {
      problem_ = "dbus-daemon did not start";
      return;
    }
    address_ = daemon.substr(0, newline);
    busPid_ = std::atoi(daemon.c_str() + newline + 1);
    if (!Connect()) return;
    if (withDaemon) StartFake(std::move(arguments));
  }
  ~FakeBluez() {
    Kill();
    if (bus_) sd_bus_flush_close_unref(bus_);
    bus_ = nullptr;
    KillBus();
  }
  FakeBluez(const FakeBluez&) = delete;
  FakeBluez& operator=(const FakeBluez&) = delete;

  const std::string& problem() const { return problem_; }
  const std::string& address() const { return address_; }
  /// What the fake wrote to its standard output and error.
  std::string Output() const { return ReadBinary(folder_.File("fake.txt")); }

  /// Writes to the registered write characteristic; false on a refusal or failure.
  bool Write(const std::vector<std::uint8_t>& bytes) {
    sd_bus_message* call = nullptr;
    if (NewCall("Write", &call) < 0) return false;
    int r = sd_bus_message_append_array(call, 'y', bytes.data(), bytes.size());
    sd_bus_message* reply = nullptr;
    r = r >= 0 ? Send(call, &reply) : (sd_bus_message_unref(call), r);
    int accepted = 0;
    if (r >= 0) r = sd_bus_message_read(reply, "b", &accepted);
    sd_bus_message_unref(reply);
    return r >= 0 && accepted;
  }
  bool StartNotify() { return Simple("StartNotify"); }
  bool StopNotify() { return Simple("StopNotify"); }
  /// Makes bluetoothd drop the advertisement, as it does when the radio goes.
  bool Release() { return Simple("Release"); }
  bool SetPowered(bool powered) {
    sd_bus_message* call = nullptr;
    if (NewCall("SetPowered", &call) < 0) return false;
    if (sd_bus_message_append(call, "b", powered ? 1 : 0) < 0) {
      sd_bus_message_unref(call);
      return false;
    }
    sd_bus_message* reply = nullptr;
    const int r = Send(call, &reply);
    sd_bus_message_unref(reply);
    return r >= 0;
  }
  /// The values the notify characteristic announced, in order.
  std::vector<std::vector<std::uint8_t>> Notifications() {
    std::vector<std::vector<std::uint8_t>> values;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    if (NewCall("Notifications", &call) < 0 || Send(call, &reply) < 0) return values;
    if (sd_bus_message_enter_container(reply, 'a', "ay") > 0) {
      const void* data = nullptr;
      std::size_t size = 0;
      while (sd_bus_message_read_array(reply, 'y', &data, &size) > 0) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        values.emplace_back(bytes, bytes + size);
      }
    }
    sd_bus_message_unref(reply);
    return values;
  }
  bool WaitForNotifications(std::size_t n) {
    return WaitUntil([&] { return Notifications().size() >= n; }, std::chrono::seconds(20));
  }
  /// How often `method` was called; -1 when the fake does not answer.
  int Count(const std::string& method) {
    sd_bus_message* call = nullptr;
    if (NewCall("Count", &call) < 0) return -1;
    int r = sd_bus_message_append(call, "s", method.c_str());
    sd_bus_message* reply = nullptr;
    r = r >= 0 ? Send(call, &reply) : (sd_bus_message_unref(call), r);
    int count = -1;
    if (r >= 0 && sd_bus_message_read(reply, "i", &count) < 0) count = -1;
    sd_bus_message_unref(reply);
    return r >= 0 ? count : -1;
  }
  bool WaitForCount(const std::string& method, int n) {
    return WaitUntil([&] { return Count(method) >= n; }, std::chrono::seconds(20));
  }

  /// Ends the fake: its names vanish from the bus, which stays.
  void Kill() {
    if (fakePid_ <= 0) return;
    ::kill(fakePid_, SIGKILL);
    ::waitpid(fakePid_, nullptr, 0);
    fakePid_ = -1;
    if (bus_) WaitUntil([&] { return !HasOwner("org.bluez"); }, std::chrono::seconds(10));
  }
  /// Ends the bus itself: every connection to it drops.
  void KillBus() {
    if (busPid_ > 0) ::kill(busPid_, SIGKILL);
    busPid_ = -1;
  }

 private:
  static constexpr const char* kControl = "org.vandrel.FakeBluezControl";

  static std::string Script() {
#ifdef VANDREL_FAKE_BLUETOOTHD
    return VANDREL_FAKE_BLUETOOTHD;
#else
    return (std::filesystem::path(__FILE__).parent_path() / "fake_bluetoothd.py").string();
#endif
  }

  bool Connect() {
    int r = sd_bus_new(&bus_);
    if (r >= 0) r = sd_bus_set_address(bus_, address_.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus_, 1);
    if (r >= 0) r = sd_bus_start(bus_);
    if (r >= 0) return true;
    problem_ = "cannot connect to the private bus " + address_;
    return false;
  }

  void StartFake(std::vector<std::string> arguments) {
    const std::string ready = folder_.File("ready");
    std::vector<std::string> argv = {"/usr/bin/python3", Script(), "--address", address_, "--ready", ready};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const pid_t pid = SpawnChild(std::move(argv), {folder_.File("fake.txt")});
    if (pid <= 0) {
      problem_ = "cannot start the fake bluetoothd";
      return;
    }
    fakePid_ = pid;
    const bool up = WaitUntil(
        [&] {
          int status = 0;
          if (::waitpid(fakePid_, &status, WNOHANG) == fakePid_) {
            fakePid_ = -1;
            return true;
          }
          return std::filesystem::exists(ready);
        },
        std::chrono::seconds(30));
    if (!up || fakePid_ <= 0) problem_ = "the fake bluetoothd did not start: " + Output();
  }

  bool HasOwner(const char* name) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", &error, &reply, "s", name);
    int owned = 0;
    if (r >= 0) r = sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    // A bus that does not answer has no owners either.
    return r >= 0 && owned;
  }

  int NewCall(const char* method, sd_bus_message** call) {
    if (!bus_) return -ENOTCONN;
    return sd_bus_message_new_method_call(bus_, call, kControl, "/control", kControl, method);
  }
  // Sends and frees `call`; the reply, when there is one, is the caller's.
  int Send(sd_bus_message* call, sd_bus_message** reply) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call(bus_, call, kCallTimeoutUsec, &error, reply);
    sd_bus_error_free(&error);
    sd_bus_message_unref(call);
    return r;
  }
  bool Simple(const char* method) {
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    if (NewCall(method, &call) < 0) return false;
    const int r = Send(call, &reply);
    sd_bus_message_unref(reply);
    return r >= 0;
  }

  TempDir folder_;
  std::string problem_;
  std::string address_;
  sd_bus* bus_ = nullptr;
  pid_t busPid_ = -1;
  pid_t fakePid_ = -1;
};

}  // namespace vandrel::testing
