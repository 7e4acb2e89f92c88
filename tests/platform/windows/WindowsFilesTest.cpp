#include <gtest/gtest.h>

#include "FakeAutoStart.h"
#include "TempDir.h"
#include "infra/Logger.h"
#include "infra/Platform.h"
#include "infra/Settings.h"

namespace vandrel {
namespace {

using testing::ReadBinary;
using testing::TempDir;

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(WindowsFiles, PlacesFollowTheExecutableAndTheRoamingFolder) {
  const std::string exe = platform::ExecutablePath().value();
  EXPECT_EQ(DefaultLogFilePath(), exe.substr(0, exe.find_last_of('\\')) + "\\vandrel.log");
  EXPECT_TRUE(EndsWith(DefaultSettingsFilePath(), "\\Vandrel\\settings.ini")) << DefaultSettingsFilePath();
  EXPECT_NE(DefaultSettingsFilePath().find(':'), std::string::npos);
}

TEST(WindowsFiles, LinesEndInCrLf) {
  TempDir dir;
  const auto log = dir.File("vandrel.log");
  {
    Logger logger(log);
    ::testing::internal::CaptureStdout();
    LogStatement(&logger) << "one";
    ::testing::internal::GetCapturedStdout();
  }
  const std::string text = ReadBinary(log);
  EXPECT_EQ(text.substr(0, 2), "\r\n");
  EXPECT_TRUE(EndsWith(text, "==========\r\none\r\n")) << text;

  const auto ini = dir.File("Vandrel\\settings.ini");
  Settings settings([&] { return ini; }, std::make_shared<testing::FakeAutoStart>());
  settings.SetConnectionPassword("p=w");
  EXPECT_EQ(ReadBinary(ini), "RunAtStartup=false\r\nMinimizeToTray=true\r\nConnectionPassword=p=w\r\n");
}

}  // namespace
}  // namespace vandrel
