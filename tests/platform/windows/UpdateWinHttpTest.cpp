#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

#include "LogCapture.h"
#include "TempDir.h"
#include "update/windows/WinHttpClient.h"

namespace vandrel::update {
namespace {

std::string ErrorOf(IHttpClient& client, const std::string& url) {
  try {
    client.Get(url);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(WinHttpClientTest, FailuresThrowTheirStep) {
  WinHttpClient client;
  EXPECT_EQ(ErrorOf(client, "ftp-less-url"), "Invalid URL (missing scheme): ftp-less-url");
  // Nothing listens on port 1; which step notices depends on the system.
  EXPECT_EQ(ErrorOf(client, "http://127.0.0.1:1/").rfind("WinHttp", 0), 0u) << ErrorOf(client, "http://127.0.0.1:1/");
}

TEST(WinHttpClientTest, UnreachableDownloadIsFalse) {
  testing::LogCapture log;
  testing::TempDir folder;
  const std::string target = folder.File("Vandrel_update.exe");
  WinHttpClient client;
  bool called = false;
  EXPECT_FALSE(client.DownloadToFile("http://127.0.0.1:1/setup.exe", target, [&](std::int64_t, std::int64_t) {
    called = true;
  }));
  EXPECT_FALSE(client.DownloadToFile("no-scheme", target, nullptr));
  EXPECT_FALSE(called);
  EXPECT_FALSE(std::filesystem::exists(target));
  EXPECT_TRUE(log.Contains("[UPDATE] Download error: WinHttp"));
}

class RefusingClient : public IHttpClient {
 public:
  explicit RefusingClient(std::string* path) : path_(path) {}
  std::string Get(const std::string&) override { throw std::runtime_error("offline"); }
  bool DownloadToFile(const std::string&, const std::string& path, const UpdateProgress&) override {
    *path_ = path;
    return false;
  }

 private:
  std::string* path_;
};

TEST(WinHttpClientTest, FailedInstallerDownloadStartsNothing) {
  testing::LogCapture log;
  std::string path;
  UpdateInfo info;
  info.available = true;
  info.downloadUrl = "https://example.org/Vandrel-0.100-win64.exe";
  EXPECT_FALSE(DownloadAndLaunchInstaller(info, nullptr, [&] { return std::make_unique<RefusingClient>(&path); }));
  EXPECT_TRUE(path.ends_with("\\Vandrel_update.exe")) << path;
  EXPECT_TRUE(log.Contains("[UPDATE] Downloading installer from " + info.downloadUrl + " to " + path));
  EXPECT_TRUE(log.Contains("[UPDATE] Download failed"));
  EXPECT_FALSE(log.Contains("launching installer"));
}

}  // namespace
}  // namespace vandrel::update
