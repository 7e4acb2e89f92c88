// The power, session and backlight requests of systemd-logind, over the
// system D-Bus ($DBUS_SYSTEM_BUS_ADDRESS when set). Each call is
// non-interactive: polkit allows it or refuses it at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "input/SystemActions.h"

namespace vandrel::logind {

/// A refused or failed call: the D-Bus error name and its message, e.g.
/// "org.freedesktop.DBus.Error.AccessDenied: Permission denied".
using Failure = std::string;

// Each returns nothing on success. They block for at most a few seconds.
std::optional<Failure> PowerOff();
std::optional<Failure> Reboot();
std::optional<Failure> Suspend();
/// Ends this user's graphical session.
std::optional<Failure> TerminateOwnSession();
/// Locks this user's graphical session.
std::optional<Failure> LockOwnSession();
/// The power or session request for `action`; kWake asks nothing of logind.
std::optional<Failure> Perform(InputManager::SystemAction action);
/// Sets a backlight device's level through the session, as unprivileged users may.
std::optional<Failure> SetBrightness(std::string_view subsystem, std::string_view device, std::uint32_t level);

/// Reads whether logind has this user's session locked (its LockedHint),
/// over one bus connection kept between reads and made again after a failure.
/// One thread at a time.
class LockedHintReader {
 public:
  LockedHintReader();
  ~LockedHintReader();
  LockedHintReader(const LockedHintReader&) = delete;
  LockedHintReader& operator=(const LockedHintReader&) = delete;

  /// Nothing when logind cannot be asked; each read waits at most a second.
  std::optional<bool> Read();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vandrel::logind
