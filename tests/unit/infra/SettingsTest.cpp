#include "infra/Settings.h"

#include <gtest/gtest.h>

#include <thread>

#include "FakeAutoStart.h"
#include "LogCapture.h"
#include "TempDir.h"
#include "infra/Platform.h"

namespace vandrel {
namespace {

using testing::FakeAutoStart;
using testing::LogCapture;
using testing::ReadBinary;
using testing::TempDir;
using testing::WriteBinary;

class SettingsTest : public ::testing::Test {
 protected:
  std::string path() const { return dir_.File("Vandrel/settings.ini"); }
  void WriteFile(const std::string& text) {
    std::filesystem::create_directories(dir_.path() / "Vandrel");
    WriteBinary(path(), text);
  }
  std::unique_ptr<Settings> Make() {
    return std::make_unique<Settings>([this] { return path(); }, autoStart_);
  }
  std::string Expected(const std::string& run, const std::string& tray, const std::string& password) const {
    const std::string end(platform::NativeLineEnd());
    return "RunAtStartup=" + run + end + "MinimizeToTray=" + tray + end + "ConnectionPassword=" + password + end;
  }

  TempDir dir_;
  std::shared_ptr<FakeAutoStart> autoStart_ = std::make_shared<FakeAutoStart>();
};

TEST_F(SettingsTest, MissingFileGivesDefaultsAndSaysSo) {
  LogCapture log;
  auto settings = Make();
  EXPECT_FALSE(settings->GetRunAtStartup());
  EXPECT_TRUE(settings->GetMinimizeToTray());
  EXPECT_EQ(settings->GetConnectionPassword(), "");
  EXPECT_EQ(log.Count("[SETTINGS] Settings file not found, using defaults"), 1u);
}

TEST_F(SettingsTest, LoadRules) {
  WriteFile(
      "RunAtStartup=TRUE\n"
      "ConnectionPassword=first\r\n"
      "ConnectionPassword=\n"        // an empty value changes nothing
      "MinimizeToTray=false\n"
      "\n"
      "no equals sign here\n"
      "Other=value\n"
      " MinimizeToTray=false\n"      // keys are compared exactly
      "MinimizeToTray=true\n");      // later lines win
  LogCapture log;
  auto settings = Make();
  EXPECT_FALSE(settings->GetRunAtStartup());
  EXPECT_TRUE(settings->GetMinimizeToTray());
  EXPECT_EQ(settings->GetConnectionPassword(), "first");
  EXPECT_EQ(log.Count("[SETTINGS]"), 0u);

  settings->Parse("RunAtStartup= true\n");
  EXPECT_FALSE(settings->GetRunAtStartup());
  settings->Parse("RunAtStartup=true");
  EXPECT_TRUE(settings->GetRunAtStartup());
}

TEST_F(SettingsTest, CarriageReturnsEndingALineBelongToTheLineEnd) {
  WriteFile("ConnectionPassword=pass\r\r\nMinimizeToTray=false\r\r\r\nRunAtStartup=true\r\r");
  {
    const auto first = Make();
    EXPECT_EQ(first->GetConnectionPassword(), "pass");
    EXPECT_FALSE(first->GetMinimizeToTray());
    EXPECT_TRUE(first->GetRunAtStartup());
  }  // saved on the way out, and read back the same
  EXPECT_EQ(ReadBinary(path()), Expected("true", "false", "pass"));
  EXPECT_EQ(Make()->GetConnectionPassword(), "pass");
}

TEST_F(SettingsTest, SetterWritesExactlyThreeLinesAndDropsOthers) {
  WriteFile("Other=1\nConnectionPassword=old\n");
  auto settings = Make();
  settings->SetMinimizeToTray(false);
  EXPECT_EQ(ReadBinary(path()), Expected("false", "false", "old"));
}

TEST_F(SettingsTest, PasswordWithEqualsAndSpacesRoundTrips) {
  const std::string password = " a=b==c \xE5\xAF\x86";
  Make()->SetConnectionPassword(password);
  EXPECT_EQ(Make()->GetConnectionPassword(), password);
}

TEST_F(SettingsTest, RunAtStartupUsesTheStartupEntry) {
  auto settings = Make();
  settings->SetRunAtStartup(true);
  EXPECT_TRUE(settings->IsRunAtStartupRegistered());
  EXPECT_EQ(autoStart_->registered, platform::ExecutablePath().value());
  EXPECT_EQ(ReadBinary(path()), Expected("true", "true", ""));

  settings->SetRunAtStartup(false);
  EXPECT_FALSE(settings->IsRunAtStartupRegistered());

  autoStart_->machineEntry = true;  // the check box follows the machine-wide entry too
  EXPECT_TRUE(settings->IsRunAtStartupRegistered());
  settings->SetRunAtStartup(false);
  EXPECT_TRUE(settings->IsRunAtStartupRegistered());
}

TEST_F(SettingsTest, UnwritableFileKeepsValuesInMemoryAndOldFile) {
  // A folder where the file should be makes every save fail.
  std::filesystem::create_directories(path());
  LogCapture log;
  auto settings = Make();
  settings->SetConnectionPassword("secret");
  EXPECT_EQ(settings->GetConnectionPassword(), "secret");
  EXPECT_GE(log.Count("[SETTINGS] Failed to save settings"), 1u);
  EXPECT_TRUE(std::filesystem::is_directory(path()));
}

TEST_F(SettingsTest, DestructionSaves) {
  auto settings = Make();
  settings->Parse("MinimizeToTray=false\nConnectionPassword=p\n");
  settings.reset();
  EXPECT_EQ(ReadBinary(path()), Expected("false", "false", "p"));
}

TEST_F(SettingsTest, PasswordCanBeReadWhileReplaced) {
  auto settings = Make();
  const std::string longA(200, 'a');
  const std::string longB(300, 'b');
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      const std::string copy = settings->GetConnectionPassword();
      ASSERT_TRUE(copy.empty() || copy == longA || copy == longB);
    }
  });
  for (int i = 0; i < 200; ++i) settings->Parse(i % 2 ? "ConnectionPassword=" + longA : "ConnectionPassword=" + longB);
  done = true;
  reader.join();
}

}  // namespace
}  // namespace vandrel
