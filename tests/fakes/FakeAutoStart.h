// Records what Settings asks of the start-up entry.
#pragma once

#include <string>

#include "infra/AutoStart.h"

namespace vandrel::testing {

class FakeAutoStart final : public AutoStart {
 public:
  void Register(const std::string& executable) override {
    registered = executable;
    userEntry = true;
  }
  void Unregister() override { userEntry = false; }
  bool IsRegistered() const override { return userEntry || machineEntry; }

  std::string registered;
  bool userEntry = false;
  bool machineEntry = false;
};

}  // namespace vandrel::testing
