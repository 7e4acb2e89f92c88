// The Windows desktop: top-level windows, taskbar pins, switching, launching,
// opening addresses and the media keys. Only the Windows files and their tests
// include this header, so windows.h may come with it.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "desktop/AppInfo.h"
#include "desktop/Desktop.h"
#include "desktop/SmartMedia.h"
#include "infra/LogLimiter.h"

namespace vandrel::desktop {

/// The calls whose effects tests must see without them reaching the real
/// desktop: injected keys, the foreground change and starting programs.
struct DesktopCalls {
  std::function<UINT(std::span<INPUT> inputs)> sendInput;                  // SendInput
  std::function<bool(HWND window)> setForegroundWindow;                   // SetForegroundWindow
  std::function<bool(SHELLEXECUTEINFOW* info)> shellExecuteEx;            // ShellExecuteExW
  std::function<INT_PTR(const std::wstring& url)> openUrl;                // ShellExecuteW "open"
};

DesktopCalls RealDesktopCalls();

/// The program file behind a window, empty when its process cannot be opened.
std::wstring ImagePathOfWindow(HWND window);
/// The part after the last '\\' or '/', or all of it.
std::wstring FileNameOf(const std::wstring& path);

/// The visible, titled, non-tool top-level windows (not the desktop itself).
std::vector<AppInfo> RunningApps();

/// Needs COM on the calling thread. The target path, nothing when the link cannot be read.
std::optional<std::wstring> ResolveShortcut(const std::wstring& link);
/// The pinned entry for a program file; nothing when it has no file name.
std::optional<AppInfo> PinnedEntry(const std::wstring& target);
/// The programs recorded in the taskbar's registry blob.
std::vector<AppInfo> PinnedFromRegistry();
/// The .exe shortcuts in one folder, appended to `out`; returns how many were added.
std::size_t PinnedFromFolder(const std::wstring& folder, std::vector<AppInfo>& out);
/// Registry pins, then the shortcut folders' programs not already among them.
std::vector<AppInfo> PinnedApps();

/// Starts GDI+ once per process, for good; false when it cannot start.
bool StartGdiplus();
/// PNG bytes of the icon, small ones scaled up to `size`; empty for a null icon or on failure.
std::vector<std::uint8_t> IconToPng(HICON icon, int size = 64);
/// The largest icon the file gives, else the shell's icon for it.
std::vector<std::uint8_t> IconForFile(const std::wstring& path);
/// The program's icon when `imagePath` is known, else the window's own.
std::vector<std::uint8_t> IconForWindow(HWND window, const std::wstring& imagePath);

class WindowsSmartMediaKeys final : public SmartMediaKeys {
 public:
  explicit WindowsSmartMediaKeys(DesktopCalls calls) : calls_(std::move(calls)) {}

  std::optional<ForegroundInfo> Foreground() override;
  std::optional<std::uint16_t> LetterKey(char letter) override;
  std::uint16_t TapKey(std::uint16_t vk) override;
  void SendAltEnter() override;

 private:
  /// Sends the records to the foreground window's thread as if typed there.
  void SendToForeground(std::span<INPUT> inputs);

  DesktopCalls calls_;
};

class WindowsDesktop final : public Desktop {
 public:
  WindowsDesktop() : WindowsDesktop(RealDesktopCalls()) {}
  explicit WindowsDesktop(DesktopCalls calls) : calls_(calls), keys_(std::move(calls)) {}

  std::vector<AppInfo> GetAppList() override;
  bool SwitchToWindow(std::uint64_t hwnd) override;
  bool LaunchApp(const std::string& path) override;
  bool OpenUrl(const std::string& url) override;
  const char* UrlOpenerName() const override { return "ShellExecuteW"; }
  void HandleSmartMedia(std::uint32_t action) override;
  std::unique_ptr<LaserOverlay> MakeLaserOverlay() override { return std::make_unique<LaserOverlay>(); }

 private:
  DesktopCalls calls_;
  WindowsSmartMediaKeys keys_;
  std::mutex launchLogMutex_;
  LogLimiter launchLog_;  // a phone can send any number of bad paths
};

}  // namespace vandrel::desktop
