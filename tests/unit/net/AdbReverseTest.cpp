#include "net/AdbReverse.h"

#include <gtest/gtest.h>

#include "LogCapture.h"

namespace vandrel {
namespace {

struct Recorded {
  std::vector<std::string> commands;
  std::vector<std::optional<int>> results;

  AdbReverse::Runner Runner() {
    return [this](const std::string& program, const std::vector<std::string>& args) -> std::optional<int> {
      std::string line = program;
      for (const auto& arg : args) line += " " + arg;
      commands.push_back(line);
      const auto result = results.empty() ? std::optional<int>(0) : results.front();
      if (!results.empty()) results.erase(results.begin());
      return result;
    };
  }
};

TEST(AdbReverse, ReversesThePhonesPortOntoTheServersAndUndoesIt) {
  testing::LogCapture log;
  Recorded adb;
  AdbReverse reverse(7123, adb.Runner());
  EXPECT_TRUE(reverse.Start());
  EXPECT_TRUE(reverse.Stop());
  const std::string tool = AdbReverse::FindAdb();
  EXPECT_EQ(adb.commands, (std::vector<std::string>{tool + " reverse tcp:6969 tcp:7123",
                                                     tool + " reverse --remove tcp:6969",
                                                     AdbReverse::FindAdbForKillServer() + " kill-server"}));
  EXPECT_TRUE(log.Contains("[ADB:6969] Started"));
  EXPECT_TRUE(log.Contains("[ADB:6969] Stopped"));
}

TEST(AdbReverse, OnlyTheKillServerDecidesTheStop) {
  testing::LogCapture log;
  Recorded adb;
  adb.results = {std::nullopt, 1, 0};  // not found, removal failed, kill-server fine
  AdbReverse reverse(6969, adb.Runner());
  EXPECT_FALSE(reverse.Start());
  EXPECT_TRUE(reverse.Stop());
  adb.results = {0, 0, 1};
  EXPECT_TRUE(reverse.Start());
  EXPECT_FALSE(reverse.Stop());
  EXPECT_EQ(log.Count("[ADB:6969] Failed to start"), 1u);
  EXPECT_EQ(log.Count("[ADB:6969] Failed to stop"), 1u);
}

}  // namespace
}  // namespace vandrel
