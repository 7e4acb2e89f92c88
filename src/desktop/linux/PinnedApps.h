// The desktop's pinned programs on Linux: GNOME's favourites (the dash), each
// a desktop-file id resolved to its program and icon.
#pragma once

#include <string>
#include <vector>

#include "desktop/AppInfo.h"
#include "desktop/linux/XdgLookup.h"

namespace vandrel::desktop::linux_desktop {

/// Favourites past this many are not read: the phone lists at most kMaxListedApps.
inline constexpr std::size_t kMaxFavourites = kMaxListedApps;

/// The favourites as pinned (not running) entries, in the desktop's order;
/// empty on a desktop without org.gnome.shell settings. Reads the settings
/// and the file system on every call; safe from several threads at once.
std::vector<AppInfo> PinnedApps();

/// The entries for these desktop-file ids, found through `dirs`; an id whose
/// desktop file, or whose program, is missing is left out with a log line.
std::vector<AppInfo> PinnedAppsFromIds(const std::vector<std::string>& ids, const XdgDirs& dirs);

/// A program's list name: its file name up to the last '.'.
std::string ProgramDisplayName(const std::string& fileName);

}  // namespace vandrel::desktop::linux_desktop
