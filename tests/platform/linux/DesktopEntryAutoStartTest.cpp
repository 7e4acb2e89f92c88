#include <gtest/gtest.h>
#include <stdlib.h>

#include "TempDir.h"
#include "infra/AutoStart.h"
#include "infra/Platform.h"
#include "infra/Settings.h"

namespace vandrel {
namespace {

using testing::ReadBinary;
using testing::TempDir;

class DesktopEntryAutoStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", (dir_.path() / "user").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", ((dir_.path() / "none").string() + ":" + (dir_.path() / "machine").string()).c_str(),
             1);
  }
  void TearDown() override {
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_CONFIG_DIRS");
  }
  std::filesystem::path UserEntry() const { return dir_.path() / "user/autostart/vandrel.desktop"; }
  std::filesystem::path MachineEntry() const { return dir_.path() / "machine/autostart/vandrel.desktop"; }

  TempDir dir_;
};

TEST_F(DesktopEntryAutoStartTest, SettingsWriteAndRemoveTheUserEntry) {
  Settings settings([this] { return dir_.File("settings.ini"); }, MakeAutoStart());
  EXPECT_FALSE(settings.IsRunAtStartupRegistered());
  settings.SetRunAtStartup(true);
  EXPECT_TRUE(settings.IsRunAtStartupRegistered());
  const std::string entry = ReadBinary(UserEntry());
  EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_NE(entry.find("Exec=\"" + platform::ExecutablePath().value() + "\"\n"), std::string::npos) << entry;

  settings.SetRunAtStartup(false);
  EXPECT_FALSE(std::filesystem::exists(UserEntry()));
  EXPECT_FALSE(settings.IsRunAtStartupRegistered());
}

TEST_F(DesktopEntryAutoStartTest, MachineWideEntryIsOnlyRead) {
  std::filesystem::create_directories(MachineEntry().parent_path());
  testing::WriteBinary(MachineEntry(), "[Desktop Entry]\n");
  auto autoStart = MakeAutoStart();
  EXPECT_TRUE(autoStart->IsRegistered());
  autoStart->Unregister();
  EXPECT_TRUE(std::filesystem::exists(MachineEntry()));
  EXPECT_TRUE(autoStart->IsRegistered());
}

TEST_F(DesktopEntryAutoStartTest, ExecQuotesAwkwardPaths) {
  auto autoStart = MakeAutoStart();
  autoStart->Register("/opt/my apps/100%/\"v\"$x\\y");
  const std::string entry = ReadBinary(UserEntry());
  // Exec quoting first (\" \$ \\), then desktop-file string escaping (\\ for each \, %% for %).
  EXPECT_NE(entry.find("Exec=\"/opt/my apps/100%%/\\\\\"v\\\\\"\\\\$x\\\\\\\\y\"\n"), std::string::npos) << entry;
}

}  // namespace
}  // namespace vandrel
