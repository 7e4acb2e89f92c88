// Process entry: options, the logger, then the program. The tray window is not
// part of this build yet, so the program always runs headless.
#include <cstdio>
#include <string>
#include <vector>

#include "Version.h"
#include "app/HeadlessApp.h"
#include "app/Options.h"
#include "app/TerminationSignal.h"
#include "infra/Logger.h"

int main(int argc, char** argv) {
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
  if (!options->headless) {
    std::fprintf(stderr, "vandrel: this build has no tray window yet; running headless\n");
  }
  vandrel::Logger::Create();
  vandrel::Log() << "[VANDREL] Version " << vandrel::kVersion;
  vandrel::HeadlessApp app(*options);
  return app.Run();
}
