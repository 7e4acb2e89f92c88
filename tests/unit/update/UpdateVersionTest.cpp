#include <gtest/gtest.h>

#include "update/Updater.h"

namespace vandrel::update {
namespace {

TEST(UpdateVersionTest, ParsesPiecesByTheirLeadingDigits) {
  EXPECT_EQ(ParseVersion("v1.2.3"), (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(ParseVersion("V0.100"), (std::vector<std::int32_t>{0, 100}));
  EXPECT_EQ(ParseVersion("3-beta"), (std::vector<std::int32_t>{3}));
  // Unreadable pieces hold their place as 0 rather than being dropped.
  EXPECT_EQ(ParseVersion("1.x.3"), (std::vector<std::int32_t>{1, 0, 3}));
  EXPECT_EQ(ParseVersion("1..2"), (std::vector<std::int32_t>{1, 0, 2}));
  EXPECT_EQ(ParseVersion(""), (std::vector<std::int32_t>{0}));
  EXPECT_EQ(ParseVersion("1.2147483648.5"), (std::vector<std::int32_t>{1, 0, 5}));
  EXPECT_EQ(ParseVersion("1.99999999999999999999999"), (std::vector<std::int32_t>{1, 0}));
  EXPECT_EQ(ParseVersion("2147483647"), (std::vector<std::int32_t>{2147483647}));
  // Only one leading v goes.
  EXPECT_EQ(ParseVersion("vv2"), (std::vector<std::int32_t>{0}));
}

TEST(UpdateVersionTest, ComparesComponentwiseWithMissingAsZero) {
  EXPECT_EQ(CompareVersions("0.99.73", "0.99.73"), 0);
  EXPECT_EQ(CompareVersions("v0.99.73", "0.99.73"), 0);
  EXPECT_EQ(CompareVersions("V0.100", "0.99.73"), 1);
  EXPECT_EQ(CompareVersions("0.99.73.1", "0.99.73"), 1);
  EXPECT_EQ(CompareVersions("0.99", "0.99.73"), -1);
  EXPECT_EQ(CompareVersions("1.x.3", "1.0.3"), 0);
  EXPECT_EQ(CompareVersions("3-beta", "3"), 0);
  EXPECT_EQ(CompareVersions("1.2", "1.2.0"), 0);
  EXPECT_EQ(CompareVersions("1.2.0.0", "1.2"), 0);
  EXPECT_EQ(CompareVersions("1.4294967296", "1.0"), 0);
  EXPECT_EQ(CompareVersions("10.0", "9.99"), 1);
}

}  // namespace
}  // namespace vandrel::update
