// The window tests' main: starts wxWidgets when there is a display to open,
// then runs the tests, or with --screenshots DIR writes the README pictures.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/init.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "GuiTest.h"
#include "infra/Logger.h"

namespace vandrel::testing {

int WriteScreenshots(const std::string& folder);

namespace {

bool g_guiReady = false;
std::string g_skipReason = "$DISPLAY is not set: the window tests need an X display (the test script starts Xvfb)";

class GuiTestApp : public wxApp {
 public:
  bool OnInit() override { return true; }
};

}  // namespace

bool GuiReady() { return g_guiReady; }
const std::string& GuiSkipReason() { return g_skipReason; }

void ProcessPendingEvents() {
  // Each round may queue more (a handler that logs); a bound keeps a bug from hanging the run.
  for (int round = 0; round < 100 && wxTheApp; ++round) {
    wxTheApp->ProcessPendingEvents();
    if (!wxTheApp->HasPendingEvents()) break;
  }
}

}  // namespace vandrel::testing

wxIMPLEMENT_APP_NO_MAIN(vandrel::testing::GuiTestApp);

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::string screenshots;
  if (argc == 3 && std::strcmp(argv[1], "--screenshots") == 0) {
    screenshots = argv[2];
    argc = 1;
  }

  // Lines the window logs go to a file of their own, away from the program's log.
  vandrel::Logger::Create((std::filesystem::temp_directory_path() / "vandrel-gui-tests.log").string());

  const char* display = std::getenv("DISPLAY");
  bool started = false;
  if (display && *display) {
    started = wxEntryStart(argc, argv);
    if (started && wxTheApp && wxTheApp->CallOnInit()) {
      vandrel::testing::g_guiReady = true;
      wxInitAllImageHandlers();
      // The tests make and drop frames with no main loop to end.
      static_cast<wxApp*>(wxTheApp)->SetExitOnFrameDelete(false);
    } else {
      vandrel::testing::g_skipReason = std::string("wxWidgets could not start on display ") + display;
    }
  }

  int result = 0;
  if (!screenshots.empty()) {
    result = vandrel::testing::GuiReady() ? vandrel::testing::WriteScreenshots(screenshots) : 1;
    if (!vandrel::testing::GuiReady()) std::fprintf(stderr, "%s\n", vandrel::testing::GuiSkipReason().c_str());
  } else {
    result = RUN_ALL_TESTS();
  }

  if (started) {
    vandrel::SetLogLineSink(nullptr);
    if (wxTheApp) wxTheApp->OnExit();
    wxEntryCleanup();
  }
  return result;
}
