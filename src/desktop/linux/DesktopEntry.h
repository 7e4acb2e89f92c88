// The [Desktop Entry] group of a .desktop file, as far as pinned programs
// need it: the unlocalized keys with their values unescaped.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandrel::desktop::linux_desktop {

/// A larger file is not a desktop entry anyone wrote; it is skipped unread.
inline constexpr std::size_t kMaxDesktopFileBytes = std::size_t{1} << 20;

class DesktopEntry {
 public:
  /// Null when the group lacks the key.
  const std::string* Find(std::string_view key) const;
  /// The key's value, or `fallback` when it is absent.
  std::string Get(std::string_view key, std::string_view fallback = {}) const;
  /// A boolean key: only the exact value "true" is true.
  bool IsTrue(std::string_view key) const;

  /// Keeps the first value of a key given twice.
  void Set(std::string key, std::string value);
  std::size_t size() const { return keys_.size(); }

 private:
  std::map<std::string, std::string, std::less<>> keys_;
};

/// The [Desktop Entry] group of `text`; nullopt when the text has none.
/// Comments, other groups and localized keys (Name[de]) are left out.
std::optional<DesktopEntry> ParseDesktopEntry(std::string_view text);

/// Reads and parses the file; nullopt when it cannot be read, is not a
/// regular file, exceeds kMaxDesktopFileBytes or has no [Desktop Entry] group.
std::optional<DesktopEntry> ReadDesktopEntry(const std::string& path);

/// The arguments of an Exec value (already unescaped as a string): split at
/// blanks, double-quoted arguments with \" \` \$ \\ taken literally. Field
/// codes (%U) are left as they are. Empty on an unterminated quote.
std::vector<std::string> SplitExec(std::string_view exec);

/// The program the entry runs: TryExec when present, else Exec's first
/// argument; empty when there is neither.
std::string EntryProgram(const DesktopEntry& entry);

}  // namespace vandrel::desktop::linux_desktop
