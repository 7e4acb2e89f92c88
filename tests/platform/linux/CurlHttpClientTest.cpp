#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>

#include "LogCapture.h"
#include "TempDir.h"
#include "UpdateHttpServer.h"
#include "update/linux/CurlHttpClient.h"

namespace vandrel::update {
namespace {

using testing::ReadBinary;
using testing::TempDir;
using testing::UpdateHttpServer;

struct Step {
  std::int64_t downloaded;
  std::int64_t total;
};

std::string RandomBytes(std::size_t size) {
  std::mt19937 random(7);
  std::string bytes(size, '\0');
  for (auto& b : bytes) b = static_cast<char>(random());
  return bytes;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

class CurlHttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Loopback only, whatever proxy the machine has configured.
    setenv("no_proxy", "127.0.0.1", 1);
    setenv("NO_PROXY", "127.0.0.1", 1);
    unsetenv("VANDREL_UPDATE_CA");
  }
  void TearDown() override { unsetenv("VANDREL_UPDATE_CA"); }

  // Downloads `url` into the folder, recording every progress call.
  bool Download(IHttpClient& client, const std::string& url) {
    steps_.clear();
    return client.DownloadToFile(url, target_, [this](std::int64_t d, std::int64_t t) { steps_.push_back({d, t}); });
  }

  testing::LogCapture log_;
  TempDir folder_;
  const std::string target_ = folder_.File("Vandrel_update.bin");
  std::vector<Step> steps_;
};

TEST_F(CurlHttpClientTest, FeedOverHttpGivesAnUpdate) {
  UpdateHttpServer server;
  const std::string setup = server.Url("/files/setup.bin");
  server.Serve("feed.json", R"({"tag_name":"v99.0","html_url":"https://example.org/r","assets":[{"name":"Vandrel-99.0-)" +
                                std::string(AssetPattern()) + R"(","browser_download_url":")" + setup +
                                R"(","size":5}]})");
  const auto info = CheckForUpdate("0.99.73", [] { return std::make_unique<CurlHttpClient>(); },
                                   server.Url("/files/feed.json"));
  ASSERT_TRUE(info.available);
  EXPECT_EQ(info.downloadUrl, setup);
  EXPECT_EQ(info.size, 5);

  // The status is not examined: an error page is a body like any other.
  CurlHttpClient client;
  EXPECT_NE(client.Get(server.Url("/files/absent.json")).find("404"), std::string::npos);
  // A download is another matter: an error page must never become the installer.
  EXPECT_FALSE(Download(client, server.Url("/files/absent.bin")));
  EXPECT_FALSE(std::filesystem::exists(target_));
}

TEST_F(CurlHttpClientTest, HttpsTrustsOnlyTheGivenCa) {
  UpdateHttpServer server(UpdateHttpServer::Scheme::kHttps);
  server.Serve("feed.json", R"({"tag_name":"v1"})");
  CurlHttpClient client;
  try {
    client.Get(server.Url("/files/feed.json"));
    ADD_FAILURE() << "a certificate of an unknown CA was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(Lower(e.what()).find("certificate"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(Download(client, server.Url("/files/feed.json")));
  EXPECT_FALSE(std::filesystem::exists(target_));

  setenv("VANDREL_UPDATE_CA", server.CaFile().c_str(), 1);
  EXPECT_EQ(client.Get(server.Url("/files/feed.json")), R"({"tag_name":"v1"})");
  EXPECT_TRUE(Download(client, server.Url("/files/feed.json")));
}

TEST_F(CurlHttpClientTest, DownloadWithLengthReportsTheTotal) {
  UpdateHttpServer server;
  const std::string bytes = RandomBytes(300 * 1024 + 17);
  server.Serve("setup.bin", bytes);
  CurlHttpClient client;
  ASSERT_TRUE(Download(client, server.Url("/files/setup.bin")));
  EXPECT_EQ(ReadBinary(target_), bytes);
  EXPECT_FALSE(std::filesystem::exists(target_ + ".part"));
  ASSERT_FALSE(steps_.empty());
  for (const auto& step : steps_) EXPECT_EQ(step.total, static_cast<std::int64_t>(bytes.size()));
  EXPECT_EQ(steps_.back().downloaded, static_cast<std::int64_t>(bytes.size()));
  EXPECT_TRUE(std::is_sorted(steps_.begin(), steps_.end(),
                             [](const Step& a, const Step& b) { return a.downloaded < b.downloaded; }));

  // Through a redirect, replacing the earlier file.
  server.Serve("other.bin", "second");
  ASSERT_TRUE(Download(client, server.Url("/redirect/other.bin")));
  EXPECT_EQ(ReadBinary(target_), "second");
  EXPECT_EQ(client.Get(server.Url("/redirect/other.bin")), "second");
}

TEST_F(CurlHttpClientTest, DownloadWithoutLengthHasNoTotal) {
  UpdateHttpServer server;
  const std::string bytes = RandomBytes(100 * 1024 + 3);
  server.Serve("setup.bin", bytes);
  CurlHttpClient client;
  for (const std::string kind : {"/chunked/", "/close/"}) {
    std::filesystem::remove(target_);
    ASSERT_TRUE(Download(client, server.Url(kind + "setup.bin"))) << kind;
    EXPECT_EQ(ReadBinary(target_), bytes) << kind;
    ASSERT_FALSE(steps_.empty());
    for (const auto& step : steps_) EXPECT_EQ(step.total, 0) << kind;
    EXPECT_EQ(steps_.back().downloaded, static_cast<std::int64_t>(bytes.size())) << kind;
  }
}

TEST_F(CurlHttpClientTest, FailedDownloadLeavesOnlyThePart) {
  UpdateHttpServer server;
  server.Serve("setup.bin", "0123456789");
  CurlHttpClient client;
  EXPECT_FALSE(Download(client, server.Url("/short/setup.bin")));
  EXPECT_FALSE(std::filesystem::exists(target_));
  EXPECT_EQ(ReadBinary(target_ + ".part"), "0123456789");
  EXPECT_FALSE(Download(client, "http://127.0.0.1:1/setup.bin"));
  EXPECT_FALSE(Download(client, "no-scheme/setup.bin"));
  EXPECT_FALSE(Download(client, "file:///etc/hostname"));
  EXPECT_FALSE(std::filesystem::exists(target_));

  // The next attempt starts the part afresh.
  server.Serve("small.bin", "ab");
  ASSERT_TRUE(Download(client, server.Url("/files/small.bin")));
  EXPECT_EQ(ReadBinary(target_), "ab");
  EXPECT_FALSE(std::filesystem::exists(target_ + ".part"));
}

TEST_F(CurlHttpClientTest, GetFailuresThrow) {
  UpdateHttpServer server;
  CurlHttpClient client;
  EXPECT_NO_THROW(client.Get(server.Url("/big/1048576")));
  try {
    client.Get(server.Url("/big/1048577"));
    ADD_FAILURE() << "a body over 1 MiB was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "release feed larger than 1 MiB");
  }
  EXPECT_THROW(client.Get("http://127.0.0.1:1/feed"), std::runtime_error);
  try {
    client.Get("127.0.0.1/feed");
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid URL (missing scheme): 127.0.0.1/feed");
  }
}

TEST_F(CurlHttpClientTest, StalledServerTimesOut) {
  UpdateHttpServer server;
  CurlHttpClient client(CurlHttpOptions{std::chrono::seconds(2), std::chrono::seconds(2)});
  EXPECT_THROW(client.Get(server.Url("/stall")), std::runtime_error);
  EXPECT_FALSE(Download(client, server.Url("/stall")));
  EXPECT_TRUE(steps_.empty());
}

}  // namespace
}  // namespace vandrel::update
