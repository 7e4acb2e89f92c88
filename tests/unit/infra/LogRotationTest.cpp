// The log file moves to vandrel.log.1 once it passes its limit, whole lines only.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "infra/Logger.h"

namespace vandrel {
namespace {

using testing::ReadBinary;
using testing::TempDir;
using testing::WriteBinary;

const std::regex kBanner("\n========== Logger started at [^\n]* PID=\\d+ ==========\n");

// The file's text with the platform's line ends read back as "\n".
std::string FileText(const std::string& path) {
  std::string text = ReadBinary(path);
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

long Banners(const std::string& text) {
  return std::distance(std::sregex_iterator(text.begin(), text.end(), kBanner), std::sregex_iterator());
}

bool StartsWithBanner(const std::string& text) {
  std::smatch match;
  return std::regex_search(text, match, kBanner) && match.position(0) == 0;
}

std::string Numbered(int i) {
  std::string n = std::to_string(i);
  return "line-" + std::string(4 - n.size(), '0') + n;
}

class LogRotation : public ::testing::Test {
 protected:
  void SetUp() override { ::testing::internal::CaptureStdout(); }
  void TearDown() override { ::testing::internal::GetCapturedStdout(); }

  TempDir dir_;
  const std::string path_ = dir_.File("vandrel.log");
  const std::string rotated_ = path_ + ".1";
};

TEST_F(LogRotation, FileAlreadyPastTheLimitMovesAsideAtStart) {
  const std::string old(9 << 20, 'x');
  WriteBinary(path_, old);
  WriteBinary(rotated_, "an older rotation\n");
  {
    Logger logger(path_);
    LogStatement(&logger) << "first line";
  }
  EXPECT_EQ(ReadBinary(rotated_), old);
  const std::string text = FileText(path_);
  EXPECT_TRUE(StartsWithBanner(text)) << text;
  EXPECT_EQ(Banners(text), 1);
  EXPECT_NE(text.find("==========\nfirst line\n"), std::string::npos) << text;
}

TEST_F(LogRotation, WritingPastTheLimitRotatesOnceBetweenLines) {
  WriteBinary(rotated_, "an older rotation\n");
  constexpr int kLines = 120;
  {
    Logger logger(path_, 4096);
    // Two pieces a line (about 50 bytes), so a line split across the files would show.
    for (int i = 0; i < kLines; ++i) LogStatement(&logger) << Numbered(i) << " and its second piece .......... end";
  }
  const std::string before = FileText(rotated_);
  const std::string after = FileText(path_);
  EXPECT_EQ(before.find("an older rotation"), std::string::npos);
  ASSERT_TRUE(StartsWithBanner(before)) << before;
  ASSERT_TRUE(StartsWithBanner(after)) << after;
  EXPECT_EQ(Banners(before), 1);
  EXPECT_EQ(Banners(after), 1);
  EXPECT_GE(ReadBinary(rotated_).size(), 4096u);

  // Every line once, whole and in order: the first ones in .1, the rest after the new banner.
  std::string joined = std::regex_replace(before, kBanner, "") + std::regex_replace(after, kBanner, "");
  std::string expected;
  for (int i = 0; i < kLines; ++i) expected += Numbered(i) + " and its second piece .......... end\n";
  EXPECT_EQ(joined, expected);
  EXPECT_NE(after.find("==========\nline-0"), std::string::npos) << after;
}

TEST_F(LogRotation, FailedRenameKeepsAppendingAndTriesAgainLater) {
  // A folder in the way of vandrel.log.1 makes the rename fail on every platform.
  std::filesystem::create_directories(rotated_ + "/occupied");
  Logger logger(path_, 1024);
  for (int i = 0; i < 60; ++i) LogStatement(&logger) << Numbered(i) << " blocked ....................";
  EXPECT_TRUE(std::filesystem::is_directory(rotated_));
  EXPECT_EQ(Banners(FileText(path_)), 1);

  std::filesystem::remove_all(rotated_);
  for (int i = 60; i < 70; ++i) LogStatement(&logger) << Numbered(i) << " free ....................";
  logger.Close();
  const std::string before = FileText(rotated_);
  const std::string after = FileText(path_);
  EXPECT_NE(before.find(Numbered(0) + " blocked"), std::string::npos);
  EXPECT_NE(before.find(Numbered(59) + " blocked"), std::string::npos);
  EXPECT_TRUE(StartsWithBanner(after)) << after;
  std::string joined = std::regex_replace(before, kBanner, "") + std::regex_replace(after, kBanner, "");
  for (int i = 0; i < 70; ++i) EXPECT_NE(joined.find(Numbered(i) + (i < 60 ? " blocked" : " free")), std::string::npos);
}

TEST_F(LogRotation, ConcurrentStatementsStayInOneFile) {
  constexpr int kThreads = 4;
  constexpr int kStatements = 300;
  constexpr std::uint64_t kLimit = 24 << 10;  // about two thirds of what the threads write
  {
    Logger logger(path_, kLimit);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&logger, t] {
        for (int i = 0; i < kStatements; ++i) {
          const std::string id = std::to_string(t) + "." + std::to_string(i);
          LogStatement(&logger) << "<a" + id + ">" << "<b" + id + ">" << " ..........";
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  const std::string before = FileText(rotated_);
  const std::string after = FileText(path_);
  EXPECT_EQ(Banners(before), 1);
  EXPECT_EQ(Banners(after), 1);
  // Every statement is one whole line in exactly one of the files.
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kStatements; ++i) {
      const std::string id = std::to_string(t) + "." + std::to_string(i);
      const std::string line = "\n<a" + id + "><b" + id + "> ..........\n";
      ASSERT_NE(before.find(line) != std::string::npos, after.find(line) != std::string::npos) << id;
    }
  }
}

}  // namespace
}  // namespace vandrel
