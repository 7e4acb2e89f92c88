// The HID-to-virtual-key table, the extended-key set, the modifier bits, the
// key names and the dump lines that print them. Every platform speaks Windows
// virtual keys above its mechanism, so this is the only keyboard knowledge here.
#include <array>
#include <charconv>
#include <initializer_list>
#include <string>

#include "infra/Platform.h"
#include "input/Injector.h"

namespace vandrel::InputManager {
namespace {

using HidTable = std::array<std::uint16_t, 256>;

constexpr HidTable BuildHidTable() {
  HidTable table{};
  // A run of consecutive usages mapping to consecutive virtual keys.
  auto run = [&table](int usage, int lastUsage, int vk) {
    for (; usage <= lastUsage; ++usage, ++vk) table[static_cast<std::size_t>(usage)] = static_cast<std::uint16_t>(vk);
  };
  // Consecutive usages with unrelated virtual keys.
  auto list = [&table](int usage, std::initializer_list<int> vks) {
    for (int vk : vks) table[static_cast<std::size_t>(usage++)] = static_cast<std::uint16_t>(vk);
  };
  run(0x04, 0x1D, 0x41);  // A..Z
  run(0x1E, 0x26, 0x31);  // 1..9
  list(0x27, {0x30});     // 0
  list(0x28, {0x0D, 0x1B, 0x08, 0x09, 0x20});                    // Enter Esc Backspace Tab Space
  list(0x2D, {0xBD, 0xBB, 0xDB, 0xDD, 0xDC});                    // - = [ ] backslash
  list(0x32, {0xBF, 0xBA, 0xDE, 0xC0, 0xBC, 0xBE, 0xBF});        // non-US # ; ' ` , . /
  list(0x39, {0x14});                                            // CapsLock
  run(0x3A, 0x45, 0x70);                                         // F1..F12
  list(0x46, {0x2C, 0x91, 0x13});                                // PrintScreen ScrollLock Pause
  list(0x49, {0x2D, 0x24, 0x21, 0x2E, 0x23, 0x22});              // Insert Home PageUp Delete End PageDown
  list(0x4F, {0x27, 0x25, 0x28, 0x26});                          // Right Left Down Up
  list(0x53, {0x90});                                            // NumLock
  list(0x54, {0x6F, 0x6A, 0x6D, 0x6B, 0x0D});                    // keypad / * - + Enter
  run(0x59, 0x61, 0x61);                                         // keypad 1..9
  list(0x62, {0x60, 0x6E});                                      // keypad 0 .
  list(0x64, {0xE2, 0x5D, 0x5F, 0xBB});                          // non-US \ Apps Sleep keypad =
  run(0x68, 0x73, 0x7C);                                         // F13..F24
  list(0x74, {0x2B, 0x2F, 0x12, 0x29});                          // Execute Help Menu Select
  list(0x7F, {0xAD, 0xAF, 0xAE});                                // Mute VolUp VolDown
  list(0xE0, {0xA2, 0xA0, 0xA4, 0x5B, 0xA3, 0xA1, 0xA5, 0x5C});  // left then right Ctrl Shift Alt Win
  return table;
}

constexpr HidTable kHidToVirtualKey = BuildHidTable();

struct Modifier {
  std::uint8_t mask;
  std::uint16_t vk;
};

constexpr std::array<Modifier, 8> kModifiers{{
    {0x01, 0xA2},  // LCtrl
    {0x02, 0xA0},  // LShift
    {0x04, 0xA4},  // LAlt
    {0x08, 0x5B},  // LWin
    {0x10, 0xA3},  // RCtrl
    {0x20, 0xA1},  // RShift
    {0x40, 0xA5},  // RAlt
    {0x80, 0x5C},  // RWin
}};

struct KeyName {
  std::uint16_t vk;
  const char* name;
};

constexpr KeyName kKeyNames[] = {
    {0x08, "Backspace"}, {0x09, "Tab"},      {0x0D, "Enter"},       {0x13, "Pause"},      {0x14, "CapsLock"},
    {0x1B, "Esc"},       {0x20, "Space"},    {0x21, "PageUp"},      {0x22, "PageDown"},   {0x23, "End"},
    {0x24, "Home"},      {0x25, "Left"},     {0x26, "Up"},          {0x27, "Right"},      {0x28, "Down"},
    {0x2C, "PrintScreen"}, {0x2D, "Insert"}, {0x2E, "Delete"},      {0x5B, "LWin"},       {0x5C, "RWin"},
    {0x90, "NumLock"},   {0x91, "ScrollLock"}, {0xA0, "LShift"},    {0xA1, "RShift"},     {0xA2, "LCtrl"},
    {0xA3, "RCtrl"},     {0xA4, "LAlt"},     {0xA5, "RAlt"},        {0xAD, "Mute"},       {0xAE, "VolDown"},
    {0xAF, "VolUp"},     {0xB0, "Next"},     {0xB1, "Prev"},        {0xB3, "Play"},       {0xBA, ";"},
    {0xBB, "+"},         {0xBC, ","},        {0xBD, "-"},           {0xBE, "."},          {0xBF, "/"},
    {0xC0, "`"},         {0xDB, "["},        {0xDC, "\\"},          {0xDD, "]"},          {0xDE, "'"},
};

std::string Hex(unsigned value) {
  char text[16];
  const auto result = std::to_chars(std::begin(text), std::end(text), value, 16);
  return std::string(text, result.ptr);
}

std::string KeyLine(const KeyRecord& key) {
  return std::string("[SendInput] ") + (key.up ? "KEYUP" : "KEYDOWN") + " VK=" + VirtualKeyName(key.vk) + " (0x" +
         Hex(key.vk) + ")";
}

std::string MouseLine(const MouseRecord& mouse) {
  std::string words;
  if (mouse.flags & kMouseLeftDown) words += "LEFTDOWN ";
  if (mouse.flags & kMouseLeftUp) words += "LEFTUP ";
  if (mouse.flags & kMouseRightDown) words += "RIGHTDOWN ";
  if (mouse.flags & kMouseRightUp) words += "RIGHTUP ";
  if (mouse.flags & kMouseMove) {
    words += "MOVE(" + std::to_string(mouse.dx) + "," + std::to_string(mouse.dy) + ") ";
  }
  if (mouse.flags & kMouseWheel) words += "WHEEL(" + std::to_string(mouse.wheel) + ") ";
  // Middle button and horizontal wheel records have no words of their own.
  if (words.empty()) words = "UNKNOWN";
  return "[SendInput] MOUSE " + words;
}

}  // namespace

std::uint16_t HidUsageToVirtualKey(std::uint8_t usage) { return kHidToVirtualKey[usage]; }

bool IsExtendedKey(std::uint16_t vk) {
  // The keys Windows reports with the E0 scan-code prefix: the navigation
  // block, the right-hand modifiers, the Windows keys and the media keys.
  if (vk >= 0x21 && vk <= 0x28) return true;
  if (vk >= 0xA6 && vk <= 0xB7) return true;
  switch (vk) {
    case 0x2C: case 0x2D: case 0x2E:
    case 0x5B: case 0x5C: case 0x5D: case 0x5F:
    case 0x90:
    case 0xA1: case 0xA3: case 0xA5:
      return true;
    default:
      return false;
  }
}

std::string VirtualKeyName(std::uint16_t vk) {
  if ((vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z')) return std::string(1, static_cast<char>(vk));
  if (vk >= 0x70 && vk <= 0x7B) return "F" + std::to_string(vk - 0x70 + 1);
  for (const auto& entry : kKeyNames) {
    if (entry.vk == vk) return entry.name;
  }
  return "VK_" + std::to_string(vk);
}

std::vector<std::uint16_t> ModifierVirtualKeys(std::uint8_t modifiers) {
  std::vector<std::uint16_t> keys;
  for (const auto& modifier : kModifiers) {
    if (modifiers & modifier.mask) keys.push_back(modifier.vk);
  }
  return keys;
}

bool DumpWantedFor(const std::optional<std::string>& setting) {
  if (!setting || setting->empty()) return true;
  const char first = setting->front();
  return first != '0' && first != 'F' && first != 'f';
}

bool DumpEnabled() {
  static const bool enabled = DumpWantedFor(platform::Environment(kDumpVariable));
  return enabled;
}

std::string DumpLine(const InputRecord& record) {
  if (const auto* key = std::get_if<KeyRecord>(&record)) return KeyLine(*key);
  return MouseLine(std::get<MouseRecord>(record));
}

}  // namespace vandrel::InputManager
