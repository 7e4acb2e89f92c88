#include "net/AdbReverse.h"

#include "infra/Logger.h"

namespace vandrel {
namespace {

constexpr int kPhonePort = 6969;

}  // namespace

AdbReverse::AdbReverse(std::uint16_t serverPort, Runner runner)
    : serverPort_(serverPort), runner_(std::move(runner)) {}

bool AdbReverse::Start() {
  const auto status = runner_(FindAdb(), {"reverse", "tcp:" + std::to_string(kPhonePort),
                                          "tcp:" + std::to_string(serverPort_)});
  if (status == 0) {
    Log() << "[ADB:" << kPhonePort << "] Started";
    return true;
  }
  Log() << "[ADB:" << kPhonePort << "] Failed to start";
  return false;
}

bool AdbReverse::Stop() {
  // The removal's own outcome does not matter: the adb server goes anyway.
  runner_(FindAdb(), {"reverse", "--remove", "tcp:" + std::to_string(kPhonePort)});
  const auto status = runner_(FindAdbForKillServer(), {"kill-server"});
  if (status == 0) {
    Log() << "[ADB:" << kPhonePort << "] Stopped";
    return true;
  }
  Log() << "[ADB:" << kPhonePort << "] Failed to stop";
  return false;
}

}  // namespace vandrel
