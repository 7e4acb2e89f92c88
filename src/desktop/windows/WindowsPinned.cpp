// The programs pinned to the taskbar: the shell's registry blob, then the
// shortcut folders that older and newer shells keep beside it.
#include <windows.h>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cwctype>
#include <unordered_set>

#include "desktop/windows/WindowsDesktop.h"
#include "infra/Logger.h"
#include "infra/TextEncoding.h"

namespace vandrel::desktop {
namespace {

constexpr const wchar_t* kTaskbandKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Taskband";
constexpr const wchar_t* kQuickLaunch = L"\\Microsoft\\Internet Explorer\\Quick Launch";
constexpr int kLinkPathUnits = 260;

std::wstring LowerTail(const std::wstring& text, std::size_t units) {
  std::wstring tail = text.substr(text.size() - units);
  for (wchar_t& c : tail) c = static_cast<wchar_t>(std::towlower(c));
  return tail;
}

std::optional<std::vector<std::uint8_t>> ReadValue(HKEY key, const wchar_t* name) {
  DWORD size = 0;
  if (::RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
  std::vector<std::uint8_t> data(size);
  if (::RegQueryValueExW(key, name, nullptr, nullptr, data.data(), &size) != ERROR_SUCCESS) return std::nullopt;
  data.resize(size);
  return data;
}

// Newer shells keep the resolved form; a missing or empty one means the plain list.
std::vector<std::uint8_t> ReadTaskbandBlob() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, kTaskbandKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  DWORD size = 0;
  const bool resolved =
      ::RegQueryValueExW(key, L"FavoritesResolve", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size != 0;
  std::optional<std::vector<std::uint8_t>> blob = ReadValue(key, resolved ? L"FavoritesResolve" : L"Favorites");
  if (!blob && resolved) blob = ReadValue(key, L"Favorites");
  ::RegCloseKey(key);
  return blob ? std::move(*blob) : std::vector<std::uint8_t>{};
}

template <typename Interface>
void Release(Interface*& object) {
  if (object) object->Release();
  object = nullptr;
}

}  // namespace

std::optional<std::wstring> ResolveShortcut(const std::wstring& link) {
  IShellLinkW* shellLink = nullptr;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&shellLink))) ||
      !shellLink) {
    return std::nullopt;
  }
  IPersistFile* file = nullptr;
  std::optional<std::wstring> target;
  if (SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) && file &&
      SUCCEEDED(file->Load(link.c_str(), STGM_READ))) {
    wchar_t path[kLinkPathUnits] = {};
    if (SUCCEEDED(shellLink->GetPath(path, kLinkPathUnits, nullptr, SLGP_SHORTPATH))) target = path;
  }
  Release(file);
  Release(shellLink);
  return target;
}

std::optional<AppInfo> PinnedEntry(const std::wstring& target) {
  const std::wstring process = FileNameOf(target);
  if (process.empty()) return std::nullopt;
  AppInfo app;
  app.name = WideToUtf8(process.substr(0, process.find_last_of(L'.')));
  app.process = WideToUtf8(process);
  app.icon = IconForFile(target);
  app.running = false;
  app.path = WideToUtf8(target);
  return app;
}

std::vector<AppInfo> PinnedFromRegistry() {
  const std::vector<std::uint8_t> blob = ReadTaskbandBlob();
  const std::vector<std::u16string> paths = ParseTaskbandBlob(blob);
  Log() << "[AppList] Found " << paths.size() << " pinned taskbar items from registry";
  std::vector<AppInfo> apps;
  for (const std::u16string& unitPath : paths) {
    const std::wstring path(unitPath.begin(), unitPath.end());
    if (path.size() < 4) continue;
    const std::wstring extension = LowerTail(path, 4);
    std::optional<std::wstring> target;
    if (extension == L".lnk") {
      target = ResolveShortcut(path);
    } else if (extension == L".exe") {
      target = path;
    }
    if (!target) continue;
    if (auto app = PinnedEntry(*target)) apps.push_back(std::move(*app));
  }
  return apps;
}

std::size_t PinnedFromFolder(const std::wstring& folder, std::vector<AppInfo>& out) {
  const std::wstring pattern = folder + L"\\*.lnk";
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    Log() << "[AppList] FindFirstFileW failed for " << WideToUtf8(pattern) << ", error=" << ::GetLastError();
    return 0;
  }
  std::size_t shortcuts = 0;
  std::size_t added = 0;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    ++shortcuts;
    const std::wstring name = found.cFileName;
    Log() << "[AppList] Found lnk: " << WideToUtf8(name) << " -> resolving...";
    const std::wstring full = folder + L"\\" + name;
    const std::optional<std::wstring> target = ResolveShortcut(full);
    if (!target) {
      Log() << "[AppList]   ResolveShortcut FAILED for: " << WideToUtf8(full);
      continue;
    }
    Log() << "[AppList]   Resolved to: " << WideToUtf8(*target);
    const std::size_t dot = target->find_last_of(L'.');
    if (dot == std::wstring::npos) continue;
    if (LowerTail(*target, target->size() - dot) != L".exe") {
      Log() << "[AppList]   Skipping non-exe target";
      continue;
    }
    std::optional<AppInfo> app = PinnedEntry(*target);
    if (!app) continue;
    Log() << "[AppList] Pinned (file): name=\"" << app->name << "\", process=\"" << app->process
          << "\", iconSize=" << app->icon.size() << " bytes";
    out.push_back(std::move(*app));
    ++added;
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  Log() << "[AppList] Found " << added << "/" << shortcuts << " pinned items from " << WideToUtf8(folder);
  return added;
}

std::vector<AppInfo> PinnedApps() {
  std::vector<AppInfo> pinned = PinnedFromRegistry();
  std::vector<AppInfo> files;
  wchar_t appData[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData))) {
    Log() << "[AppList] Failed to get AppData path for pinned apps";
  } else {
    const std::wstring quickLaunch = std::wstring(appData) + kQuickLaunch;
    PinnedFromFolder(quickLaunch + L"\\User Pinned\\TaskBar", files);
    PinnedFromFolder(quickLaunch + L"\\Legacy\\TaskBar", files);
  }
  Log() << "[AppList] Found " << files.size() << " pinned taskbar items from file system";
  std::unordered_set<std::string> known;
  for (const AppInfo& app : pinned) known.insert(app.process);
  for (AppInfo& app : files) {
    if (known.insert(app.process).second) pinned.push_back(std::move(app));
  }
  Log() << "[AppList] Total pinned taskbar apps: " << pinned.size();
  return pinned;
}

}  // namespace vandrel::desktop
