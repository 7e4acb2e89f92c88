#include "input/SystemActions.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "infra/Logger.h"
#include "infra/PrintableText.h"

namespace vandrel::InputManager {
namespace {

constexpr struct {
  std::uint8_t action;
  std::uint16_t vk;
} kMediaKeys[] = {
    {0x01, 0x27},  // Right arrow
    {0x02, 0x25},  // Left arrow
    {0x04, 0xB0},  // next track
    {0x08, 0xB1},  // previous track
    {0x10, 0xB3},  // play/pause
    {0x20, 0xAD},  // mute
    {0x40, 0xAF},  // volume up
    {0x80, 0xAE},  // volume down
};

constexpr std::uint16_t kVkNextTrack = 0xB0;
constexpr std::uint16_t kVkPreviousTrack = 0xB1;
constexpr std::uint16_t kVkUp = 0x26;
constexpr std::uint16_t kVkDown = 0x28;

constexpr std::size_t kClipboardPreview = 50;

constexpr SystemUsage kSystemUsages[] = {
    {0x81, SystemAction::kShutdown, true, "[System] Initiating shutdown (EWX_SHUTDOWN)...",
     "[System] ExitWindowsEx(SHUTDOWN) failed: "},
    {0x82, SystemAction::kSleep, false, "[System] Initiating sleep (SetSuspendState)...",
     "[System] SetSuspendState failed: "},
    {0x83, SystemAction::kWake, false,
     "[System] Wake-up requested (software wake-up is typically handled by BIOS/OS); no-op.", nullptr},
    {0x84, SystemAction::kRestart, true, "[System] Initiating restart (EWX_REBOOT)...",
     "[System] ExitWindowsEx(REBOOT) failed: "},
    {0x85, SystemAction::kLogoff, false, "[System] Initiating logoff (EWX_LOGOFF)...",
     "[System] ExitWindowsEx(LOGOFF) failed: "},
    {0x86, SystemAction::kLock, false, "[System] Locking workstation...", "[System] LockWorkStation failed: "},
};

// ASCII letters only: the name is plain Latin in every title that carries it.
bool ContainsIgnoringCase(std::string_view text, std::string_view lowerNeedle) {
  const auto it = std::search(text.begin(), text.end(), lowerNeedle.begin(), lowerNeedle.end(), [](char a, char b) {
    const char lower = (a >= 'A' && a <= 'Z') ? static_cast<char>(a - 'A' + 'a') : a;
    return lower == b;
  });
  return it != text.end();
}

}  // namespace

std::uint16_t MediaVirtualKey(std::uint8_t action) {
  for (const auto& entry : kMediaKeys) {
    if (entry.action == action) return entry.vk;
  }
  throw std::out_of_range("invalid map<K, T> key");
}

bool IsShortVideoTitle(std::string_view utf8Title) {
  return ContainsIgnoringCase(utf8Title, "douyin") || utf8Title.find("\xE6\x8A\x96\xE9\x9F\xB3") != std::string_view::npos;
}

std::uint16_t RemapForForeground(std::uint16_t vk, std::string_view utf8Title) {
  if (vk != kVkNextTrack && vk != kVkPreviousTrack) return vk;
  if (!IsShortVideoTitle(utf8Title)) return vk;
  return vk == kVkNextTrack ? kVkDown : kVkUp;
}

std::string ClipboardLogLine(const std::uint8_t* utf8, std::size_t size) {
  const std::size_t shown = std::min(size, kClipboardPreview);
  std::string line = "[Clipboard] Setting clipboard text (size=" + std::to_string(size) + "): ";
  // The phone's text: a line feed in it must not start a log line of its own.
  line.append(Printable(std::string_view(reinterpret_cast<const char*>(utf8), shown)));
  if (size > kClipboardPreview) line += "...";
  return line;
}

std::string_view ClipboardText(const std::uint8_t* utf8, std::size_t size) {
  const auto* text = reinterpret_cast<const char*>(utf8);
  const void* zero = std::memchr(text, 0, size);
  return {text, zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - text) : size};
}

const SystemUsage* FindSystemUsage(std::uint8_t usage) {
  for (const auto& row : kSystemUsages) {
    if (row.usage == usage) return &row;
  }
  return nullptr;
}

std::optional<std::uint32_t> SteppedBrightness(const BrightnessLevel& level, bool up) {
  if (level.maximum <= level.minimum) return std::nullopt;
  const std::uint64_t step = (std::uint64_t{level.maximum} - level.minimum + 19) / 20;
  if (up) return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{level.current} + step, level.maximum));
  if (std::uint64_t{level.current} > level.minimum + step) return static_cast<std::uint32_t>(level.current - step);
  return level.minimum;
}

bool StepOneMonitor(const std::function<std::optional<BrightnessLevel>()>& read,
                    const std::function<bool(std::uint32_t)>& write, bool up, std::string_view prefix) {
  const std::optional<BrightnessLevel> level = read();
  if (!level) return false;
  const std::optional<std::uint32_t> target = SteppedBrightness(*level, up);
  if (!target || !write(*target)) return false;
  Log() << prefix << level->current << " -> " << *target << " (range " << level->minimum << "-" << level->maximum
        << ")";
  return true;
}

}  // namespace vandrel::InputManager
