// Input on the Windows desktop through SendInput. windows.h stays out of this
// header: its macros would leak into every file that includes it.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "input/Injector.h"

namespace vandrel::InputManager {

/// The calls that power off, suspend, log off or lock the PC. Each returns
/// whether the system took the request, leaving its error in GetLastError()
/// otherwise. Tests put harmless ones in their place.
struct SystemCalls {
  std::function<bool(unsigned flags, unsigned long reason)> exitWindows;  // ExitWindowsEx
  std::function<bool(bool hibernate, bool force, bool wakeEventsDisabled)> suspend;  // SetSuspendState
  std::function<bool()> lock;  // LockWorkStation
};

/// The real calls; SetSuspendState comes from powrprof.dll, loaded when asked for.
SystemCalls RealSystemCalls();

class Windows : public Injector {
 public:
  Windows();
  explicit Windows(SystemCalls calls);
  ~Windows() override;

 protected:
  /// Returns what SendInput returns: the records it took, 0 when blocked.
  unsigned SendBatch(std::span<const InputRecord> batch) override;
  /// Lets the keys reach the foreground window as if typed there, so that
  /// its keyboard state (modifiers held, focus) is the one our input sees.
  void AttachToForeground() override;
  void DetachFromForeground() override;
  bool IsControlHeld() override;
  std::string ForegroundTitle() override;
  void PutClipboardText(std::string_view utf8) override;
  /// Enables SeShutdownPrivilege in the process token.
  bool PrepareSystemAction(SystemAction action) override;
  std::optional<std::string> PerformSystemAction(SystemAction action) override;
  /// DDC/CI through dxva2.dll, loaded for the one step.
  std::string StepMonitorBrightness(bool up) override;

  /// The library the DDC/CI step loads; tests name one without the monitor API.
  void SetMonitorLibrary(std::wstring name) { monitorLibrary_ = std::move(name); }

 private:
  SystemCalls calls_;
  std::wstring monitorLibrary_ = L"dxva2.dll";
};

}  // namespace vandrel::InputManager
