#include <gtest/gtest.h>

#include <stdexcept>

#include "update/Updater.h"

namespace vandrel::update {
namespace {

TEST(UpdateParseUrlTest, SplitsHostPortAndPath) {
  const auto tls = ParseUrl("https://example.org:8443/repos/x/releases/latest?per=1");
  EXPECT_EQ(tls.host, "example.org");
  EXPECT_EQ(tls.port, 8443);
  EXPECT_EQ(tls.path, "/repos/x/releases/latest?per=1");
  EXPECT_TRUE(tls.secure);

  const auto plain = ParseUrl("http://127.0.0.1/feed.json");
  EXPECT_EQ(plain.host, "127.0.0.1");
  EXPECT_EQ(plain.port, 80);
  EXPECT_EQ(plain.path, "/feed.json");
  EXPECT_FALSE(plain.secure);

  const auto bare = ParseUrl("https://example.org");
  EXPECT_EQ(bare.host, "example.org");
  EXPECT_EQ(bare.port, 443);
  EXPECT_EQ(bare.path, "/");

  const auto portOnly = ParseUrl("http://host:8080");
  EXPECT_EQ(portOnly.port, 8080);
  EXPECT_EQ(portOnly.path, "/");
}

TEST(UpdateParseUrlTest, SchemeIsCaseSensitive) {
  const auto upper = ParseUrl("HTTPS://example.org/x");
  EXPECT_FALSE(upper.secure);
  EXPECT_EQ(upper.port, 80);
  EXPECT_EQ(upper.host, "example.org");
}

TEST(UpdateParseUrlTest, RejectsMissingSchemeAndBadPorts) {
  for (const std::string url : {"example.org/feed", "ab", "", "http:/x"}) {
    try {
      ParseUrl(url);
      ADD_FAILURE() << url;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "Invalid URL (missing scheme): " + url);
    }
  }
  EXPECT_THROW(ParseUrl("http://host:/x"), std::invalid_argument);
  EXPECT_THROW(ParseUrl("http://host:port/x"), std::invalid_argument);
  EXPECT_THROW(ParseUrl("http://host:99999999999/x"), std::out_of_range);
  EXPECT_THROW(ParseUrl("http://host:70000/x"), std::out_of_range);
}

TEST(UpdateProgressTest, PercentAndText) {
  EXPECT_EQ(ProgressPercent(0, 0), 0);
  EXPECT_EQ(ProgressPercent(5000, 0), 0);
  EXPECT_EQ(ProgressPercent(512, 1024), 50);
  EXPECT_EQ(ProgressPercent(1023, 1024), 99);
  EXPECT_EQ(ProgressPercent(1024, 1024), 100);
  // Installers beyond 2^31 bytes must not overflow the product.
  EXPECT_EQ(ProgressPercent(std::int64_t{3} << 31, std::int64_t{4} << 31), 75);
  EXPECT_EQ(ProgressText(2048, 10240), "下载中: 2 / 10 KB");
  EXPECT_EQ(ProgressText(5000, 0), "下载中: 4 / 0 KB");
}

}  // namespace
}  // namespace vandrel::update
