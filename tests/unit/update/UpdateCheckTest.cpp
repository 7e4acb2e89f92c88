#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "LogCapture.h"
#include "update/Updater.h"

namespace vandrel::update {
namespace {

using testing::LogCapture;

// Answers every Get with one canned body, or throws when told to.
class CannedHttpClient : public IHttpClient {
 public:
  CannedHttpClient(std::string body, bool fail, std::string* askedUrl)
      : body_(std::move(body)), fail_(fail), askedUrl_(askedUrl) {}
  std::string Get(const std::string& url) override {
    if (askedUrl_) *askedUrl_ = url;
    if (fail_) throw std::runtime_error("connection refused");
    return body_;
  }
  bool DownloadToFile(const std::string&, const std::string&, const UpdateProgress&) override { return false; }

 private:
  std::string body_;
  bool fail_;
  std::string* askedUrl_;
};

HttpClientFactory Serving(const std::string& body, std::string* askedUrl = nullptr) {
  return [=] { return std::make_unique<CannedHttpClient>(body, false, askedUrl); };
}

std::string Asset(const std::string& name, const std::string& url, long long size) {
  return R"({"name":")" + name + R"(","browser_download_url":")" + url + R"(","size":)" + std::to_string(size) + "}";
}

std::string Release(const std::string& tag, const std::string& assets) {
  return R"({"tag_name":")" + tag +
         R"(","body":"Fixes.\nMore.","html_url":"https://example.org/releases/v0.100","assets":[)" + assets + "]}";
}

const std::string kPattern = AssetPattern();

TEST(UpdateCheckTest, NewerReleaseWithMatchingAsset) {
  LogCapture log;
  std::string asked;
  const auto body = Release("v0.100", Asset("notes.txt", "https://example.org/notes", 3) + "," +
                                          Asset("Vandrel-0.100-" + kPattern, "https://example.org/setup", 123456));
  const auto info = CheckForUpdate("0.99.73", Serving(body, &asked), "https://feed.example/latest");
  EXPECT_EQ(asked, "https://feed.example/latest");
  ASSERT_TRUE(info.available);
  EXPECT_EQ(info.version, "0.100");
  EXPECT_EQ(info.downloadUrl, "https://example.org/setup");
  EXPECT_EQ(info.size, 123456);
  EXPECT_EQ(info.releaseNotes, "Fixes.\nMore.");
  EXPECT_EQ(info.pageUrl, "https://example.org/releases/v0.100");
  EXPECT_TRUE(log.Contains("[UPDATE] New version available: 0.100 (123456 bytes)"));
}

TEST(UpdateCheckTest, FirstAssetContainingThePatternWins) {
  LogCapture log;
  const auto body = Release("0.100", Asset("Vandrel-0.100-" + kPattern + ".sha256", "https://e/sum", 64) + "," +
                                         Asset("Vandrel-0.100-" + kPattern, "https://e/setup", 9));
  const auto info = CheckForUpdate("0.99.73", Serving(body));
  ASSERT_TRUE(info.available);
  EXPECT_EQ(info.downloadUrl, "https://e/sum");
  EXPECT_EQ(info.size, 64);
}

TEST(UpdateCheckTest, MissingFieldsTakeTheirDefaults) {
  LogCapture log;
  const auto info = CheckForUpdate("0.99.73", Serving(R"({"tag_name":"1.0","assets":[{"name":"x-)" + kPattern + R"("}]})"));
  ASSERT_TRUE(info.available);
  EXPECT_EQ(info.downloadUrl, "");
  EXPECT_EQ(info.size, 0);
  EXPECT_EQ(info.releaseNotes, "");
  EXPECT_EQ(info.pageUrl, "");
  EXPECT_TRUE(log.Contains("[UPDATE] New version available: 1.0 (0 bytes)"));
}

TEST(UpdateCheckTest, SameOrOlderOrUntaggedReleasesAreSilent) {
  LogCapture log;
  const auto asset = Asset("Vandrel-" + kPattern, "https://e/setup", 1);
  EXPECT_FALSE(CheckForUpdate("0.99.73", Serving(Release("v0.99.73", asset))).available);
  EXPECT_FALSE(CheckForUpdate("0.99.73", Serving(Release("0.99", asset))).available);
  // A rate-limit or error page is JSON without a tag.
  EXPECT_FALSE(CheckForUpdate("0.99.73", Serving(R"({"message":"API rate limit exceeded"})")).available);
  EXPECT_FALSE(CheckForUpdate("0.99.73", Serving(R"({"tag_name":"","assets":[]})")).available);
  // Newer, but a release without assets offers nothing.
  EXPECT_FALSE(CheckForUpdate("0.99.73", Serving(R"({"tag_name":"v0.100"})")).available);
  EXPECT_TRUE(log.Lines().empty()) << log.Lines().front();
}

TEST(UpdateCheckTest, NoMatchingAssetIsLogged) {
  LogCapture log;
  const auto info = CheckForUpdate("0.99.73", Serving(Release("v0.100", Asset("Vandrel-0.100.dmg", "https://e/m", 1))));
  EXPECT_FALSE(info.available);
  EXPECT_EQ(log.Count("[UPDATE] No matching asset found for pattern: " + kPattern), 1u);
  EXPECT_FALSE(log.Contains("New version available"));
}

TEST(UpdateCheckTest, MalformedOrMisshapenJsonIsAParseFailure) {
  for (const std::string& body : {std::string("{\"tag_name\": \"v1.0\""), std::string("<html>502</html>"),
                                 std::string(R"({"tag_name": 100})"), std::string(R"(["v1.0"])"),
                                 std::string(R"({"tag_name":"v9", /* no comments */ "assets":[]})"),
                                 std::string(R"({"tag_name":"v9","assets":[{"name":"a-)" + kPattern +
                                             R"(","size":"big"}]})")}) {
    LogCapture log;
    EXPECT_FALSE(CheckForUpdate("0.99.73", Serving(body)).available) << body;
    EXPECT_EQ(log.Count("[UPDATE] Failed to parse release JSON: [json.exception."), 1u) << body;
  }
}

TEST(UpdateCheckTest, ParseFailureLineEscapesTheFeedsBytes) {
  LogCapture log;
  // The parser quotes the byte it stopped at, and passes DEL through as it is.
  EXPECT_FALSE(CheckForUpdate("0.99.73", Serving("\x7f")).available);
  ASSERT_EQ(log.Count("[UPDATE] Failed to parse release JSON: "), 1u);
  EXPECT_TRUE(log.Contains("last read: '\\x7f'"));
  for (const auto& line : log.Lines()) EXPECT_EQ(line.find('\x7f'), std::string::npos) << line;
}

TEST(UpdateCheckTest, HttpFailureIsLogged) {
  LogCapture log;
  const HttpClientFactory failing = [] { return std::make_unique<CannedHttpClient>("", true, nullptr); };
  EXPECT_FALSE(CheckForUpdate("0.99.73", failing, "https://feed.example/latest").available);
  EXPECT_TRUE(log.Contains("[UPDATE] CheckForUpdate HTTP error: connection refused"));
}

TEST(UpdateCheckTest, FeedUrlFollowsTheEnvironment) {
#ifdef _WIN32
  _putenv_s("VANDREL_UPDATE_FEED", "");
  const std::string built = FeedUrl();
  _putenv_s("VANDREL_UPDATE_FEED", "http://127.0.0.1:9/feed");
  EXPECT_EQ(FeedUrl(), "http://127.0.0.1:9/feed");
  _putenv_s("VANDREL_UPDATE_FEED", "");
#else
  setenv("VANDREL_UPDATE_FEED", "", 1);
  const std::string built = FeedUrl();
  setenv("VANDREL_UPDATE_FEED", "http://127.0.0.1:9/feed", 1);
  EXPECT_EQ(FeedUrl(), "http://127.0.0.1:9/feed");
  unsetenv("VANDREL_UPDATE_FEED");
#endif
  EXPECT_EQ(built, FeedUrl());
  EXPECT_NE(built.find("://"), std::string::npos);
}

TEST(UpdateCheckTest, NothingToInstallWithoutARelease) {
  LogCapture log;
  bool asked = false;
  const HttpClientFactory clients = [&] {
    asked = true;
    return std::make_unique<CannedHttpClient>("", true, nullptr);
  };
  EXPECT_FALSE(DownloadAndLaunchInstaller(UpdateInfo{}, nullptr, clients));
  UpdateInfo noUrl;
  noUrl.available = true;
  EXPECT_FALSE(DownloadAndLaunchInstaller(noUrl, nullptr, clients));
  EXPECT_FALSE(asked);
  EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
}  // namespace vandrel::update
