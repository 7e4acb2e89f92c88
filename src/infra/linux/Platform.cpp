#include "infra/Platform.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace vandrel::platform {
namespace {

std::string HomeFolder() {
  if (auto home = Environment("HOME")) return *home;
  return "/tmp";
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::optional<std::string> Environment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> ExecutablePath() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  return path.string();
}

std::string DefaultLogFilePath() {
  const std::string state = Environment("XDG_STATE_HOME").value_or(HomeFolder() + "/.local/state");
  return state + "/Vandrel/vandrel.log";
}

std::FILE* OpenForAppendShared(const std::string& utf8Path) {
  std::error_code ec;
  const auto parent = std::filesystem::path(utf8Path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  return std::fopen(utf8Path.c_str(), "ae");  // "e": close-on-exec
}

std::uint64_t OpenFileSize(std::FILE* file) {
  struct stat info {};
  if (::fstat(::fileno(file), &info) != 0 || info.st_size < 0) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

bool RenameReplacing(const std::string& utf8From, const std::string& utf8To) {
  return ::rename(utf8From.c_str(), utf8To.c_str()) == 0;
}

std::tm LocalTime(std::time_t t) {
  std::tm result{};
  localtime_r(&t, &result);
  return result;
}

unsigned long CurrentProcessId() { return static_cast<unsigned long>(::getpid()); }

std::string SettingsFilePath() {
  const std::string config = Environment("XDG_CONFIG_HOME").value_or(HomeFolder() + "/.config");
  return config + "/Vandrel/settings.ini";
}

std::optional<std::string> ReadWholeFile(const std::string& utf8Path) {
  std::FILE* file = std::fopen(utf8Path.c_str(), "rb");
  if (!file) return std::nullopt;
  std::string text;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return std::nullopt;
  return text;
}

void FillRandom(void* data, std::size_t size) {
  auto* out = static_cast<unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::getrandom(out, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    out += n;
    size -= static_cast<std::size_t>(n);
  }
}

std::string_view NativeLineEnd() { return "\n"; }

bool WriteFileAtomically(const std::string& utf8Path, std::string_view contents, bool privateFile) {
  const std::filesystem::path target(utf8Path);
  std::error_code ec;
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), ec);

  std::string temp = utf8Path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());  // created with mode 0600
  if (fd < 0) return false;
  bool ok = privateFile || ::fchmod(fd, 0644) == 0;
  ok = ok && WriteAll(fd, contents) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temp.c_str(), utf8Path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // Make the rename itself survive a power cut.
  if (const int dir = ::open(target.has_parent_path() ? target.parent_path().c_str() : ".", O_RDONLY | O_DIRECTORY);
      dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace vandrel::platform
