#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <nlohmann/json.hpp>

#include "infra/Logger.h"
#include "infra/PrintableText.h"
#include "update/Updater.h"

namespace vandrel::update {

std::string FeedUrl() {
  const char* override = std::getenv("VANDREL_UPDATE_FEED");
  if (override && *override) return override;
  return VANDREL_UPDATE_FEED;
}

namespace {

// Reads the feed; json exceptions (malformed text, a field of the wrong type,
// a root that is no object) leave for the caller's one parse-failure line.
UpdateInfo ReadRelease(const std::string& body, const std::string& currentVersion) {
  UpdateInfo info;
  const auto release = nlohmann::json::parse(body, nullptr, true, false);
  std::string tag = release.value("tag_name", std::string());
  if (tag.empty()) return info;
  if (tag[0] == 'v' || tag[0] == 'V') tag.erase(0, 1);
  if (CompareVersions(tag, currentVersion) <= 0) return info;
  const auto assets = release.find("assets");
  if (assets == release.end()) return info;

  const std::string pattern = AssetPattern();
  const nlohmann::json* match = nullptr;
  for (const auto& asset : *assets) {
    if (asset.value("name", std::string()).find(pattern) != std::string::npos) {
      match = &asset;
      break;
    }
  }
  if (!match) {
    Log() << "[UPDATE] No matching asset found for pattern: " << pattern;
    return info;
  }
  info.version = tag;
  info.downloadUrl = match->value("browser_download_url", std::string());
  info.size = match->value("size", std::int64_t{0});
  info.releaseNotes = release.value("body", std::string());
  info.pageUrl = release.value("html_url", std::string());
  info.available = true;
  // The feed is text from outside: control bytes must not make log lines of their own.
  Log() << "[UPDATE] New version available: " << Printable(info.version) << " (" << info.size << " bytes)";
  return info;
}

}  // namespace

UpdateInfo CheckForUpdate(const std::string& currentVersion, const HttpClientFactory& clients,
                          const std::string& feedUrl) {
  std::string body;
  try {
    const auto client = clients();
    if (!client) throw std::runtime_error("no HTTP client");
    body = client->Get(feedUrl);
  } catch (const std::exception& e) {
    // The reason may quote the server or the address it sent us to.
    Log() << "[UPDATE] CheckForUpdate HTTP error: " << Printable(e.what());
    return {};
  }
  try {
    return ReadRelease(body, currentVersion);
  } catch (const nlohmann::json::exception& e) {
    // The reason quotes the feed's last bytes; the parser escapes only some of them.
    Log() << "[UPDATE] Failed to parse release JSON: " << Printable(e.what());
    return {};
  }
}

int ProgressPercent(std::int64_t downloaded, std::int64_t total) {
  if (total <= 0 || downloaded <= 0) return 0;
  // A server may send more than it announced; the bar stops at full.
  if (downloaded >= total) return 100;
  return static_cast<int>(downloaded * 100 / total);
}

std::string ProgressText(std::int64_t downloaded, std::int64_t total) {
  char text[96];
  std::snprintf(text, sizeof text, "下载中: %lld / %lld KB", static_cast<long long>(downloaded / 1024),
                static_cast<long long>(total / 1024));
  return text;
}

}  // namespace vandrel::update
