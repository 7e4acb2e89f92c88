// Runs one brightness step in a process of its own, so that the test can
// choose the libddcutil it loads through LD_LIBRARY_PATH.
// Usage: vandrel_brightness_probe up|down BACKLIGHT_FOLDER LIBRARY...
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "input/linux/DisplayBrightnessDetail.h"

int main(int argc, char** argv) {
  // A backlight step goes to logind; never let a test reach the machine's own bus.
  const char* bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (argc < 3 || !bus || !*bus) {
    std::fprintf(stderr, "usage: DBUS_SYSTEM_BUS_ADDRESS=... %s up|down BACKLIGHT_FOLDER LIBRARY...\n", argv[0]);
    return 2;
  }
  const bool up = std::string(argv[1]) == "up";
  const std::vector<std::string> names(argv + 3, argv + argc);
  try {
    const std::string result = vandrel::InputManager::detail::StepDisplayBrightness(up, names, argv[2]);
    std::printf("result: '%s'\n", result.c_str());
  } catch (const std::exception& e) {
    std::printf("exception: %s\n", e.what());
    return 1;
  }
  return 0;
}
