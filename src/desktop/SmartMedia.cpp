#include "desktop/SmartMedia.h"

#include <cctype>
#include <cstdio>
#include <initializer_list>
#include <string_view>

#include "infra/Logger.h"
#include "infra/TextEncoding.h"

namespace vandrel::desktop {
namespace {

using Kind = SmartMediaKey::Kind;

char16_t LowerUnit(char16_t unit) { return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + 32) : unit; }

std::u16string Lower(std::u16string_view text) {
  std::u16string lower(text);
  for (auto& unit : lower) unit = LowerUnit(unit);
  return lower;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool ContainsAny(std::u16string_view text, std::initializer_list<std::u16string_view> words) {
  for (const auto word : words) {
    if (text.find(word) != std::u16string_view::npos) return true;
  }
  return false;
}

bool ContainsAny(std::string_view text, std::initializer_list<std::string_view> words) {
  for (const auto word : words) {
    if (text.find(word) != std::string_view::npos) return true;
  }
  return false;
}

constexpr SmartMediaKey Letter(char letter, const char* message) { return {Kind::kLetter, 0, letter, message}; }
constexpr SmartMediaKey Key(std::uint16_t vk, const char* message) { return {Kind::kVirtualKey, vk, 0, message}; }

constexpr std::uint16_t kSpace = 0x20;
constexpr std::uint16_t kReturn = 0x0D;
constexpr std::uint16_t kF5 = 0x74;
constexpr std::uint16_t kF11 = 0x7A;
constexpr std::uint16_t kMediaPlayPause = 0xB3;

SmartMediaKey PlayPauseKey(const SmartMediaTraits& t) {
  if (t.youtube) return Letter('k', "[SmartMedia] YouTube detected -> sending 'K'");
  if (t.bilibili) return Key(kSpace, "[SmartMedia] Bilibili detected -> sending Space");
  if (t.netease) return Letter('p', "[SmartMedia] NetEase Cloud Music detected -> sending 'P'");
  if (t.browser) return Key(kSpace, "[SmartMedia] Generic browser -> sending Space");
  if (t.vlc || t.mpc || t.potplayer) return Key(kSpace, "[SmartMedia] Media player detected -> sending Space");
  return Key(kMediaPlayPause, "[SmartMedia] Unknown app -> sending VK_MEDIA_PLAY_PAUSE");
}

SmartMediaKey FullscreenKey(const SmartMediaTraits& t) {
  if (t.powerpoint) return Key(kF5, "[SmartMedia] PowerPoint detected -> sending F5");
  if (t.youtube) return Letter('f', "[SmartMedia] YouTube detected -> sending 'F'");
  if (t.bilibili) return Letter('f', "[SmartMedia] Bilibili detected -> sending 'F'");
  if (t.douyin) return Letter('h', "[SmartMedia] Douyin detected -> sending 'H'");
  if (t.browser) return Key(kF11, "[SmartMedia] Generic browser -> sending F11");
  if (t.vlc) return Letter('f', "[SmartMedia] VLC detected -> sending 'F'");
  if (t.mpc) return {Kind::kAltEnter, 0, 0, "[SmartMedia] MPC detected -> sending Alt+Enter"};
  if (t.potplayer) return Key(kReturn, "[SmartMedia] PotPlayer detected -> sending Enter");
  return Key(kF11, "[SmartMedia] Unknown app -> sending F11");
}

SmartMediaKey BulletCurtainKey(const SmartMediaTraits& t) {
  if (t.douyin) return Letter('b', "[SmartMedia] Douyin detected -> sending 'B' for bullet curtain");
  if (t.bilibili) return Letter('d', "[SmartMedia] Bilibili detected -> sending 'D' for bullet curtain");
  if (t.videoSite) return Letter('d', "[SmartMedia] Video site detected -> sending 'D' for bullet curtain");
  if (t.browser) return Letter('d', "[SmartMedia] Generic browser -> sending 'D' for bullet curtain");
  return Letter('d', "[SmartMedia] Unknown app -> sending 'D' for bullet curtain");
}

std::string Hex(unsigned value) {
  char text[16] = {};
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}

}  // namespace

SmartMediaTraits ClassifyForeground(const ForegroundInfo& info) {
  const std::u16string title = Lower(info.wideTitle);
  const std::string process = Lower(info.process);
  SmartMediaTraits t;
  t.browser = ContainsAny(process, {"chrome", "firefox", "msedge", "opera", "brave"});
  t.youtube = ContainsAny(title, {u"youtube"});
  t.bilibili = ContainsAny(title, {u"bilibili", u"哔哩"});
  t.douyin = ContainsAny(title, {u"douyin", u"抖音"});
  t.netease = ContainsAny(title, {u"\u25B6", u"网易云", u"cloudmusic", u"music.163"}) ||
              ContainsAny(process, {"cloudmusic", "cloudmusicex"});
  t.vlc = ContainsAny(process, {"vlc"});
  t.mpc = ContainsAny(process, {"mpc", "mpc-hc"});
  t.potplayer = ContainsAny(process, {"potplayer"});
  t.powerpoint = ContainsAny(process, {"powerpnt"});
  t.videoSite = ContainsAny(title, {u"v.qq.com", u"youku", u"iqiyi", u"薾讯", u"优酷", u"爱奇艺"});
  return t;
}

std::optional<SmartMediaKey> ChooseSmartMediaKey(std::uint32_t action, const SmartMediaTraits& traits) {
  switch (action) {
    case kPlayPause:
      return PlayPauseKey(traits);
    case kFullscreen:
      return FullscreenKey(traits);
    case kBulletCurtain:
      return BulletCurtainKey(traits);
    default:
      return std::nullopt;
  }
}

std::string TitleDiagnosticLine(const std::u16string& wideTitle) {
  std::string line = "[SmartMedia] titleW len=" + std::to_string(wideTitle.size()) + ", first_chars=";
  for (std::size_t i = 0; i < wideTitle.size() && i < 8; ++i) {
    if (i) line += ',';
    line += "0x" + Hex(wideTitle[i]);
  }
  return line;
}

void HandleSmartMediaAction(SmartMediaKeys& keys, std::uint32_t action) {
  const auto foreground = keys.Foreground();
  if (!foreground) {
    Log() << "[SmartMedia] No foreground window";
    return;
  }
  Log() << TitleDiagnosticLine(foreground->wideTitle);
  Log() << "[SmartMedia] Foreground: proc=\"" << foreground->process << "\", title=\""
        << Utf16ToUtf8(foreground->wideTitle) << "\"";
  const auto key = ChooseSmartMediaKey(action, ClassifyForeground(*foreground));
  if (!key) return;
  Log() << key->message;
  switch (key->kind) {
    case Kind::kAltEnter:
      keys.SendAltEnter();
      return;
    case Kind::kLetter: {
      const auto vk = keys.LetterKey(key->letter);
      if (!vk) {
        // Sending the lookup's failure value as a key would press something arbitrary.
        Log() << "[SmartMedia] The keyboard layout has no key for '" << key->letter << "': nothing sent";
        return;
      }
      const std::uint16_t scan = keys.TapKey(*vk);
      Log() << "[SmartMedia] Injected key: VK=0x" << Hex(*vk) << ", scanCode=0x" << Hex(scan);
      return;
    }
    case Kind::kVirtualKey: {
      const std::uint16_t scan = keys.TapKey(key->vk);
      Log() << "[SmartMedia] Injected key: VK=0x" << Hex(key->vk) << ", scanCode=0x" << Hex(scan);
      return;
    }
  }
}

}  // namespace vandrel::desktop
