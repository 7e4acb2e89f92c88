// The per-user "start at log-on" entry: the Run key value on Windows, an XDG
// autostart desktop file on Linux.
#pragma once

#include <memory>
#include <string>

namespace vandrel {

class AutoStart {
 public:
  virtual ~AutoStart() = default;
  /// Makes the system start `executable` at log-on. Failures are silent.
  virtual void Register(const std::string& executable) = 0;
  /// Removes the current user's entry; a machine-wide one is left alone.
  virtual void Unregister() = 0;
  /// True when the current user's or the machine-wide entry exists.
  virtual bool IsRegistered() const = 0;
};

/// The platform's entry.
std::unique_ptr<AutoStart> MakeAutoStart();

}  // namespace vandrel
