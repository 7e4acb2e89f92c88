#include "infra/Logger.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "infra/Platform.h"

namespace vandrel {
namespace {

using testing::ReadBinary;
using testing::TempDir;

// Collects sink lines for one test and removes the sink afterwards.
class SinkLines {
 public:
  SinkLines() {
    SetLogLineSink([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~SinkLines() { SetLogLineSink(nullptr); }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

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

std::string StripBanner(const std::string& text) {
  const auto end = text.find("==========\n", 1);
  return end == std::string::npos ? text : text.substr(end + 11);
}

TEST(Logger, StatementGoesWholeToFileStdoutAndSink) {
  TempDir dir;
  const auto path = dir.File("vandrel.log");
  Logger logger(path);
  SinkLines sink;

  ::testing::internal::CaptureStdout();
  LogStatement(&logger) << "[SERVER] port " << 6969 << " of " << std::string("host");
  LogStatement(&logger) << "" << std::string_view{};
  LogStatement(&logger) << "[SERVER] Closing...\n";
  const std::string out = ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(out, "[SERVER] port 6969 of host\n\n[SERVER] Closing...\n\n");
  EXPECT_EQ(StripBanner(FileText(path)), "[SERVER] port 6969 of host\n\n[SERVER] Closing...\n\n");
  // The all-empty statement gives no sink call; a piece's own line feed stays in the sink line.
  EXPECT_EQ(sink.lines(), (std::vector<std::string>{"[SERVER] port 6969 of host", "[SERVER] Closing...\n"}));
}

TEST(Logger, FormatsNumbersAndTextPieces) {
  TempDir dir;
  Logger logger(dir.File("vandrel.log"));
  SinkLines sink;
  ::testing::internal::CaptureStdout();
  LogStatement(&logger) << " scan=0x" << std::hex << 0x1Du << std::dec << " (SendInput fallback) " << 29;
  LogStatement(&logger) << 255;  // the switch never leaks into the next statement
  LogStatement(&logger) << std::uint8_t{7} << ' ' << std::int8_t{-7} << ' ' << std::int16_t{-300} << ' '
                        << std::numeric_limits<std::int64_t>::min() << ' '
                        << std::numeric_limits<std::uint64_t>::max();
  LogStatement(&logger) << "0x" << std::hex << std::int32_t{-1} << std::dec;
  LogStatement(&logger) << L"Gr\u00FC\u00DFe " << L"\U0001F600" << std::wstring(L"!");
  ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(sink.lines(), (std::vector<std::string>{
                              " scan=0x1d (SendInput fallback) 29",
                              "255",
                              "7 -7 -300 -9223372036854775808 18446744073709551615",
                              "0xffffffff",
                              "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80!",
                          }));
}

TEST(Logger, HexCoversEveryWidthUntilDec) {
  TempDir dir;
  Logger logger(dir.File("vandrel.log"));
  SinkLines sink;
  ::testing::internal::CaptureStdout();
  LogStatement(&logger) << "0x" << std::hex << 255;
  LogStatement(&logger) << std::hex << std::int8_t{0x7f} << ' ' << std::uint8_t{0xab} << ' ' << std::int8_t{-1} << ' '
                        << std::int16_t{0x1234} << ' ' << std::uint16_t{0xbeef} << ' ' << std::int16_t{-2};
  LogStatement(&logger) << std::hex << std::int32_t{0} << ' ' << std::int32_t{0x7fffffff} << ' '
                        << std::uint32_t{0xdeadbeef} << ' ' << std::int32_t{-1} << ' ' << -16;
  LogStatement(&logger) << std::hex << 0x1234L << ' ' << 0xabcUL << ' ' << -1L << ' ' << 0x123456789abcLL << ' '
                        << 0xfedcba9876543210ULL << ' ' << -1LL << ' '
                        << std::numeric_limits<std::int64_t>::min();
  LogStatement(&logger) << std::hex << 26 << std::dec << ' ' << 26 << ' ' << -1 << std::hex << ' ' << true;
  ::testing::internal::GetCapturedStdout();

  // long is 32 bits on Windows and 64 on Linux.
  const std::string minusOneLong = sizeof(long) == 4 ? "ffffffff" : "ffffffffffffffff";
  EXPECT_EQ(sink.lines(), (std::vector<std::string>{
                              "0xff",
                              "7f ab ff 1234 beef fffe",
                              "0 7fffffff deadbeef ffffffff fffffff0",
                              "1234 abc " + minusOneLong + " 123456789abc fedcba9876543210 ffffffffffffffff "
                                                           "8000000000000000",
                              "1a 26 -1 1",
                          }));
}

TEST(Logger, AValueThatLogsItselfComesOutBeforeTheStatementUsingIt) {
  TempDir dir;
  const auto path = dir.File("vandrel.log");
  Logger logger(path);
  SinkLines sink;
  const auto count = [&logger] {
    LogStatement(&logger) << "[AppList] counting";
    return 3;
  };

  ::testing::internal::CaptureStdout();
  LogStatement(&logger) << "[AppList] Found " << count() << " items";
  const std::string out = ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(out, "[AppList] counting\n[AppList] Found 3 items\n");
  EXPECT_EQ(StripBanner(FileText(path)), out);
  EXPECT_EQ(sink.lines(), (std::vector<std::string>{"[AppList] counting", "[AppList] Found 3 items"}));
}

TEST(Logger, ConcurrentStatementsComeOutAsWholeLines) {
  TempDir dir;
  const auto path = dir.File("vandrel.log");
  Logger logger(path);
  SinkLines sink;
  constexpr int kThreads = 6;
  constexpr int kStatements = 150;

  ::testing::internal::CaptureStdout();
  const auto token = [](char part, int t, int i) {
    return "<" + std::string(1, part) + std::to_string(t) + "." + std::to_string(i) + ">";
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&logger, &token, t] {
      for (int i = 0; i < kStatements; ++i) LogStatement(&logger) << token('a', t, i) << token('b', t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string file = FileText(path);

  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kStatements; ++i) expected.insert(token('a', t, i) + token('b', t, i));
  }
  const auto lines = sink.lines();
  EXPECT_EQ(lines.size(), expected.size());
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), expected);

  // The file and standard output hold every statement as one whole line.
  for (const std::string* text : {&file, &out}) {
    std::istringstream in(*text);
    std::set<std::string> found;
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line.starts_with("==========")) continue;
      EXPECT_TRUE(expected.contains(line)) << line;
      found.insert(line);
    }
    EXPECT_EQ(found.size(), expected.size());
  }
}

TEST(Logger, SecondRunAppendsBannerAfterEmptyLine) {
  TempDir dir;
  const auto path = dir.File("vandrel.log");
  ::testing::internal::CaptureStdout();
  { Logger first(path); LogStatement(&first) << "first run"; }
  { Logger second(path); LogStatement(&second) << "second run"; }
  ::testing::internal::GetCapturedStdout();

  const std::string pid = std::to_string(platform::CurrentProcessId());
  const std::regex banner("\n========== Logger started at \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d PID=" + pid +
                          " ==========\n");
  const std::string text = FileText(path);
  const std::string expected_shape = "^" "(" "\n========== Logger started at [^\n]* ==========\n" ")first run\n"
                                     "(" "\n========== Logger started at [^\n]* ==========\n" ")second run\n$";
  EXPECT_TRUE(std::regex_search(text, std::regex(expected_shape))) << text;
  EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), banner), std::sregex_iterator()), 2);
}

TEST(Logger, UnopenableFileLeavesStdoutAndSinkWorking) {
  TempDir dir;
  testing::WriteBinary(dir.path() / "plain-file", "x");
  const auto path = (dir.path() / "plain-file" / "vandrel.log").string();

  ::testing::internal::CaptureStderr();
  Logger logger(path);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Failed to open log file: " + path + "\n");
  EXPECT_FALSE(logger.FileIsOpen());

  SinkLines sink;
  ::testing::internal::CaptureStdout();
  LogStatement(&logger) << "still " << "here";
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "still here\n");
  EXPECT_EQ(sink.lines(), std::vector<std::string>{"still here"});
}

TEST(Logger, AfterCloseOnlyTheFileStops) {
  TempDir dir;
  const auto path = dir.File("vandrel.log");
  Logger logger(path);
  SinkLines sink;
  ::testing::internal::CaptureStdout();
  LogStatement(&logger) << "before";
  logger.Close();
  logger.Close();
  LogStatement(&logger) << "after";
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "before\nafter\n");
  EXPECT_EQ(sink.lines(), (std::vector<std::string>{"before", "after"}));
  EXPECT_EQ(StripBanner(FileText(path)), "before\n");
}

TEST(Logger, WithoutLoggerStatementsGoToStdoutOnly) {
  SinkLines sink;
  ::testing::internal::CaptureStdout();
  LogStatement(nullptr) << "early " << 1 << " line";
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "early 1 line\n");
  EXPECT_TRUE(sink.lines().empty());
}

TEST(Logger, SinkThatLogsDoesNotDeadlock) {
  TempDir dir;
  Logger logger(dir.File("vandrel.log"));
  std::vector<std::string> seen;
  SetLogLineSink([&](const std::string& line) {
    seen.push_back(line);
    if (line == "outer") LogStatement(&logger) << "inner";
  });
  ::testing::internal::CaptureStdout();
  LogStatement(&logger) << "outer";
  ::testing::internal::GetCapturedStdout();
  SetLogLineSink(nullptr);
  EXPECT_EQ(seen, (std::vector<std::string>{"outer", "inner"}));
}

}  // namespace
}  // namespace vandrel
