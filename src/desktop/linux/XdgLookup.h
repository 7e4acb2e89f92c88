// Where the freedesktop.org conventions put desktop files, programs and
// icons. Plain file system look-ups with the folders passed in, so that
// they need no environment of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "desktop/AppInfo.h"

namespace vandrel::desktop::linux_desktop {

/// A larger icon would arrive cut, which is no image: it is not sent.
inline constexpr std::size_t kMaxIconFileBytes = kMaxIconBytes;

struct XdgDirs {
  std::string dataHome;               // $XDG_DATA_HOME, or ~/.local/share
  std::vector<std::string> dataDirs;  // $XDG_DATA_DIRS, or /usr/local/share and /usr/share
  std::string path;                   // $PATH, for programs named without a folder
  std::string pixmaps = "/usr/share/pixmaps";

  /// The folders this process's environment names.
  static XdgDirs FromEnvironment();
};

/// The desktop file of a desktop-file id such as "org.gnome.Terminal.desktop":
/// searched in each applications folder, data home first, as the plain file
/// name, then with a '-' of the id standing for a subfolder. Empty when none.
std::string FindDesktopFile(const std::string& id, const XdgDirs& dirs);

/// The program's real path: a name without '/' found in dirs.path (the first
/// executable match), then resolved through its links. Empty when missing.
std::string FindProgram(const std::string& program, const XdgDirs& dirs);

/// The PNG bytes of a desktop entry's Icon value: an absolute path, or a name
/// in the hicolor theme (64, 48, 128, 256, 96, 32 pixels in that preference),
/// then in the pixmaps folder. Empty when there is no PNG within kMaxIconFileBytes.
std::vector<std::uint8_t> LoadIcon(const std::string& icon, const XdgDirs& dirs);

/// The whole file when it is a regular file of at most `maxBytes`; a FIFO or
/// device is refused without blocking.
std::optional<std::string> ReadBoundedFile(const std::string& path, std::size_t maxBytes);

/// The file's bytes when it is a regular file with the PNG signature and at
/// most kMaxIconFileBytes long.
std::optional<std::vector<std::uint8_t>> ReadPngFile(const std::string& path);

}  // namespace vandrel::desktop::linux_desktop
