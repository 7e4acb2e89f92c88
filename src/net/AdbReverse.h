// Lets a phone on a USB cable reach this PC: adb maps the phone's own TCP
// port 6969 onto the PC's server port.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vandrel {

class AdbReverse {
 public:
  /// Runs a program with arguments and waits; the exit status, or nothing when
  /// it could not be started or did not finish in time.
  using Runner = std::function<std::optional<int>(const std::string& program, const std::vector<std::string>& args)>;

  /// `serverPort` is where this PC listens; the phone always uses 6969.
  explicit AdbReverse(std::uint16_t serverPort, Runner runner = RunProgram);

  /// adb reverse tcp:6969 tcp:PORT. True when adb reported success.
  bool Start();
  /// adb reverse --remove tcp:6969, then adb kill-server; the second decides.
  bool Stop();

  /// Starts the program directly (no shell, no console window on Windows) and
  /// waits for it; one that runs for 20 seconds is killed.
  static std::optional<int> RunProgram(const std::string& program, const std::vector<std::string>& args);

  /// adb beside the executable, else "adb" to be found on PATH.
  static std::string FindAdb();
  /// The adb that stops the adb server: in an "adb" folder beside the
  /// executable when there is one, else the same as FindAdb.
  static std::string FindAdbForKillServer();

 private:
  std::uint16_t serverPort_;
  Runner runner_;
};

}  // namespace vandrel
