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

/// The lock, or null when another running instance holds it. When the lock
/// cannot be taken for another reason, that is logged and the result is a
/// stand-in that guards nothing: the program runs rather than refusing.
std::unique_ptr<SingleInstance> AcquireSingleInstance();

}  // namespace vandrel
