#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "FakeAutoStart.h"
#include "LogCapture.h"
#include "TempDir.h"
#include "infra/Settings.h"

namespace vandrel {
namespace {

using testing::ReadBinary;
using testing::TempDir;

TEST(SettingsFile, IsReadableByItsOwnerOnly) {
  TempDir dir;
  const auto path = dir.File("Vandrel/settings.ini");
  Settings settings([&] { return path; }, std::make_shared<testing::FakeAutoStart>());
  settings.SetConnectionPassword("secret");
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(SettingsFile, FollowsXdgConfigHome) {
  TempDir dir;
  ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
  EXPECT_EQ(DefaultSettingsFilePath(), dir.File("Vandrel/settings.ini"));
  ::unsetenv("XDG_CONFIG_HOME");
}

// A save that runs out of space part-way must leave the previous file whole.
TEST(SettingsFile, FailedWriteLeavesOldFileIntact) {
  TempDir dir;
  const auto path = dir.File("Vandrel/settings.ini");
  Settings settings([&] { return path; }, std::make_shared<testing::FakeAutoStart>());
  settings.SetConnectionPassword("old");
  const std::string before = ReadBinary(path);

  testing::LogCapture log;
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit tiny = saved;
  tiny.rlim_cur = 20;  // the new file cannot be written whole
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  settings.SetConnectionPassword(std::string(100, 'n'));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(ReadBinary(path), before);
  EXPECT_EQ(log.Count("[SETTINGS] Failed to save settings"), 1u);
  std::size_t leftovers = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path() / "Vandrel")) ++leftovers;
  EXPECT_EQ(leftovers, 1u) << "a temporary file was left behind";
}

}  // namespace
}  // namespace vandrel
