#include "vandrel-phone/InputText.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <optional>
#include <span>

#include "vandrel-phone/Options.h"

namespace vandrel::phone {
namespace {

struct Named {
  std::string_view name;
  std::uint8_t value;
};

constexpr Named kKeyNames[] = {
    {"enter", 0x28},    {"esc", 0x29},   {"backspace", 0x2A}, {"tab", 0x2B},    {"space", 0x2C},
    {"insert", 0x49},   {"home", 0x4A},  {"pageup", 0x4B},    {"delete", 0x4C}, {"end", 0x4D},
    {"pagedown", 0x4E}, {"right", 0x4F}, {"left", 0x50},      {"down", 0x51},   {"up", 0x52},
};

constexpr Named kModifierNames[] = {
    {"ctrl", kModLeftCtrl},   {"shift", kModLeftShift},   {"alt", kModLeftAlt},   {"win", kModLeftWin},
    {"rctrl", kModRightCtrl}, {"rshift", kModRightShift}, {"ralt", kModRightAlt}, {"rwin", kModRightWin},
};

constexpr Named kMediaActions[] = {
    {"right", 0x01}, {"left", 0x02}, {"next", 0x04}, {"previous", 0x08},
    {"play", 0x10},  {"mute", 0x20}, {"up", 0x40},   {"down", 0x80},
};

constexpr Named kSystemUsages[] = {
    {"shutdown", 0x81}, {"sleep", 0x82}, {"wake", 0x83}, {"restart", 0x84}, {"logoff", 0x85}, {"lock", 0x86},
};

constexpr std::uint8_t kUsageA = 0x04;
constexpr std::uint8_t kUsage1 = 0x1E;  // then 2..9 and 0 at 0x27
constexpr std::uint8_t kUsageSpace = 0x2C;
constexpr std::uint8_t kUsageF1 = 0x3A;

// Punctuation of a US layout by key: the unshifted and the shifted character
// of each key at the same index, its usage in kPunctuationUsages.
constexpr std::string_view kPunctuationPlain = "-=[]\\;'`,./";
constexpr std::string_view kPunctuationShifted = "_+{}|:\"~<>?";
constexpr std::uint8_t kPunctuationUsages[] = {0x2D, 0x2E, 0x2F, 0x30, 0x31, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38};
// The shifted digit keys, from 1 to 0.
constexpr std::string_view kDigitsShifted = "!@#$%^&*()";

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A byte given in decimal or with a 0x prefix in hex; nullopt when malformed
// or above 255.
std::optional<std::uint8_t> ParseByte(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || ec != std::errc{} || ptr != end || value > 0xFF) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

std::uint8_t DigitUsage(char digit) {
  return digit == '0' ? static_cast<std::uint8_t>(kUsage1 + 9) : static_cast<std::uint8_t>(kUsage1 + (digit - '1'));
}

std::optional<std::uint8_t> NamedKey(const std::string& name) {
  if (name.size() == 1 && name[0] >= 'a' && name[0] <= 'z') return static_cast<std::uint8_t>(kUsageA + (name[0] - 'a'));
  if (name.size() == 1 && name[0] >= '0' && name[0] <= '9') return DigitUsage(name[0]);
  for (const Named& key : kKeyNames) {
    if (key.name == name) return key.value;
  }
  if (name.size() >= 2 && name.size() <= 3 && name[0] == 'f' && name[1] != '0') {
    unsigned number = 0;
    const auto [ptr, ec] = std::from_chars(name.data() + 1, name.data() + name.size(), number);
    if (ec == std::errc{} && ptr == name.data() + name.size() && number >= 1 && number <= 12) {
      return static_cast<std::uint8_t>(kUsageF1 + number - 1);
    }
  }
  return std::nullopt;
}

// A name from `names` or a byte in decimal or hex; throws UsageError naming `what`.
std::uint8_t ParseNamedByte(const std::string& text, std::span<const Named> names, const std::string& what) {
  const std::string name = Lower(text);
  for (const Named& entry : names) {
    if (entry.name == name) return entry.value;
  }
  if (const auto value = ParseByte(name)) return *value;
  std::string known;
  for (const Named& entry : names) known += (known.empty() ? "" : ", ") + std::string(entry.name);
  throw UsageError("'" + text + "' is no " + what + ": give " + known + " or a byte (decimal or 0x hex)");
}

std::optional<KeyStroke> StrokeFor(char c) {
  if (c >= 'a' && c <= 'z') return KeyStroke{static_cast<std::uint8_t>(kUsageA + (c - 'a')), 0};
  if (c >= 'A' && c <= 'Z') return KeyStroke{static_cast<std::uint8_t>(kUsageA + (c - 'A')), kModLeftShift};
  if (c >= '0' && c <= '9') return KeyStroke{DigitUsage(c), 0};
  if (c == ' ') return KeyStroke{kUsageSpace, 0};
  if (const auto at = kDigitsShifted.find(c); at != std::string_view::npos) {
    return KeyStroke{static_cast<std::uint8_t>(kUsage1 + at), kModLeftShift};
  }
  if (const auto at = kPunctuationPlain.find(c); at != std::string_view::npos) {
    return KeyStroke{kPunctuationUsages[at], 0};
  }
  if (const auto at = kPunctuationShifted.find(c); at != std::string_view::npos) {
    return KeyStroke{kPunctuationUsages[at], kModLeftShift};
  }
  return std::nullopt;
}

}  // namespace

std::int8_t ParseStep(const std::string& text, const std::string& what) {
  std::string_view digits = text;
  // from_chars takes a minus but no plus; "+5" is how people write a step.
  if (digits.size() > 1 && digits[0] == '+' && digits[1] != '-') digits.remove_prefix(1);
  int value = 0;
  const char* end = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), end, value);
  if (digits.empty() || ec != std::errc{} || ptr != end || value < -128 || value > 127) {
    throw UsageError(what + " needs a whole number from -128 to 127, not '" + text + "'");
  }
  return static_cast<std::int8_t>(value);
}

std::uint8_t ParseKeyUsage(const std::string& text) {
  const std::string name = Lower(text);
  if (const auto key = NamedKey(name)) return *key;
  if (const auto usage = ParseByte(name)) return *usage;
  throw UsageError("'" + text + "' is no key: give a usage from 0 to 255 (decimal or 0x hex) or a name (a, 5, f5)");
}

std::uint8_t ParseModifiers(const std::string& text) {
  const std::string names = Lower(text);
  if (const auto bits = ParseByte(names)) return *bits;
  std::uint8_t bits = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t plus = std::min(names.find('+', start), names.size());
    const std::string_view name = std::string_view(names).substr(start, plus - start);
    const auto* found = std::find_if(std::begin(kModifierNames), std::end(kModifierNames),
                                     [&](const Named& modifier) { return modifier.name == name; });
    if (found == std::end(kModifierNames)) {
      throw UsageError("'" + text + "' is no modifier: give bits (decimal or 0x hex) or names such as ctrl+shift");
    }
    bits = static_cast<std::uint8_t>(bits | found->value);
    if (plus == names.size()) return bits;
    start = plus + 1;
  }
}

std::uint8_t ParseMediaAction(const std::string& text) { return ParseNamedByte(text, kMediaActions, "media action"); }

std::uint8_t ParseSystemUsage(const std::string& text) { return ParseNamedByte(text, kSystemUsages, "system usage"); }

std::vector<KeyStroke> KeyStrokesFor(std::string_view text) {
  if (text.empty()) throw UsageError("type needs some text");
  std::vector<KeyStroke> strokes;
  strokes.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto stroke = StrokeFor(text[i]);
    if (!stroke) {
      throw UsageError("type sends printable ASCII only; byte " + HexByte(static_cast<std::uint8_t>(text[i])) +
                       " at position " + std::to_string(i + 1) + " is not");
    }
    strokes.push_back(*stroke);
  }
  return strokes;
}

std::string HexByte(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value));
  return text;
}

std::string KeyNamesHelp() {
  return "Keys (USAGE): a HID usage from 0 to 255 in decimal or 0x hex, or a name:\n"
         "  a-z, 0-9, enter, esc, backspace, tab, space, up, down, left, right, home,\n"
         "  end, pageup, pagedown, delete, insert, f1-f12. A lone digit is that digit's\n"
         "  key; write 0x05 for usage 5.\n"
         "Modifiers (MODS): bits in decimal or 0x hex (0x01 ctrl, 0x02 shift, 0x04 alt,\n"
         "  0x08 win, 0x10-0x80 the right-hand ones) or names joined by '+': ctrl,\n"
         "  shift, alt, win, rctrl, rshift, ralt, rwin (ctrl+shift).\n"
         "type TEXT sends printable ASCII as KEYCLICKs for a US layout, shift added\n"
         "  where a character needs it.\n";
}

}  // namespace vandrel::phone
