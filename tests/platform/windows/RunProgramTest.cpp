#include <gtest/gtest.h>

#include "net/AdbReverse.h"

namespace vandrel {
namespace {

TEST(RunProgram, StartsProgramsDirectlyAndReportsTheirStatus) {
  EXPECT_EQ(AdbReverse::RunProgram("C:\\windows\\system32\\cmd.exe", {"/c", "exit 3"}), 3);
  EXPECT_EQ(AdbReverse::RunProgram("C:\\no such folder\\adb.exe", {"reverse"}), std::nullopt);
  EXPECT_NE(AdbReverse::FindAdb().find("\\adb.exe"), std::string::npos);
  EXPECT_NE(AdbReverse::FindAdbForKillServer().find("\\adb\\adb.exe"), std::string::npos);
}

}  // namespace
}  // namespace vandrel
