// One running instance per user session.
#pragma once

#include <memory>

namespace vandrel {

class SingleInstance {
 public:
  virtual ~SingleInstance() = default;
  /// Releases the lock before the process ends (for a restart).
  virtual void Release() = 0;
};

/// The lock, or null when another instance holds it.
std::unique_ptr<SingleInstance> AcquireSingleInstance();

}  // namespace vandrel
