// What every fuzz target shares: a scratch folder, a quiet log whose lines are
// checked, and the guard for targets that open the program's real ports.
#pragma once

#include <fcntl.h>
#include <ifaddrs.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "infra/Logger.h"
#include "infra/PrintableText.h"

namespace vandrel::fuzz {

/// Stops the run the way a sanitizer would, so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "==FUZZ== %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline std::atomic<bool>& LogChecked() {
  static std::atomic<bool> checked{false};
  return checked;
}

// Long-lived objects that own threads are ended here, before the statics
// they log through are destroyed.
inline std::vector<std::function<void()>>& Cleanups() {
  static auto* cleanups = new std::vector<std::function<void()>>;
  return *cleanups;
}

inline void RunCleanups() {
  LogChecked() = false;
  auto& cleanups = Cleanups();
  for (auto it = cleanups.rbegin(); it != cleanups.rend(); ++it) (*it)();
  cleanups.clear();
}

/// A folder of this process under $TMPDIR, removed at a normal exit.
inline const std::string& ScratchDir() {
  static const std::string dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vandrel-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) Fail("cannot make a scratch folder under " + pattern);
    return pattern;
  }();
  return dir;
}

/// Registers `cleanup` to run at exit, after those registered later.
inline void AtExit(std::function<void()> cleanup) {
  static std::once_flag registered;
  std::call_once(registered, [] {
    // Made first, so that it is still there when the exit handler runs.
    ScratchDir();
    std::atexit([] {
      RunCleanups();
      std::error_code ignored;
      std::filesystem::remove_all(ScratchDir(), ignored);
    });
  });
  Cleanups().push_back(std::move(cleanup));
}

/// Standard output (the program's log lines) goes nowhere unless
/// VANDREL_FUZZ_VERBOSE is set; the log file lives in the scratch folder.
/// Every line is checked: bytes from a peer or a file must reach the log
/// escaped, or they could forge lines and drive a terminal.
inline void QuietLog() {
  AtExit([] {});
  if (!std::getenv("VANDREL_FUZZ_VERBOSE")) {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      std::fflush(stdout);
      ::dup2(null, STDOUT_FILENO);
      ::close(null);
    }
  }
  // The input dump would be a line for every injected record.
  ::setenv("VANDREL_SENDINPUT_DEBUG", "0", 1);
  Logger::Create(ScratchDir() + "/fuzz.log");
  SetLogLineSink([](const std::string& line) {
    if (!LogChecked()) return;
    for (const char c : line) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7F) Fail("log line with a raw control byte: " + Printable(line));
    }
  });
  LogChecked() = true;
}

/// The network targets bind Vandrel's own ports and the discovery side
/// broadcasts, so they run only where loopback is the one interface.
inline void RequirePrivateNetwork(const char* target) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) Fail(std::string(target) + ": getifaddrs failed");
  bool privateNetwork = true;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (entry->ifa_name && std::string_view(entry->ifa_name) != "lo") privateNetwork = false;
  }
  ::freeifaddrs(list);
  if (!privateNetwork) {
    std::fprintf(stderr, "%s opens Vandrel's ports: run it through scripts/netns-run.sh\n", target);
    std::exit(2);
  }
}

/// Empties a folder the target lets the program write into; true when it held anything.
inline bool ClearFolder(const std::string& folder) {
  bool any = false;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    any = true;
    std::filesystem::remove_all(entry.path(), ec);
  }
  return any;
}

/// Fails when the scratch folder holds anything but `allowed` and the log files:
/// a received file has landed outside the folder it was meant for.
inline void CheckScratchHoldsOnly(const std::vector<std::string>& allowed) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(ScratchDir(), ec)) {
    const std::string name = entry.path().filename().string();
    if (name == "fuzz.log" || name == "fuzz.log.1") continue;
    bool known = false;
    for (const auto& a : allowed) known = known || name == a;
    if (!known) Fail("a file landed outside the receiving folder: " + Printable(name));
  }
}

/// Waits for `fd` to become readable, at most `milliseconds`.
inline bool Readable(int fd, int milliseconds) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, milliseconds) > 0 && (entry.revents & POLLIN);
}

/// A slice of the input, read front to back; reads past the end give zeros and empty spans.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::size_t left() const { return size_ - at_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::vector<std::uint8_t> Take(std::size_t count) {
    count = std::min(count, left());
    std::vector<std::uint8_t> out(data_ + at_, data_ + at_ + count);
    at_ += count;
    return out;
  }
  std::vector<std::uint8_t> Rest() { return Take(left()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace vandrel::fuzz
