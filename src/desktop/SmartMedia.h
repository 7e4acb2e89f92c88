// The phone's smart media buttons: which application or site is in front
// decides the key that plays, goes full screen or toggles the comment overlay.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vandrel::desktop {

enum SmartMediaAction : std::uint32_t {
  kPlayPause = 0,
  kFullscreen = 1,
  kBulletCurtain = 2,
};

struct ForegroundInfo {
  std::u16string wideTitle;  // the window title as UTF-16
  std::string process;       // the program's file name, UTF-8; empty when it cannot be read
};

struct SmartMediaTraits {
  bool browser = false;
  bool youtube = false;
  bool bilibili = false;
  bool douyin = false;
  bool netease = false;
  bool vlc = false;
  bool mpc = false;
  bool potplayer = false;
  bool powerpoint = false;
  bool videoSite = false;
};

SmartMediaTraits ClassifyForeground(const ForegroundInfo& info);

struct SmartMediaKey {
  enum class Kind { kVirtualKey, kLetter, kAltEnter };
  Kind kind = Kind::kVirtualKey;
  std::uint16_t vk = 0;  // for kVirtualKey
  char letter = 0;       // lower case, for kLetter
  const char* message = "";
};

/// The first row of the action's table that holds; nothing for an unknown action.
std::optional<SmartMediaKey> ChooseSmartMediaKey(std::uint32_t action, const SmartMediaTraits& traits);

/// "[SmartMedia] titleW len=N, first_chars=0x..,0x.." for the first 8 code units.
std::string TitleDiagnosticLine(const std::u16string& wideTitle);

/// What a platform does for the smart media buttons.
class SmartMediaKeys {
 public:
  virtual ~SmartMediaKeys() = default;
  /// The window with the keyboard focus; nothing when there is none.
  virtual std::optional<ForegroundInfo> Foreground() = 0;
  /// The virtual key of a lower-case letter on the current layout; nothing
  /// when the layout has no key for it.
  virtual std::optional<std::uint16_t> LetterKey(char letter) = 0;
  /// Taps the key once (down, up) to the foreground window; returns the scan code used.
  virtual std::uint16_t TapKey(std::uint16_t vk) = 0;
  /// Alt down, Enter down, Enter up, Alt up, in one go.
  virtual void SendAltEnter() = 0;
};

/// Classifies the foreground and taps the chosen key, with every log line.
void HandleSmartMediaAction(SmartMediaKeys& keys, std::uint32_t action);

}  // namespace vandrel::desktop
