#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string>

#include "update/Updater.h"

namespace vandrel::update {

namespace {

// Leading digits in base 10; anything unreadable counts as 0 so that a
// malformed tag still compares rather than being dropped.
std::int32_t ParsePiece(std::string_view piece) {
  const std::string text(piece);
  if (text.empty() || text[0] < '0' || text[0] > '9') return 0;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno == ERANGE || end == text.c_str() || value > std::numeric_limits<std::int32_t>::max()) return 0;
  return static_cast<std::int32_t>(value);
}

}  // namespace

std::vector<std::int32_t> ParseVersion(std::string_view text) {
  if (!text.empty() && (text[0] == 'v' || text[0] == 'V')) text.remove_prefix(1);
  std::vector<std::int32_t> pieces;
  for (;;) {
    const auto dot = text.find('.');
    pieces.push_back(ParsePiece(text.substr(0, dot)));
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  return pieces;
}

int CompareVersions(std::string_view a, std::string_view b) {
  const auto left = ParseVersion(a);
  const auto right = ParseVersion(b);
  const std::size_t length = std::max(left.size(), right.size());
  for (std::size_t i = 0; i < length; ++i) {
    const std::int32_t l = i < left.size() ? left[i] : 0;
    const std::int32_t r = i < right.size() ? right[i] : 0;
    if (l != r) return l < r ? -1 : 1;
  }
  return 0;
}

}  // namespace vandrel::update
