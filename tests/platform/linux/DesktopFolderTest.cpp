#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "TempDir.h"
#include "protocol/DesktopFolder.h"

namespace vandrel {
namespace {

using testing::TempDir;
using testing::WriteBinary;

class DesktopFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kNames) {
      const char* value = ::getenv(name);
      saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
      ::unsetenv(name);
    }
    ::setenv("HOME", Home().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir_.path() / "config").c_str(), 1);
    std::filesystem::create_directories(dir_.path() / "config");
  }
  void TearDown() override {
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
      if (saved_[i]) ::setenv(kNames[i], saved_[i]->c_str(), 1);
      else ::unsetenv(kNames[i]);
    }
  }
  std::string Home() const { return (dir_.path() / "home").string(); }
  void WriteUserDirs(const std::string& text) { WriteBinary(dir_.path() / "config/user-dirs.dirs", text); }

  static constexpr const char* kNames[] = {"XDG_DESKTOP_DIR", "XDG_CONFIG_HOME", "HOME"};
  std::vector<std::optional<std::string>> saved_;
  TempDir dir_;
};

TEST_F(DesktopFolderTest, EnvironmentVariableWins) {
  WriteUserDirs("XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
  ::setenv("XDG_DESKTOP_DIR", "/srv/desk", 1);
  EXPECT_EQ(GetDesktopFolder(), "/srv/desk");
}

TEST_F(DesktopFolderTest, ReadsUserDirsLikeTheShellWould) {
  WriteUserDirs(
      "# XDG_DESKTOP_DIR=\"/commented/out\"\n"
      "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
      "  XDG_DESKTOP_DIR=\"$HOME/Mon \\\"Bureau\\\"\"  # renamed\n");
  EXPECT_EQ(GetDesktopFolder(), Home() + "/Mon \"Bureau\"");

  WriteUserDirs("XDG_DESKTOP_DIR=\"/data/Desk\"\n");
  EXPECT_EQ(GetDesktopFolder(), "/data/Desk");

  // Without XDG_CONFIG_HOME the file is looked for under ~/.config.
  ::unsetenv("XDG_CONFIG_HOME");
  std::filesystem::create_directories(Home() + "/.config");
  WriteBinary(Home() + "/.config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Escritorio\"\n");
  EXPECT_EQ(GetDesktopFolder(), Home() + "/Escritorio");
}

TEST_F(DesktopFolderTest, FallsBackToHomeDesktopThenTmp) {
  EXPECT_EQ(GetDesktopFolder(), "/tmp") << "no ~/Desktop yet";
  std::filesystem::create_directories(Home() + "/Desktop");
  EXPECT_EQ(GetDesktopFolder(), Home() + "/Desktop");

  // A switched-off or relative entry does not count.
  for (const char* entry : {"\"$HOME/\"", "\"$HOME\"", "\"Desktop\"", "\"$HOMEDesk\"", ""}) {
    WriteUserDirs(std::string("XDG_DESKTOP_DIR=") + entry + "\n");
    EXPECT_EQ(GetDesktopFolder(), Home() + "/Desktop") << entry;
  }
  ::unsetenv("HOME");
  EXPECT_EQ(GetDesktopFolder(), "/tmp");
}

}  // namespace
}  // namespace vandrel
