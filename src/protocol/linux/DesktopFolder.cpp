#include "protocol/DesktopFolder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string_view>
#include <system_error>

#include "infra/Platform.h"

namespace vandrel {
namespace {

// The value of one `NAME="value"` line of user-dirs.dirs, which is written to be
// sourced by a shell: quotes delimit, a backslash escapes the next character.
std::string ShellValue(std::string_view text) {
  std::string value;
  if (text.empty() || text.front() != '"') {
    const auto end = text.find_first_of(" \t#");
    return std::string(text.substr(0, end));
  }
  for (std::size_t i = 1; i < text.size() && text[i] != '"'; ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) ++i;
    value.push_back(text[i]);
  }
  return value;
}

// xdg-user-dirs allows only "$HOME/..." and absolute paths; pointing an entry at
// the home folder itself is how a user switches that folder off.
std::optional<std::string> ExpandUserDir(const std::string& value, const std::optional<std::string>& home) {
  constexpr std::string_view kHome = "$HOME";
  if (value.starts_with(kHome)) {
    const std::string rest = value.substr(kHome.size());
    if (rest.empty() || rest == "/" || rest.front() != '/' || !home) return std::nullopt;
    return *home + rest;
  }
  if (value.starts_with('/')) return value;
  return std::nullopt;
}

std::optional<std::string> DesktopFromUserDirs(const std::optional<std::string>& home) {
  std::string config;
  if (auto configHome = platform::Environment("XDG_CONFIG_HOME")) {
    config = *configHome;
  } else if (home) {
    config = *home + "/.config";
  } else {
    return std::nullopt;
  }
  const auto contents = platform::ReadWholeFile(config + "/user-dirs.dirs");
  if (!contents) return std::nullopt;

  constexpr std::string_view kKey = "XDG_DESKTOP_DIR=";
  std::optional<std::string> found;
  std::istringstream lines(*contents);
  std::string line;
  while (std::getline(lines, line)) {
    std::string_view text(line);
    const auto start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) continue;
    text.remove_prefix(start);
    if (!text.starts_with(kKey)) continue;  // comments and the other folders
    text.remove_prefix(kKey.size());
    // As when the shell sources the file, a later line overrides an earlier one.
    found = ExpandUserDir(ShellValue(text), home);
  }
  return found;
}

}  // namespace

std::string GetDesktopFolder() {
  if (auto folder = platform::Environment("XDG_DESKTOP_DIR")) return *folder;
  const auto home = platform::Environment("HOME");
  if (auto folder = DesktopFromUserDirs(home)) return *folder;
  if (home) {
    const std::string desktop = *home + "/Desktop";
    std::error_code ec;
    if (std::filesystem::is_directory(desktop, ec)) return desktop;
  }
  return "/tmp";
}

namespace platform {

bool IsPlainFileName(const std::string&) { return true; }

std::string DesktopFilePath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::FILE* CreateReceivedFile(const std::string& utf8Path, bool& nameTaken) {
  nameTaken = false;
  // O_EXCL also refuses a symbolic link of that name, dangling or not, so a
  // link planted on the desktop or in /tmp is never written through.
  const int fd = ::open(utf8Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    nameTaken = errno == EEXIST;
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (!file) ::close(fd);
  return file;
}

}  // namespace platform
}  // namespace vandrel
