// The input manager of a machine without a usable display: the operations run
// their whole policy and the dump shows what would have been injected, but
// nothing reaches any desktop.
#pragma once

#include "input/Injector.h"

namespace vandrel::InputManager {

class Headless final : public Injector {
 public:
  ~Headless() override;

 protected:
  /// Takes the whole batch and drops it.
  unsigned SendBatch(std::span<const InputRecord> batch) override;
  bool IsControlHeld() override;
  // Without a desktop there is no clipboard, session or display to act on.
  void PutClipboardText(std::string_view utf8) override;
  std::optional<std::string> PerformSystemAction(SystemAction action) override;
  std::string StepMonitorBrightness(bool up) override;
};

}  // namespace vandrel::InputManager
