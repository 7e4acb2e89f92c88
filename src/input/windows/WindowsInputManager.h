// Input on the Windows desktop through SendInput. windows.h stays out of this
// header: its macros would leak into every file that includes it.
#pragma once

#include "input/Injector.h"

namespace vandrel::InputManager {

class Windows : public Injector {
 public:
  Windows() = default;
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
  std::optional<std::string> PerformSystemAction(SystemAction action) override;
  std::string StepMonitorBrightness(bool up) override;
};

}  // namespace vandrel::InputManager
