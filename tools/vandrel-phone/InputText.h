// Reading the arguments of the input commands: signed steps, HID key usages
// and modifiers by number or name, and text to type on a US layout.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vandrel::phone {

/// HID keyboard modifier bits, as KEYCLICK, KEYDOWN and KEYUP carry them.
inline constexpr std::uint8_t kModLeftCtrl = 0x01;
inline constexpr std::uint8_t kModLeftShift = 0x02;
inline constexpr std::uint8_t kModLeftAlt = 0x04;
inline constexpr std::uint8_t kModLeftWin = 0x08;
inline constexpr std::uint8_t kModRightCtrl = 0x10;
inline constexpr std::uint8_t kModRightShift = 0x20;
inline constexpr std::uint8_t kModRightAlt = 0x40;
inline constexpr std::uint8_t kModRightWin = 0x80;

/// A decimal from -128 to 127, the range of MOVE, SCROLL, SCROLL_H and ZOOM.
/// Throws UsageError naming `what`.
std::int8_t ParseStep(const std::string& text, const std::string& what);

/// A HID keyboard usage: decimal ("40"), hex ("0x28") or a key name ("enter",
/// "a", "f5", case ignored). A lone digit names that digit's key, not the
/// usage with its value; usages 0 to 9 are reachable in hex. Throws UsageError.
std::uint8_t ParseKeyUsage(const std::string& text);

/// Modifier bits: decimal ("2"), hex ("0x06") or names joined by '+'
/// ("ctrl+shift"). Throws UsageError.
std::uint8_t ParseModifiers(const std::string& text);

/// A MEDIA action: next, previous, play, mute, up, down (volume), right, left
/// (arrows), or the byte in decimal or 0x hex. Throws UsageError.
std::uint8_t ParseMediaAction(const std::string& text);

/// A generic-desktop SYSTEM usage: shutdown, sleep, wake, restart, logoff,
/// lock, or the byte in decimal or 0x hex. Throws UsageError.
std::uint8_t ParseSystemUsage(const std::string& text);

struct KeyStroke {
  std::uint8_t usage = 0;
  std::uint8_t modifiers = 0;

  bool operator==(const KeyStroke&) const = default;
};

/// The key clicks that type `text` on a US layout, with left shift where the
/// character needs it. Throws UsageError naming the first character that is
/// not printable ASCII, or when `text` is empty.
std::vector<KeyStroke> KeyStrokesFor(std::string_view text);

/// "0x04", the way usages and modifiers are reported.
std::string HexByte(std::uint8_t value);

/// The lines of --help that list the key and modifier names.
std::string KeyNamesHelp();

}  // namespace vandrel::phone
