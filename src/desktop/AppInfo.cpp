#include "desktop/AppInfo.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

#include "infra/Logger.h"

namespace vandrel::desktop {
namespace {

constexpr std::uint8_t kAppListData = 17;
constexpr std::size_t kMaxShortText = 255;
constexpr std::size_t kMaxPath = 65'535;
// Taskband records: a 4-byte header of length and type; type 1 carries a path.
constexpr std::size_t kBlobSkipped = 4;
constexpr std::size_t kRecordHeader = 4;
constexpr std::uint16_t kPathRecord = 1;
constexpr std::size_t kMaxPathUnits = 259;

template <typename T>
void AppendLe(std::vector<std::uint8_t>& out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint16_t Load16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

template <typename Length, typename Bytes>
void AppendCut(std::vector<std::uint8_t>& out, const Bytes& bytes, std::size_t limit) {
  const std::size_t length = std::min(bytes.size(), limit);
  AppendLe(out, static_cast<Length>(length));
  out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

}  // namespace

std::vector<std::uint8_t> SerializeAppList(std::span<const AppInfo> apps) {
  // A path cut short would launch some other program, so such an entry is left out whole.
  std::vector<const AppInfo*> listed;
  for (const AppInfo& app : apps) {
    if (listed.size() == kMaxListedApps) break;
    if (app.path.size() > kMaxPath) {
      Log() << "[CONNECTION] App \"" << app.name.substr(0, kMaxShortText) << "\" left out of APP_LIST_DATA: path of "
            << app.path.size() << " bytes";
      continue;
    }
    listed.push_back(&app);
  }
  std::vector<std::uint8_t> out;
  AppendLe(out, static_cast<std::uint16_t>(listed.size()));
  for (const AppInfo* app : listed) {
    AppendCut<std::uint8_t>(out, app->name, kMaxShortText);
    AppendCut<std::uint8_t>(out, app->process, kMaxShortText);
    AppendCut<std::uint16_t>(out, app->icon, kMaxIconBytes);
    AppendLe(out, app->hwnd);
    out.push_back(app->running ? 1 : 0);
    AppendCut<std::uint16_t>(out, app->path, kMaxPath);
  }
  return out;
}

std::vector<std::uint8_t> AppListDataPacket(std::span<const AppInfo> apps) {
  const std::vector<std::uint8_t> payload = SerializeAppList(apps);
  std::vector<std::uint8_t> packet;
  packet.reserve(5 + payload.size());
  packet.push_back(kAppListData);
  AppendLe(packet, static_cast<std::uint32_t>(payload.size()));
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

std::vector<AppInfo> MergeAppList(std::vector<AppInfo> running, std::vector<AppInfo> pinned) {
  std::vector<AppInfo> merged;
  merged.reserve(running.size() + pinned.size());
  std::unordered_set<std::string> open;
  for (AppInfo& app : running) {
    app.running = true;
    open.insert(app.process);
    merged.push_back(std::move(app));
  }
  for (AppInfo& app : pinned) {
    if (open.count(app.process) != 0) {
      Log() << "[AppList] Pinned app \"" << app.name << "\" is already running (skipping duplicate)";
      continue;
    }
    app.running = false;
    merged.push_back(std::move(app));
  }
  Log() << "[AppList] Merged list: " << merged.size() << " total apps";
  std::size_t openCount = 0;
  std::uint64_t iconBytes = 0;
  for (const AppInfo& app : merged) {
    openCount += app.running ? 1 : 0;
    iconBytes += app.icon.size();
  }
  Log() << "[AppList] Summary: " << openCount << " open, " << merged.size() - openCount << " closed, " << iconBytes
        << " bytes (" << iconBytes / 1024 << " KB) icons";
  return merged;
}

std::vector<std::u16string> ParseTaskbandBlob(std::span<const std::uint8_t> blob) {
  std::vector<std::u16string> paths;
  if (blob.size() < kBlobSkipped + kRecordHeader) return paths;
  std::size_t at = kBlobSkipped;
  while (blob.size() - at >= kRecordHeader) {
    const std::size_t length = Load16(&blob[at]);
    const std::uint16_t type = Load16(&blob[at + 2]);
    if (length < kRecordHeader || length > blob.size() - at) break;
    if (type == kPathRecord && length > kRecordHeader) {
      const std::size_t units = (length - kRecordHeader) / 2;
      if (units >= 1 && units <= kMaxPathUnits) {
        std::u16string path;
        for (std::size_t i = 0; i < units; ++i) path.push_back(static_cast<char16_t>(Load16(&blob[at + 4 + 2 * i])));
        while (!path.empty() && path.back() == u'\0') path.pop_back();
        if (!path.empty()) paths.push_back(std::move(path));
      }
    }
    at += length;
  }
  return paths;
}

}  // namespace vandrel::desktop
