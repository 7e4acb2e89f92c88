#include "infra/LogLimiter.h"

#include <gtest/gtest.h>

#include "fakes/LogCapture.h"

namespace vandrel {
namespace {

using namespace std::chrono_literals;
using Clock = LogLimiter::Clock;

TEST(LogLimiterTest, FirstFewInFullThenOneCountedLinePerInterval) {
  LogLimiter limiter(3, 5s);
  const auto t0 = Clock::now();
  for (int i = 0; i < 3; ++i) {
    const auto permit = limiter.Next(t0 + std::chrono::milliseconds(i));
    EXPECT_TRUE(permit);
    EXPECT_EQ(permit.more, 0u);
  }
  // A flood of 10,000 within one interval writes nothing more.
  for (int i = 0; i < 10000; ++i) EXPECT_FALSE(limiter.Next(t0 + 1s + std::chrono::microseconds(i)));
  EXPECT_EQ(limiter.Pending(), 10000u);
  // Still flooding, five seconds after the last line: one line stands for all of them.
  const auto summary = limiter.Next(t0 + 5s + 10ms);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary.more, 10000u);
  EXPECT_FALSE(limiter.Next(t0 + 6s));
  EXPECT_FALSE(limiter.Next(t0 + 9s));
  const auto next = limiter.Next(t0 + 10s + 20ms);
  ASSERT_TRUE(next);
  EXPECT_EQ(next.more, 2u);
}

TEST(LogLimiterTest, QuietIntervalStartsAfreshAndSettlesTheCount) {
  LogLimiter limiter(2, 5s);
  const auto t0 = Clock::now();
  EXPECT_TRUE(limiter.Next(t0));
  EXPECT_TRUE(limiter.Next(t0 + 1ms));
  EXPECT_FALSE(limiter.Next(t0 + 2ms));
  EXPECT_FALSE(limiter.Next(t0 + 3ms));
  // Nothing for five seconds: the next one is written and reports the two left out.
  const auto after = limiter.Next(t0 + 6s);
  ASSERT_TRUE(after);
  EXPECT_EQ(after.more, 2u);
  const auto second = limiter.Next(t0 + 6s + 1ms);
  ASSERT_TRUE(second);
  EXPECT_EQ(second.more, 0u);
  EXPECT_FALSE(limiter.Next(t0 + 6s + 2ms));
}

TEST(LogLimiterTest, CountIsAppendedToTheLine) {
  testing::LogCapture capture;
  Log() << "[CONNECTION] Something" << LogPermit{true, 0};
  Log() << "[CONNECTION] Something" << LogPermit{true, 42};
  EXPECT_EQ(capture.Count("[CONNECTION] Something"), 2u);
  EXPECT_TRUE(capture.Contains("[CONNECTION] Something (42 more)"));
  EXPECT_EQ(capture.Count("more)"), 1u);
}

}  // namespace
}  // namespace vandrel
