#include <gtest/gtest.h>

#include "net/AdbReverse.h"

namespace vandrel {
namespace {

TEST(RunProgram, StartsProgramsDirectlyAndReportsTheirStatus) {
  EXPECT_EQ(AdbReverse::RunProgram("sh", {"-c", "exit 3"}), 3);
  EXPECT_EQ(AdbReverse::RunProgram("sh", {"-c", "test \"$1\" = 'a b;c'", "sh", "a b;c"}), 0) << "no shell splits them";
  EXPECT_EQ(AdbReverse::RunProgram("/nonexistent/adb", {"reverse"}), std::nullopt);
}

}  // namespace
}  // namespace vandrel
