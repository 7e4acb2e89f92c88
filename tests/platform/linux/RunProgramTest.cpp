#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "TempDir.h"
#include "infra/linux/Spawn.h"
#include "net/AdbReverse.h"

namespace vandrel {
namespace {

TEST(RunProgram, StartsProgramsDirectlyAndReportsTheirStatus) {
  EXPECT_EQ(AdbReverse::RunProgram("sh", {"-c", "exit 3"}), 3);
  EXPECT_EQ(AdbReverse::RunProgram("sh", {"-c", "test \"$1\" = 'a b;c'", "sh", "a b;c"}), 0) << "no shell splits them";
  EXPECT_EQ(AdbReverse::RunProgram("/nonexistent/adb", {"reverse"}), std::nullopt);
}

// The program raises its own open-file limit for its sessions; what it starts
// must see the limit it was given, as other programs do.
TEST(RunProgram, ChildrenGetTheOpenFileLimitFromBeforeTheRaise) {
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  if (original.rlim_max <= 256) GTEST_SKIP() << "the hard limit leaves nothing to raise";
  rlimit low = original;
  low.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  EXPECT_EQ(platform::RaiseOpenFileLimit(), static_cast<unsigned long long>(original.rlim_max));

  testing::TempDir dir;
  const std::string out = dir.File("limit.txt");
  const pid_t child = platform::Spawn("sh", {"-c", "ulimit -Sn > \"$1\"", "sh", out});
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  std::ifstream file(out);
  std::string limit;
  file >> limit;
  EXPECT_EQ(limit, "256");

  rlimit now{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
  EXPECT_EQ(now.rlim_cur, original.rlim_max) << "the program keeps its raised limit";
  EXPECT_EQ(platform::RaiseOpenFileLimit(), 0u) << "nothing left to raise";
  ::setrlimit(RLIMIT_NOFILE, &original);
}

}  // namespace
}  // namespace vandrel
