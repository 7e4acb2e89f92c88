// Process entry: options, the logger, then the tray program, or the headless
// one where no window can be shown.
#include <cstdio>
#include <string>
#include <vector>

#include "Version.h"
#include "app/HeadlessApp.h"
#include "app/Options.h"
#include "app/Relaunch.h"
#include "app/TerminationSignal.h"
#include "infra/Logger.h"
#if VANDREL_HAVE_GUI
#include "app/VandrelApp.h"
#endif
#ifdef _WIN32
#include <windows.h>
#endif
#ifdef __linux__
#include "infra/linux/Spawn.h"
#endif

namespace {

#ifdef _WIN32
// The windowed build has no standard streams when started from a console:
// borrow that console, so that --help, --version and the headless log show
// there. Streams redirected to a file or pipe are kept; from Explorer there is
// no console to borrow and none is opened.
void UseParentConsole() {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out && out != INVALID_HANDLE_VALUE && ::GetFileType(out) != FILE_TYPE_UNKNOWN) return;
  if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return;
  std::freopen("CONOUT$", "w", stdout);
  std::freopen("CONOUT$", "w", stderr);
}
#else
void UseParentConsole() {}
#endif

#ifdef __linux__
// Every phone session and every connection still owing its hello holds a
// descriptor; the soft limit programs usually start with (1024) is far below
// what the server carries, and the hard limit is what the system allows us.
void RaiseOpenFileLimit() {
  if (const auto limit = vandrel::platform::RaiseOpenFileLimit()) {
    vandrel::Log() << "[VANDREL] Open-file limit: " << limit;
  }
}
#else
void RaiseOpenFileLimit() {}
#endif

}  // namespace

int main(int argc, char** argv) {
  UseParentConsole();
  vandrel::PrepareTerminationSignals();
  std::string error;
  const auto options = vandrel::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!options) {
    std::fprintf(stderr, "vandrel: %s\n", error.c_str());
    return 2;
  }
  if (options->showHelp) {
    std::fputs(vandrel::UsageText().c_str(), stdout);
    return 0;
  }
  if (options->showVersion) {
    std::printf("vandrel %s\n", vandrel::kVersion);
    return 0;
  }
  bool headless = options->headless;
#if VANDREL_HAVE_GUI
  if (!headless && !vandrel::HasUsableDisplay()) {
    std::fprintf(stderr, "vandrel: no usable display; running headless\n");
    headless = true;
  }
#else
  if (!headless) std::fprintf(stderr, "vandrel: this build has no tray window; running headless\n");
  headless = true;
#endif
  vandrel::Logger::Create();
  vandrel::Log() << "[VANDREL] Version " << vandrel::kVersion;
  RaiseOpenFileLimit();
#if VANDREL_HAVE_GUI
  if (!headless) return vandrel::RunTrayProgram(*options, argc, argv);
#endif
  vandrel::HeadlessApp app(*options);
  return app.Run();
}
