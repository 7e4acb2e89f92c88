// The applications with windows on the desktop, merged with the taskbar pins.
#include <windows.h>

#include <objbase.h>

#include <cwctype>

#include "desktop/windows/WindowsDesktop.h"
#include "infra/Logger.h"
#include "infra/TextEncoding.h"

namespace vandrel::desktop {
namespace {

constexpr DWORD kImagePathUnits = 260;

BOOL CALLBACK CollectWindow(HWND window, LPARAM context) {
  reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
  return TRUE;
}

std::wstring WindowTitle(HWND window) {
  const int length = ::GetWindowTextLengthW(window);
  if (length <= 0) return {};
  std::wstring title(static_cast<std::size_t>(length) + 1, L'\0');
  // The title may have changed since its length was asked; take what fits.
  const int copied = ::GetWindowTextW(window, title.data(), length + 1);
  title.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
  return title;
}

bool EqualsIgnoringCase(const std::wstring& a, const wchar_t* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != L'\0'; ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return i == a.size() && b[i] == L'\0';
}

// The shell's desktop window is listed like any other, but is no application.
bool IsDesktopWindow(const std::wstring& process, const std::wstring& title) {
  return EqualsIgnoringCase(process, L"explorer.exe") && title == L"Program Manager";
}

}  // namespace

std::wstring FileNameOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring ImagePathOfWindow(HWND window) {
  DWORD pid = 0;
  ::GetWindowThreadProcessId(window, &pid);
  const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return {};
  std::wstring path(kImagePathUnits, L'\0');
  DWORD units = kImagePathUnits;
  const bool found = ::QueryFullProcessImageNameW(process, 0, path.data(), &units) != FALSE;
  ::CloseHandle(process);
  if (!found) return {};
  path.resize(units);
  return path;
}

std::vector<AppInfo> RunningApps() {
  std::vector<HWND> windows;
  ::EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&windows));
  std::vector<AppInfo> apps;
  for (const HWND window : windows) {
    if (!::IsWindowVisible(window)) continue;
    if ((::GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) != 0) continue;
    const std::wstring title = WindowTitle(window);
    if (title.empty()) continue;
    const std::wstring imagePath = ImagePathOfWindow(window);
    const std::wstring process = FileNameOf(imagePath);
    if (process.empty() || IsDesktopWindow(process, title)) continue;
    AppInfo app;
    app.name = WideToUtf8(title);
    app.process = WideToUtf8(process);
    app.icon = IconForWindow(window, imagePath);
    app.hwnd = reinterpret_cast<std::uintptr_t>(window);
    app.running = true;
    app.path = WideToUtf8(imagePath);
    Log() << "[AppList] Found app: name=\"" << app.name << "\", process=\"" << app.process
          << "\", iconSize=" << app.icon.size() << " bytes, hwnd=0x" << std::hex << app.hwnd;
    apps.push_back(std::move(app));
  }
  return apps;
}

std::vector<AppInfo> WindowsDesktop::GetAppList() {
  Log() << "[AppList] Enumerating application windows...";
  // Shortcuts are read through COM on this worker thread. Whatever it answers
  // (already initialised, another apartment), the calls below still work, and
  // the thread keeps COM for the next list.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Log() << "[AppList] CoInitializeEx result: 0x" << std::hex << static_cast<unsigned long>(com);
  std::vector<AppInfo> running = RunningApps();
  Log() << "[AppList] Running windows: " << running.size() << " apps found";
  std::vector<AppInfo> pinned = PinnedApps();
  Log() << "[AppList] Pinned apps: " << pinned.size() << " apps found";
  return MergeAppList(std::move(running), std::move(pinned));
}

}  // namespace vandrel::desktop
