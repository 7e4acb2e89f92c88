// Reads the pinned programs in a process of its own, because GLib takes its
// schema folder and settings backend from the environment at first use.
// Usage: vandrel_pinned_probe [THREADS]
// Prints the log lines, then "app: ..." per entry and, with THREADS, whether
// every thread saw the same list.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "desktop/linux/PinnedApps.h"

namespace {

using vandrel::desktop::AppInfo;

bool Same(const std::vector<AppInfo>& a, const std::vector<AppInfo>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].process != b[i].process || a[i].path != b[i].path || a[i].icon != b[i].icon) {
      return false;
    }
  }
  return true;
}

// The test's icons are the PNG signature and a text tag.
std::string IconTag(const std::vector<std::uint8_t>& icon) {
  std::string tag;
  for (std::size_t i = 8; i < icon.size(); ++i) tag += (icon[i] >= 0x20 && icon[i] < 0x7f) ? char(icon[i]) : '?';
  return tag;
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 0;
  try {
    std::vector<AppInfo> apps;
    if (threads > 0) {
      std::vector<std::vector<AppInfo>> results(static_cast<std::size_t>(threads));
      std::vector<std::thread> workers;
      for (auto& result : results) workers.emplace_back([&result] { result = vandrel::desktop::linux_desktop::PinnedApps(); });
      for (auto& worker : workers) worker.join();
      bool same = true;
      for (const auto& result : results) same = same && Same(result, results.front());
      std::printf("threads: %s\n", same ? "same" : "differ");
      apps = results.front();
    } else {
      apps = vandrel::desktop::linux_desktop::PinnedApps();
    }
    std::printf("entries: %zu\n", apps.size());
    for (const auto& app : apps) {
      std::printf("app: name=%s|process=%s|path=%s|icon=%s|hwnd=%llu|running=%d\n", app.name.c_str(),
                  app.process.c_str(), app.path.c_str(), IconTag(app.icon).c_str(),
                  static_cast<unsigned long long>(app.hwnd), app.running ? 1 : 0);
    }
  } catch (const std::exception& e) {
    std::printf("exception: %s\n", e.what());
    return 1;
  }
  return 0;
}
