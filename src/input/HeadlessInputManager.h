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
  void LockWorkstation() override;
};

}  // namespace vandrel::InputManager
