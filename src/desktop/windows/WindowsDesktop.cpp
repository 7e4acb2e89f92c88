// Switching, launching and opening addresses on the Windows desktop.
#include "desktop/windows/WindowsDesktop.h"

#include "infra/Logger.h"
#include "infra/TextEncoding.h"

namespace vandrel::desktop {

DesktopCalls RealDesktopCalls() {
  DesktopCalls calls;
  calls.sendInput = [](std::span<INPUT> inputs) {
    return ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), static_cast<int>(sizeof(INPUT)));
  };
  calls.setForegroundWindow = [](HWND window) { return ::SetForegroundWindow(window) != FALSE; };
  calls.shellExecuteEx = [](SHELLEXECUTEINFOW* info) { return ::ShellExecuteExW(info) != FALSE; };
  calls.openUrl = [](const std::wstring& url) {
    return reinterpret_cast<INT_PTR>(::ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  };
  return calls;
}

bool WindowsDesktop::SwitchToWindow(std::uint64_t hwnd) {
  const auto window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(hwnd));
  if (!window || !::IsWindow(window)) return false;
  if (::IsIconic(window)) ::ShowWindow(window, SW_RESTORE);
  // Windows lets only the foreground's input thread hand the foreground on,
  // so the call borrows that thread's input state for the moment.
  const DWORD current = ::GetCurrentThreadId();
  const HWND foreground = ::GetForegroundWindow();
  const DWORD foregroundThread = foreground ? ::GetWindowThreadProcessId(foreground, nullptr) : 0;
  bool attached = false;
  if (foregroundThread != 0 && foregroundThread != current) {
    attached = ::AttachThreadInput(current, foregroundThread, TRUE) != FALSE;
  }
  const bool switched = calls_.setForegroundWindow(window);
  if (!switched) {
    ::ShowWindow(window, SW_SHOW);
    calls_.setForegroundWindow(window);  // a second chance; its answer is not the one reported
  }
  if (attached) ::AttachThreadInput(current, foregroundThread, FALSE);
  return switched;
}

bool WindowsDesktop::LaunchApp(const std::string& path) {
  const std::wstring wide = Utf8ToWide(path);
  if (wide.empty()) return false;
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = L"open";
  info.lpFile = wide.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (calls_.shellExecuteEx(&info)) {
    if (info.hProcess) ::CloseHandle(info.hProcess);
    return true;
  }
  // The line shows each unit's low byte, as the tools that read this log expect.
  std::string narrow;
  narrow.reserve(wide.size());
  for (const wchar_t unit : wide) narrow.push_back(static_cast<char>(unit & 0xFF));
  LogPermit permit;
  {
    std::lock_guard lock(launchLogMutex_);
    permit = launchLog_.Next();
  }
  if (permit) Log() << "[AppList] Failed to launch: " << narrow << permit;
  return false;
}

bool WindowsDesktop::OpenUrl(const std::string& url) { return calls_.openUrl(Utf8ToWide(url)) > 32; }

void WindowsDesktop::HandleSmartMedia(std::uint32_t action) { HandleSmartMediaAction(keys_, action); }

std::unique_ptr<Desktop> MakePlatformDesktop(InputManager::Injector*) { return std::make_unique<WindowsDesktop>(); }

}  // namespace vandrel::desktop
