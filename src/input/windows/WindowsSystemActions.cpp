// The Windows calls behind the clipboard, power, lock and brightness
// operations; what to do and what to log when is decided in Injector.
#include <windows.h>

#include <highlevelmonitorconfigurationapi.h>
#include <physicalmonitorenumerationapi.h>

#include <climits>
#include <cstring>
#include <vector>

#include "infra/Logger.h"
#include "input/windows/WindowsInputManager.h"

namespace vandrel::InputManager {
namespace {

// Asks for no more than the system's own shutdown would: a planned one.
constexpr DWORD kShutdownReason = 0x20000;  // SHTDN_REASON_MAJOR_OPERATINGSYSTEM

// GetProcAddress hands back one generic type; going through void(*)() keeps
// the compiler from warning about the cast to the real one.
template <typename Function>
Function Resolve(HMODULE library, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(library, name)));
}

bool SuspendThroughPowrprof(bool hibernate, bool force, bool wakeEventsDisabled) {
  const HMODULE powrprof = ::LoadLibraryW(L"powrprof.dll");
  if (!powrprof) return false;
  using SetSuspendStateFn = BOOLEAN(WINAPI*)(BOOLEAN, BOOLEAN, BOOLEAN);
  const auto setSuspendState = Resolve<SetSuspendStateFn>(powrprof, "SetSuspendState");
  bool done = false;
  if (setSuspendState) done = setSuspendState(hibernate, force, wakeEventsDisabled) != FALSE;
  // FreeLibrary must not overwrite the error the caller reports.
  const DWORD error = ::GetLastError();
  ::FreeLibrary(powrprof);
  ::SetLastError(error);
  return done;
}

}  // namespace

SystemCalls RealSystemCalls() {
  SystemCalls calls;
  calls.exitWindows = [](unsigned flags, unsigned long reason) { return ::ExitWindowsEx(flags, reason) != FALSE; };
  calls.suspend = SuspendThroughPowrprof;
  calls.lock = [] { return ::LockWorkStation() != FALSE; };
  return calls;
}

void Windows::PutClipboardText(std::string_view utf8) {
  // UTF-16 never takes more units than UTF-8 takes bytes, so one pass fills
  // a buffer of the text's size plus the terminator. Protocol messages are far
  // smaller than the guard, which keeps the int conversion exact.
  int length = 0;
  std::vector<wchar_t> wide(utf8.size() + 1, L'\0');
  if (utf8.size() < static_cast<std::size_t>(INT_MAX)) {
    const int size = static_cast<int>(utf8.size());
    length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), size);
  } else {
    ::SetLastError(ERROR_INVALID_PARAMETER);
  }
  if (length <= 0) {
    Log() << "[Clipboard] MultiByteToWideChar failed: " << ::GetLastError();
    return;
  }
  wide.resize(static_cast<std::size_t>(length) + 1);
  wide[static_cast<std::size_t>(length)] = L'\0';
  // No owner window: nothing of ours has to answer clipboard messages.
  if (!::OpenClipboard(nullptr)) {
    Log() << "[Clipboard] OpenClipboard failed: " << ::GetLastError();
    return;
  }
  if (!::EmptyClipboard()) {
    Log() << "[Clipboard] EmptyClipboard failed: " << ::GetLastError();
    ::CloseClipboard();
    return;
  }
  const std::size_t bytes = wide.size() * sizeof(wchar_t);
  const HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
  if (!memory) {
    Log() << "[Clipboard] GlobalAlloc failed: " << ::GetLastError();
    ::CloseClipboard();
    return;
  }
  void* target = ::GlobalLock(memory);
  if (!target) {
    Log() << "[Clipboard] GlobalLock failed: " << ::GetLastError();
    ::GlobalFree(memory);
    ::CloseClipboard();
    return;
  }
  std::memcpy(target, wide.data(), bytes);
  ::GlobalUnlock(memory);
  // On success the clipboard owns the memory.
  if (!::SetClipboardData(CF_UNICODETEXT, memory)) {
    Log() << "[Clipboard] SetClipboardData failed: " << ::GetLastError();
    ::GlobalFree(memory);
    ::CloseClipboard();
    return;
  }
  ::CloseClipboard();
  Log() << "[Clipboard] Clipboard set successfully";
}

bool Windows::PrepareSystemAction(SystemAction) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    Log() << "[System] OpenProcessToken failed: " << ::GetLastError();
    return false;
  }
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!::LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid)) {
    Log() << "[System] LookupPrivilegeValue(SE_SHUTDOWN_NAME) failed: " << ::GetLastError();
    ::CloseHandle(token);
    return false;
  }
  if (!::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr)) {
    Log() << "[System] AdjustTokenPrivileges failed: " << ::GetLastError();
    ::CloseHandle(token);
    return false;
  }
  // A call that worked may still not have granted it (ERROR_NOT_ALL_ASSIGNED).
  if (const DWORD error = ::GetLastError(); error != ERROR_SUCCESS) {
    Log() << "[System] AdjustTokenPrivileges reported error: " << error;
    ::CloseHandle(token);
    return false;
  }
  ::CloseHandle(token);
  return true;
}

std::optional<std::string> Windows::PerformSystemAction(SystemAction action) {
  bool done = true;
  switch (action) {
    case SystemAction::kShutdown:
      done = calls_.exitWindows(EWX_SHUTDOWN | EWX_FORCEIFHUNG, kShutdownReason);
      break;
    case SystemAction::kRestart:
      done = calls_.exitWindows(EWX_REBOOT | EWX_FORCEIFHUNG, kShutdownReason);
      break;
    case SystemAction::kLogoff:
      done = calls_.exitWindows(EWX_LOGOFF | EWX_FORCEIFHUNG, kShutdownReason);
      break;
    case SystemAction::kSleep:
      done = calls_.suspend(false, false, false);
      break;
    case SystemAction::kLock:
      done = calls_.lock();
      break;
    case SystemAction::kWake:
      break;
  }
  if (done) return std::nullopt;
  return std::to_string(::GetLastError());
}

namespace {

// The dxva2 monitor API, resolved by name from whatever library was loaded.
struct MonitorApi {
  decltype(&::GetNumberOfPhysicalMonitorsFromHMONITOR) count = nullptr;
  decltype(&::GetPhysicalMonitorsFromHMONITOR) get = nullptr;
  decltype(&::GetMonitorBrightness) read = nullptr;
  decltype(&::SetMonitorBrightness) write = nullptr;
  decltype(&::DestroyPhysicalMonitors) destroy = nullptr;

  explicit MonitorApi(HMODULE library)
      : count(Resolve<decltype(count)>(library, "GetNumberOfPhysicalMonitorsFromHMONITOR")),
        get(Resolve<decltype(get)>(library, "GetPhysicalMonitorsFromHMONITOR")),
        read(Resolve<decltype(read)>(library, "GetMonitorBrightness")),
        write(Resolve<decltype(write)>(library, "SetMonitorBrightness")),
        destroy(Resolve<decltype(destroy)>(library, "DestroyPhysicalMonitors")) {}
  bool Complete() const { return count && get && read && write && destroy; }
};

BOOL CALLBACK CollectMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM context) {
  reinterpret_cast<std::vector<HMONITOR>*>(context)->push_back(monitor);
  return TRUE;
}

// Steps every physical monitor behind one display; true when any changed.
bool StepDisplay(const MonitorApi& api, HMONITOR display, bool up) {
  DWORD count = 0;
  if (!api.count(display, &count) || count == 0) return false;
  std::vector<PHYSICAL_MONITOR> monitors(count);
  if (!api.get(display, count, monitors.data())) return false;
  bool changed = false;
  for (const auto& monitor : monitors) {
    const HANDLE handle = monitor.hPhysicalMonitor;
    const auto read = [&]() -> std::optional<BrightnessLevel> {
      DWORD minimum = 0, current = 0, maximum = 0;
      if (!api.read(handle, &minimum, &current, &maximum)) return std::nullopt;
      return BrightnessLevel{minimum, current, maximum};
    };
    const auto write = [&](std::uint32_t level) { return api.write(handle, level) != FALSE; };
    if (StepOneMonitor(read, write, up, "[Brightness] DDC/CI: ")) changed = true;
  }
  api.destroy(count, monitors.data());
  return changed;
}

}  // namespace

std::string Windows::StepMonitorBrightness(bool up) {
  const HMODULE library = ::LoadLibraryW(monitorLibrary_.c_str());
  if (!library) {
    Log() << "[Brightness] DDC/CI: dxva2.dll not available";
    return {};
  }
  const MonitorApi api(library);
  if (!api.Complete()) {
    Log() << "[Brightness] DDC/CI: Physical Monitor API not found in dxva2.dll";
    ::FreeLibrary(library);
    return {};
  }
  std::vector<HMONITOR> displays;
  ::EnumDisplayMonitors(nullptr, nullptr, CollectMonitor, reinterpret_cast<LPARAM>(&displays));
  bool changed = false;
  for (const HMONITOR display : displays) {
    if (StepDisplay(api, display, up)) changed = true;
  }
  ::FreeLibrary(library);
  return changed ? "DDC/CI" : "";
}

}  // namespace vandrel::InputManager
