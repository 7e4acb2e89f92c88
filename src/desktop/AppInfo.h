// The phone's task switcher: the applications with open windows, then the
// pinned ones that are not running, and their wire form (APP_LIST_DATA).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vandrel::desktop {

struct AppInfo {
  std::string name;     // UTF-8: the window title, or a pinned program's file name without extension
  std::string process;  // UTF-8 file name of the program, with extension: the identity of an application
  std::vector<std::uint8_t> icon;  // PNG bytes, empty when there is none
  std::uint64_t hwnd = 0;          // the top-level window, 0 for a pinned program
  bool running = false;
  std::string path;  // UTF-8 program path; the phone sends it back to launch it
};

/// At most this many entries go to the phone.
inline constexpr std::size_t kMaxListedApps = 255;
/// An icon is cut to this many bytes on the wire; icon makers keep below it.
inline constexpr std::size_t kMaxIconBytes = 65'535;

/// The APP_LIST_DATA payload: a 16-bit count, then one record per entry (the
/// first 255), name and process cut at 255 bytes, the icon at 65,535. An
/// entry whose path does not fit its 16-bit length is left out, with a log line.
std::vector<std::uint8_t> SerializeAppList(std::span<const AppInfo> apps);

/// The whole APP_LIST_DATA packet: command 17, the payload's 32-bit length, the payload.
std::vector<std::uint8_t> AppListDataPacket(std::span<const AppInfo> apps);

/// Running entries first in their order, then the pinned ones whose process
/// is not among them; logs each skipped duplicate, the merged count and the summary.
std::vector<AppInfo> MergeAppList(std::vector<AppInfo> running, std::vector<AppInfo> pinned);

/// The program paths recorded in the taskbar's pinned-programs blob, as UTF-16 strings.
std::vector<std::u16string> ParseTaskbandBlob(std::span<const std::uint8_t> blob);

}  // namespace vandrel::desktop
