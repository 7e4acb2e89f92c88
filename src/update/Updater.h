// Updates: once per start the release feed is asked whether a newer build
// exists; the window offers it, downloads the installer and starts it
// (Windows), or points to the release page (Linux).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vandrel::update {

struct UpdateInfo {
  bool available = false;
  std::string version;       // the tag without one leading "v"/"V"
  std::string downloadUrl;   // the matching asset's browser_download_url
  std::string releaseNotes;  // the release's body
  std::string pageUrl;       // the release's html_url
  std::int64_t size = 0;     // the matching asset's size, 0 when absent
};

/// (downloaded bytes, total bytes; 0 when the server did not say). May be empty.
using UpdateProgress = std::function<void(std::int64_t downloaded, std::int64_t total)>;

class IHttpClient {
 public:
  virtual ~IHttpClient() = default;
  /// The whole body of a GET; throws std::runtime_error on any failure.
  virtual std::string Get(const std::string& url) = 0;
  /// Streams a GET's body into `path`, calling `progress` after each block;
  /// true when the body was read to its end. Never throws.
  virtual bool DownloadToFile(const std::string& url, const std::string& path, const UpdateProgress& progress) = 0;
};

/// The most a feed may be; anything longer is not a release record.
inline constexpr std::size_t kMaxFeedBytes = std::size_t{1} << 20;

using HttpClientFactory = std::function<std::unique_ptr<IHttpClient>()>;

/// WinHTTP on Windows, libcurl on Linux.
std::unique_ptr<IHttpClient> MakePlatformHttpClient();

/// "v1.2.3" → {1, 2, 3}; a piece's leading digits count ("3-beta" → 3), a piece without any is 0.
std::vector<std::int32_t> ParseVersion(std::string_view text);
/// −1, 0 or 1; missing components are 0, so 1.2 equals 1.2.0.
int CompareVersions(std::string_view a, std::string_view b);

/// $VANDREL_UPDATE_FEED when set (tests, a local mirror), else the build's feed.
std::string FeedUrl();
/// The installer asset's name contains this: "win64.exe" on Windows, "linux-x86_64" on Linux.
const char* AssetPattern();

/// Never throws; every failure is logged and gives an unavailable result.
UpdateInfo CheckForUpdate(const std::string& currentVersion, const HttpClientFactory& clients = MakePlatformHttpClient,
                          const std::string& feedUrl = FeedUrl());

/// Windows: downloads the installer into the temporary folder as
/// "Vandrel_update.exe" and starts it with "/S"; true when it started.
/// Elsewhere there is no silent install: false.
bool DownloadAndLaunchInstaller(const UpdateInfo& info, const UpdateProgress& progress,
                                const HttpClientFactory& clients = MakePlatformHttpClient);

/// downloaded × 100 / total, 0 without a total.
int ProgressPercent(std::int64_t downloaded, std::int64_t total);
/// "下载中: D / T KB".
std::string ProgressText(std::int64_t downloaded, std::int64_t total);

struct ParsedUrl {
  std::string host;
  std::string path = "/";
  std::uint16_t port = 443;
  bool secure = true;
};
/// Throws std::runtime_error("Invalid URL (missing scheme): " + url) without "://";
/// a bad port throws as std::stoi does.
ParsedUrl ParseUrl(const std::string& url);

}  // namespace vandrel::update
