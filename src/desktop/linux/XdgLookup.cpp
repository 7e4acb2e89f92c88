#include "desktop/linux/XdgLookup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace vandrel::desktop::linux_desktop {

namespace {

// Each '-' may open a subfolder; real trees are one or two deep.
constexpr int kMaxIdDepth = 8;

bool IsRegularFile(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsExecutableFile(const std::string& path) { return IsRegularFile(path) && ::access(path.c_str(), X_OK) == 0; }

// Relative entries would make the result depend on the working folder.
std::vector<std::string> SplitAbsoluteList(std::string_view list) {
  std::vector<std::string> out;
  while (true) {
    const auto colon = list.find(':');
    const std::string_view item = list.substr(0, colon);
    if (!item.empty() && item.front() == '/') out.emplace_back(item);
    if (colon == std::string_view::npos) break;
    list.remove_prefix(colon + 1);
  }
  return out;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// `rest` is what is left of the id below `folder`.
std::string FindBelow(const std::string& folder, std::string_view rest, int depth) {
  const std::string plain = folder + "/" + std::string(rest);
  if (IsRegularFile(plain)) return plain;
  if (depth >= kMaxIdDepth) return {};
  for (auto dash = rest.find('-'); dash != std::string_view::npos; dash = rest.find('-', dash + 1)) {
    if (dash == 0 || dash + 1 == rest.size()) continue;
    const std::string sub = folder + "/" + std::string(rest.substr(0, dash));
    if (!IsDirectory(sub)) continue;
    std::string found = FindBelow(sub, rest.substr(dash + 1), depth + 1);
    if (!found.empty()) return found;
  }
  return {};
}

std::vector<std::string> DataFolders(const XdgDirs& dirs) {
  std::vector<std::string> out;
  if (!dirs.dataHome.empty()) out.push_back(dirs.dataHome);
  out.insert(out.end(), dirs.dataDirs.begin(), dirs.dataDirs.end());
  return out;
}

}  // namespace

XdgDirs XdgDirs::FromEnvironment() {
  XdgDirs dirs;
  dirs.dataHome = Env("XDG_DATA_HOME");
  if (dirs.dataHome.empty() || dirs.dataHome.front() != '/') {
    const std::string home = Env("HOME");
    dirs.dataHome = home.empty() ? std::string{} : home + "/.local/share";
  }
  dirs.dataDirs = SplitAbsoluteList(Env("XDG_DATA_DIRS"));
  if (dirs.dataDirs.empty()) dirs.dataDirs = {"/usr/local/share", "/usr/share"};
  dirs.path = Env("PATH");
  return dirs;
}

std::string FindDesktopFile(const std::string& id, const XdgDirs& dirs) {
  // An id names a file below the folders, never a way out of them.
  if (id.empty() || id.find('/') != std::string::npos || id.front() == '.') return {};
  for (const std::string& base : DataFolders(dirs)) {
    std::string found = FindBelow(base + "/applications", id, 0);
    if (!found.empty()) return found;
  }
  return {};
}

std::string FindProgram(const std::string& program, const XdgDirs& dirs) {
  if (program.empty()) return {};
  std::string found;
  if (program.find('/') != std::string::npos) {
    if (IsExecutableFile(program)) found = program;
  } else {
    for (const std::string& folder : SplitAbsoluteList(dirs.path)) {
      const std::string candidate = folder + "/" + program;
      if (IsExecutableFile(candidate)) {
        found = candidate;
        break;
      }
    }
  }
  if (found.empty()) return {};
  // The name a running copy has in /proc/PID/exe, so that the two match.
  char* real = ::realpath(found.c_str(), nullptr);
  if (!real) return {};
  std::string result(real);
  std::free(real);
  return result;
}

std::optional<std::string> ReadBoundedFile(const std::string& path, std::size_t maxBytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st{};
  std::string bytes;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) <= maxBytes;
  if (ok) {
    // One byte past the limit, so that a file grown since fstat is refused too.
    bytes.resize(maxBytes + 1);
    std::size_t used = 0;
    while (used < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + used, bytes.size() - used);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      used += static_cast<std::size_t>(n);
    }
    ok = ok && used <= maxBytes;
    bytes.resize(used);
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return bytes;
}

std::optional<std::vector<std::uint8_t>> ReadPngFile(const std::string& path) {
  static constexpr std::string_view kSignature("\x89PNG\r\n\x1a\n", 8);
  const auto bytes = ReadBoundedFile(path, kMaxIconFileBytes);
  if (!bytes || !std::string_view(*bytes).starts_with(kSignature)) return std::nullopt;
  return std::vector<std::uint8_t>(bytes->begin(), bytes->end());
}

std::vector<std::uint8_t> LoadIcon(const std::string& icon, const XdgDirs& dirs) {
  if (icon.empty()) return {};
  if (icon.front() == '/') return ReadPngFile(icon).value_or(std::vector<std::uint8_t>{});
  // A theme name is a bare name; anything with a folder in it is not one.
  if (icon.find('/') != std::string::npos || icon == "." || icon == "..") return {};
  static constexpr std::array<const char*, 6> kSizes = {"64x64", "48x48", "128x128", "256x256", "96x96", "32x32"};
  const std::vector<std::string> bases = DataFolders(dirs);
  // Size comes before folder: a fitting size anywhere beats a poor one in the data home.
  for (const char* size : kSizes) {
    for (const std::string& base : bases) {
      if (auto png = ReadPngFile(base + "/icons/hicolor/" + size + "/apps/" + icon + ".png")) return std::move(*png);
    }
  }
  if (!dirs.pixmaps.empty()) {
    if (auto png = ReadPngFile(dirs.pixmaps + "/" + icon + ".png")) return std::move(*png);
  }
  return {};
}

}  // namespace vandrel::desktop::linux_desktop
