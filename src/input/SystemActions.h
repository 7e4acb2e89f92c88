// The decisions behind the operations that act on the PC itself (media keys,
// clipboard, power and lock, brightness), apart from the system calls that
// carry them out, so they hold on every platform alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vandrel::InputManager {

/// The virtual key of a media action byte. A byte that is not exactly one of
/// the eight keys throws std::out_of_range, as a failed map lookup does.
std::uint16_t MediaVirtualKey(std::uint8_t action);

/// Whether the foreground window's title is a short-video application's,
/// whose "next" and "previous" are the arrow keys.
bool IsShortVideoTitle(std::string_view utf8Title);

/// The key `vk` becomes with `title` in front: next and previous turn into
/// Down and Up under a short-video application, anything else stays.
std::uint16_t RemapForForeground(std::uint16_t vk, std::string_view utf8Title);

/// "[Clipboard] Setting clipboard text (size=N): " and the first 50 bytes
/// with control bytes escaped, "..." when there were more.
std::string ClipboardLogLine(const std::uint8_t* utf8, std::size_t size);
/// The text up to its first zero byte.
std::string_view ClipboardText(const std::uint8_t* utf8, std::size_t size);

enum class SystemAction { kShutdown, kSleep, kWake, kRestart, kLogoff, kLock };

struct SystemUsage {
  std::uint8_t usage;
  SystemAction action;
  bool needsShutdownPrivilege;
  const char* before;   // logged before the call
  const char* failure;  // logged with the system's error after a failed call; null when nothing is called
};

/// The generic-desktop usage's row, or null for an unsupported usage.
const SystemUsage* FindSystemUsage(std::uint8_t usage);

inline constexpr std::uint8_t kGenericDesktopPage = 0x01;

/// A monitor's brightness range and level, as its controller reports them.
struct BrightnessLevel {
  std::uint32_t minimum = 0;
  std::uint32_t current = 0;
  std::uint32_t maximum = 0;
};

/// One twentieth of the range (rounded up) up or down, clamped to the range;
/// nothing when the range is empty.
std::optional<std::uint32_t> SteppedBrightness(const BrightnessLevel& level, bool up);

/// Reads one monitor, steps it and writes the new level. Logs
/// `prefix` + "current -> new (range min-max)" when the write worked and
/// returns whether it did; a failed read or an empty range skips the monitor.
bool StepOneMonitor(const std::function<std::optional<BrightnessLevel>()>& read,
                    const std::function<bool(std::uint32_t)>& write, bool up, std::string_view prefix);

/// The scan codes of the brightness keys, sent with the extended flag when no
/// monitor could be stepped directly.
inline constexpr std::uint16_t kBrightnessUpScan = 0x6F;
inline constexpr std::uint16_t kBrightnessDownScan = 0x70;

}  // namespace vandrel::InputManager
