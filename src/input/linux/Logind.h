// The power, session and backlight requests of systemd-logind, over the
// system D-Bus ($DBUS_SYSTEM_BUS_ADDRESS when set). Each call is
// non-interactive: polkit allows it or refuses it at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
/// Sets a backlight device's level through the session, as unprivileged users may.
std::optional<Failure> SetBrightness(std::string_view subsystem, std::string_view device, std::uint32_t level);

}  // namespace vandrel::logind
