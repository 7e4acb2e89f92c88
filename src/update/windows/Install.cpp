#include <windows.h>
#include <shellapi.h>

#include <exception>
#include <memory>

#include "infra/Logger.h"
#include "infra/TextEncoding.h"
#include "update/Updater.h"
#include "update/windows/WinHttpClient.h"

namespace vandrel::update {

std::unique_ptr<IHttpClient> MakePlatformHttpClient() { return std::make_unique<WinHttpClient>(); }

const char* AssetPattern() { return "win64.exe"; }

bool DownloadAndLaunchInstaller(const UpdateInfo& info, const UpdateProgress& progress,
                                const HttpClientFactory& clients) {
  if (!info.available || info.downloadUrl.empty()) return false;
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  if (length == 0 || length > MAX_PATH) return false;
  const std::string path = WideToUtf8(std::wstring_view(temp, length)) + "Vandrel_update.exe";
  Log() << "[UPDATE] Downloading installer from " << info.downloadUrl << " to " << path;
  try {
    const auto client = clients();
    if (!client || !client->DownloadToFile(info.downloadUrl, path, progress)) {
      Log() << "[UPDATE] Download failed";
      return false;
    }
  } catch (const std::exception& e) {
    Log() << "[UPDATE] Download failed: " << e.what();
    return false;
  }
  Log() << "[UPDATE] Download complete, launching installer";
  const HINSTANCE started = ShellExecuteW(nullptr, L"open", Utf8ToWide(path).c_str(), L"/S", nullptr, SW_HIDE);
  return reinterpret_cast<INT_PTR>(started) > 32;
}

}  // namespace vandrel::update
