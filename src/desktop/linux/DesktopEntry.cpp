#include "desktop/linux/DesktopEntry.h"

#include <algorithm>

#include "desktop/linux/XdgLookup.h"

namespace vandrel::desktop::linux_desktop {

namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

// The escapes of string values; an unknown one stays as written.
std::string Unescape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c != '\\' || i + 1 == value.size()) {
      out += c;
      continue;
    }
    switch (value[i + 1]) {
      case 's': out += ' '; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case '\\': out += '\\'; break;
      default: out += c; continue;  // the next character is kept on the next turn
    }
    ++i;
  }
  return out;
}

}  // namespace

const std::string* DesktopEntry::Find(std::string_view key) const {
  const auto it = keys_.find(key);
  return it == keys_.end() ? nullptr : &it->second;
}

std::string DesktopEntry::Get(std::string_view key, std::string_view fallback) const {
  const std::string* value = Find(key);
  return value ? *value : std::string(fallback);
}

bool DesktopEntry::IsTrue(std::string_view key) const {
  const std::string* value = Find(key);
  return value && *value == "true";
}

void DesktopEntry::Set(std::string key, std::string value) { keys_.emplace(std::move(key), std::move(value)); }

std::optional<DesktopEntry> ParseDesktopEntry(std::string_view text) {
  DesktopEntry entry;
  bool found = false;
  bool inGroup = false;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == '#') continue;
    if (trimmed.front() == '[') {
      // A second [Desktop Entry] group would be malformed; only the first counts.
      inGroup = !found && trimmed == "[Desktop Entry]";
      found = found || inGroup;
      continue;
    }
    if (!inGroup) continue;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    if (key.empty() || key.find('[') != std::string_view::npos) continue;
    // Blanks after '=' belong to the syntax, blanks at the end to the value.
    std::string_view value = line.substr(eq + 1);
    value.remove_prefix(std::min(value.size(), value.find_first_not_of(kBlanks)));
    entry.Set(std::string(key), Unescape(value));
  }
  if (!found) return std::nullopt;
  return entry;
}

std::optional<DesktopEntry> ReadDesktopEntry(const std::string& path) {
  const auto text = ReadBoundedFile(path, kMaxDesktopFileBytes);
  if (!text) return std::nullopt;
  return ParseDesktopEntry(*text);
}

std::vector<std::string> SplitExec(std::string_view exec) {
  std::vector<std::string> args;
  std::string current;
  bool inArgument = false;
  bool quoted = false;
  for (std::size_t i = 0; i < exec.size(); ++i) {
    const char c = exec[i];
    if (quoted) {
      if (c == '"') {
        quoted = false;
      } else if (c == '\\' && i + 1 < exec.size() && std::string_view("\"`$\\").find(exec[i + 1]) != std::string_view::npos) {
        current += exec[++i];
      } else {
        current += c;
      }
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (inArgument) args.push_back(std::move(current));
      current.clear();
      inArgument = false;
    } else if (c == '"') {
      quoted = true;
      inArgument = true;
    } else {
      current += c;
      inArgument = true;
    }
  }
  if (quoted) return {};
  if (inArgument) args.push_back(std::move(current));
  return args;
}

std::string EntryProgram(const DesktopEntry& entry) {
  if (const std::string* tryExec = entry.Find("TryExec"); tryExec && !tryExec->empty()) return *tryExec;
  const std::string* exec = entry.Find("Exec");
  if (!exec) return {};
  auto args = SplitExec(*exec);
  return args.empty() ? std::string{} : std::move(args.front());
}

}  // namespace vandrel::desktop::linux_desktop
