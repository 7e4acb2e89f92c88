// Start at log-on through the XDG autostart folders: the user's entry is
// $XDG_CONFIG_HOME/autostart/vandrel.desktop; machine-wide entries under
// $XDG_CONFIG_DIRS (default /etc/xdg) are only read.

#include <filesystem>
#include <vector>

#include "infra/AutoStart.h"
#include "infra/Platform.h"

namespace vandrel {
namespace {

constexpr const char* kEntryName = "vandrel.desktop";

std::string UserEntryPath() {
  const std::string config = platform::Environment("XDG_CONFIG_HOME")
                                 .value_or(platform::Environment("HOME").value_or("/tmp") + "/.config");
  return config + "/autostart/" + kEntryName;
}

std::vector<std::string> MachineEntryPaths() {
  std::vector<std::string> paths;
  const std::string dirs = platform::Environment("XDG_CONFIG_DIRS").value_or("/etc/xdg");
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const auto end = std::min(dirs.find(':', start), dirs.size());
    if (end > start) paths.push_back(dirs.substr(start, end - start) + "/autostart/" + kEntryName);
    start = end + 1;
  }
  return paths;
}

// Exec= wants the program as one quoted argument, where the quote, backquote,
// dollar and backslash take a backslash; the whole value is then escaped again
// as a desktop-file string, and a literal percent sign is written twice.
std::string QuoteExec(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string value;
  for (char c : quoted) {
    if (c == '\\') value += "\\\\";
    else if (c == '%') value += "%%";
    else if (c == '\n') value += "\\n";
    else value += c;
  }
  return value;
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

class DesktopEntryAutoStart final : public AutoStart {
 public:
  void Register(const std::string& executable) override {
    std::string entry;
    entry += "[Desktop Entry]\n";
    entry += "Type=Application\n";
    entry += "Name=Vandrel\n";
    entry += "Comment=Phone remote control for this PC\n";
    entry += "Exec=" + QuoteExec(executable) + "\n";
    entry += "Terminal=false\n";
    entry += "X-GNOME-Autostart-enabled=true\n";
    platform::WriteFileAtomically(UserEntryPath(), entry, false);
  }

  void Unregister() override {
    std::error_code ec;
    std::filesystem::remove(UserEntryPath(), ec);
  }

  bool IsRegistered() const override {
    if (Exists(UserEntryPath())) return true;
    for (const auto& path : MachineEntryPaths()) {
      if (Exists(path)) return true;
    }
    return false;
  }
};

}  // namespace

std::unique_ptr<AutoStart> MakeAutoStart() { return std::make_unique<DesktopEntryAutoStart>(); }

}  // namespace vandrel
