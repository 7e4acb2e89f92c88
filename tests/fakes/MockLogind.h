// systemd-logind as python3-dbusmock's template on a private bus of its own,
// made the process's system bus: whatever the code under test asks logind
// (power off, lock, ...) lands in the mock's call log, never on this machine.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "CommandOutput.h"
#include "TempDir.h"

namespace vandrel::testing {

class MockLogind {
 public:
  /// Starts the bus and the mock and adds session "c1" of this user; problem() says why not.
  MockLogind() {
    if (std::system("command -v dbus-daemon >/dev/null && /usr/bin/python3 -c 'import dbusmock' 2>/dev/null") != 0) {
      problem_ = "dbus-daemon or python3-dbusmock is missing (scripts/install-deps.sh --tests)";
      return;
    }
    const std::string daemon = CommandOutput("dbus-daemon --session --fork --print-address=1 --print-pid=1");
    const auto newline = daemon.find('\n');
    if (newline == std::string::npos) {
      problem_ = "dbus-daemon did not start";
      return;
    }
    address_ = daemon.substr(0, newline);
    daemonPid_ = std::atoi(daemon.c_str() + newline + 1);
    StartMock();
  }
  ~MockLogind() {
    StopMock();
    if (daemonPid_ > 0) ::kill(daemonPid_, SIGTERM);
  }
  MockLogind(const MockLogind&) = delete;
  MockLogind& operator=(const MockLogind&) = delete;

  const std::string& problem() const { return problem_; }
  const std::string& address() const { return address_; }
  /// The methods called so far, one per line: "PowerOff False", "LockSession \"c1\"", ...
  std::string Calls() const { return ReadBinary(callLog_); }
  bool WaitForCall(const std::string& call) const {
    for (int i = 0; i < 500; ++i) {
      if (Calls().find(call) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  /// Replaces a method of `path` (interface `interface`) by Python code.
  bool Replace(const std::string& path, const std::string& interface, const std::string& method,
               const std::string& inSignature, const std::string& code, const std::string& outSignature = "") {
    return Python("o = b.get_object('org.freedesktop.login1', '" + path + "'); o.AddMethod('" + interface + "', '" +
                  method + "', '" + inSignature + "', '" + outSignature + "', \"" + code +
                  "\", dbus_interface='org.freedesktop.DBus.Mock')");
  }
  /// Sets a property of `path` to a Python value.
  bool SetProperty(const std::string& path, const std::string& interface, const std::string& name,
                   const std::string& value) {
    return Python("o = b.get_object('org.freedesktop.login1', '" + path + "'); o.Set('" + interface + "', '" + name +
                  "', " + value + ", dbus_interface='org.freedesktop.DBus.Properties')");
  }
  /// Makes logind's name vanish from the bus, as on a machine without it.
  void StopMock() {
    if (mockPid_ > 0) {
      ::kill(mockPid_, SIGTERM);
      Python("import time\nfor i in range(250):\n  if not b.name_has_owner('org.freedesktop.login1'): break\n"
             "  time.sleep(0.02)");
    }
    mockPid_ = -1;
  }

 private:
  void StartMock() {
    callLog_ = folder_.File("calls.log");
    const std::string started =
        CommandOutput("DBUS_SYSTEM_BUS_ADDRESS='" + address_ + "' /usr/bin/python3 -m dbusmock --template logind -l '" +
               callLog_ + "' >'" + folder_.File("mock.txt") + "' 2>&1 & echo $!");
    mockPid_ = std::atoi(started.c_str());
    const bool up = Python(
        "import time\nfor i in range(500):\n  if b.name_has_owner('org.freedesktop.login1'): break\n"
        "  time.sleep(0.02)\n"
        "m = b.get_object('org.freedesktop.login1', '/org/freedesktop/login1')\n"
        "m.AddSession('c1', 'seat0', dbus.UInt32(os.getuid()), 'user', True, dbus_interface='org.freedesktop.DBus.Mock')");
    if (!up) problem_ = "the logind mock did not start: " + ReadBinary(folder_.File("mock.txt"));
  }

  // Runs `code` with `b` connected to the private bus; whether it succeeded.
  bool Python(const std::string& code) const {
    const std::string script = folder_.File("step.py");
    WriteBinary(script, "import dbus, os\nb = dbus.bus.BusConnection('" + address_ + "')\n" + code + "\n");
    return std::system(("/usr/bin/python3 '" + script + "' >>'" + folder_.File("python.txt") + "' 2>&1").c_str()) == 0;
  }

  TempDir folder_;
  std::string problem_;
  std::string address_;
  std::string callLog_;
  pid_t daemonPid_ = -1;
  pid_t mockPid_ = -1;
};

}  // namespace vandrel::testing
