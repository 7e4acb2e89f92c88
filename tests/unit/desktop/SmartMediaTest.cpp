#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogCapture.h"
#include "desktop/SmartMedia.h"

namespace vandrel::desktop {
namespace {

using testing::LogCapture;
using Kind = SmartMediaKey::Kind;

SmartMediaTraits Of(std::u16string title, std::string process) { return ClassifyForeground({title, process}); }

TEST(SmartMediaTraitsTest, TitleWordsMatchInAnyCaseAndProcessWordsAsSubstrings) {
  EXPECT_TRUE(Of(u"Cats - YouTUBE - Google Chrome", "chrome.exe").youtube);
  EXPECT_TRUE(Of(u"Cats - YouTUBE - Google Chrome", "chrome.exe").browser);
  EXPECT_TRUE(Of(u"BiliBili video", "").bilibili);
  EXPECT_TRUE(Of(u"看哔哩", "").bilibili);
  EXPECT_TRUE(Of(u"抖音 - test", "").douyin);
  EXPECT_TRUE(Of(u"\u25B6 Song", "").netease);
  EXPECT_TRUE(Of(u"x", "CloudMusic.exe").netease);
  EXPECT_TRUE(Of(u"music.163.com", "").netease);
  EXPECT_TRUE(Of(u"", "VLC.EXE").vlc);
  EXPECT_TRUE(Of(u"", "mpc-hc64.exe").mpc);
  EXPECT_TRUE(Of(u"", "PotPlayerMini64.exe").potplayer);
  EXPECT_TRUE(Of(u"", "POWERPNT.EXE").powerpoint);
  EXPECT_TRUE(Of(u"优酷 video", "").videoSite);
  EXPECT_TRUE(Of(u"v.QQ.com", "").videoSite);
  for (const char* browser : {"firefox", "msedge.exe", "opera", "brave-browser"}) EXPECT_TRUE(Of(u"", browser).browser);
  // Words are looked for in their own field only.
  const auto swapped = Of(u"vlc chrome powerpnt", "youtube");
  EXPECT_FALSE(swapped.vlc || swapped.browser || swapped.powerpoint || swapped.youtube);
  const auto none = Of(u"", "");
  EXPECT_FALSE(none.browser || none.youtube || none.bilibili || none.douyin || none.netease || none.vlc ||
               none.mpc || none.potplayer || none.powerpoint || none.videoSite);
}

struct Row {
  bool SmartMediaTraits::*trait;
  Kind kind;
  std::uint16_t vk;
  char letter;
  const char* message;
};

// Each table row by row: a row wins over every row below it, and loses to
// every row above. The last row is the fallback with no trait.
void CheckTable(std::uint32_t action, const std::vector<Row>& rows) {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SmartMediaTraits traits;
    if (rows[i].trait) traits.*rows[i].trait = true;
    for (std::size_t below = i + 1; below < rows.size(); ++below) {
      if (rows[below].trait) traits.*rows[below].trait = true;
    }
    const auto key = ChooseSmartMediaKey(action, traits);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->kind, rows[i].kind) << rows[i].message;
    EXPECT_EQ(key->vk, rows[i].vk) << rows[i].message;
    EXPECT_EQ(key->letter, rows[i].letter) << rows[i].message;
    EXPECT_STREQ(key->message, rows[i].message);
  }
}

TEST(SmartMediaTableTest, PlayPause) {
  CheckTable(kPlayPause, {
                             {&SmartMediaTraits::youtube, Kind::kLetter, 0, 'k', "[SmartMedia] YouTube detected -> sending 'K'"},
                             {&SmartMediaTraits::bilibili, Kind::kVirtualKey, 0x20, 0, "[SmartMedia] Bilibili detected -> sending Space"},
                             {&SmartMediaTraits::netease, Kind::kLetter, 0, 'p', "[SmartMedia] NetEase Cloud Music detected -> sending 'P'"},
                             {&SmartMediaTraits::browser, Kind::kVirtualKey, 0x20, 0, "[SmartMedia] Generic browser -> sending Space"},
                             {&SmartMediaTraits::vlc, Kind::kVirtualKey, 0x20, 0, "[SmartMedia] Media player detected -> sending Space"},
                             {nullptr, Kind::kVirtualKey, 0xB3, 0, "[SmartMedia] Unknown app -> sending VK_MEDIA_PLAY_PAUSE"},
                         });
  // The player row takes any of the three players; the other traits do nothing here.
  for (auto player : {&SmartMediaTraits::mpc, &SmartMediaTraits::potplayer}) {
    SmartMediaTraits traits;
    traits.*player = true;
    EXPECT_STREQ(ChooseSmartMediaKey(kPlayPause, traits)->message, "[SmartMedia] Media player detected -> sending Space");
  }
  SmartMediaTraits unrelated;
  unrelated.powerpoint = unrelated.douyin = unrelated.videoSite = true;
  EXPECT_EQ(ChooseSmartMediaKey(kPlayPause, unrelated)->vk, 0xB3);
}

TEST(SmartMediaTableTest, Fullscreen) {
  CheckTable(kFullscreen, {
                              {&SmartMediaTraits::powerpoint, Kind::kVirtualKey, 0x74, 0, "[SmartMedia] PowerPoint detected -> sending F5"},
                              {&SmartMediaTraits::youtube, Kind::kLetter, 0, 'f', "[SmartMedia] YouTube detected -> sending 'F'"},
                              {&SmartMediaTraits::bilibili, Kind::kLetter, 0, 'f', "[SmartMedia] Bilibili detected -> sending 'F'"},
                              {&SmartMediaTraits::douyin, Kind::kLetter, 0, 'h', "[SmartMedia] Douyin detected -> sending 'H'"},
                              {&SmartMediaTraits::browser, Kind::kVirtualKey, 0x7A, 0, "[SmartMedia] Generic browser -> sending F11"},
                              {&SmartMediaTraits::vlc, Kind::kLetter, 0, 'f', "[SmartMedia] VLC detected -> sending 'F'"},
                              {&SmartMediaTraits::mpc, Kind::kAltEnter, 0, 0, "[SmartMedia] MPC detected -> sending Alt+Enter"},
                              {&SmartMediaTraits::potplayer, Kind::kVirtualKey, 0x0D, 0, "[SmartMedia] PotPlayer detected -> sending Enter"},
                              {nullptr, Kind::kVirtualKey, 0x7A, 0, "[SmartMedia] Unknown app -> sending F11"},
                          });
  SmartMediaTraits unrelated;
  unrelated.netease = unrelated.videoSite = true;
  EXPECT_STREQ(ChooseSmartMediaKey(kFullscreen, unrelated)->message, "[SmartMedia] Unknown app -> sending F11");
}

TEST(SmartMediaTableTest, BulletCurtainAndUnknownActions) {
  CheckTable(kBulletCurtain,
             {
                 {&SmartMediaTraits::douyin, Kind::kLetter, 0, 'b', "[SmartMedia] Douyin detected -> sending 'B' for bullet curtain"},
                 {&SmartMediaTraits::bilibili, Kind::kLetter, 0, 'd', "[SmartMedia] Bilibili detected -> sending 'D' for bullet curtain"},
                 {&SmartMediaTraits::videoSite, Kind::kLetter, 0, 'd', "[SmartMedia] Video site detected -> sending 'D' for bullet curtain"},
                 {&SmartMediaTraits::browser, Kind::kLetter, 0, 'd', "[SmartMedia] Generic browser -> sending 'D' for bullet curtain"},
                 {nullptr, Kind::kLetter, 0, 'd', "[SmartMedia] Unknown app -> sending 'D' for bullet curtain"},
             });
  SmartMediaTraits all;
  all.youtube = all.powerpoint = all.netease = all.vlc = all.mpc = true;
  EXPECT_STREQ(ChooseSmartMediaKey(kBulletCurtain, all)->message,
               "[SmartMedia] Unknown app -> sending 'D' for bullet curtain");
  for (std::uint32_t action : {3u, 255u, 0x100u}) EXPECT_FALSE(ChooseSmartMediaKey(action, all)) << action;
}

TEST(SmartMediaTableTest, TitleDiagnosticsShowTheFirstEightUnits) {
  EXPECT_EQ(TitleDiagnosticLine(u""), "[SmartMedia] titleW len=0, first_chars=");
  EXPECT_EQ(TitleDiagnosticLine(u"Ab\u25B6"), "[SmartMedia] titleW len=3, first_chars=0x41,0x62,0x25b6");
  EXPECT_EQ(TitleDiagnosticLine(u"abcdefghijklmnopqrst"),
            "[SmartMedia] titleW len=20, first_chars=0x61,0x62,0x63,0x64,0x65,0x66,0x67,0x68");
}

class FakeKeys : public SmartMediaKeys {
 public:
  std::optional<ForegroundInfo> foreground;
  bool layoutHasLetters = true;
  std::vector<std::string> sent;

  std::optional<ForegroundInfo> Foreground() override { return foreground; }
  std::optional<std::uint16_t> LetterKey(char letter) override {
    if (!layoutHasLetters) return std::nullopt;
    return static_cast<std::uint16_t>(letter - 'a' + 'A');
  }
  std::uint16_t TapKey(std::uint16_t vk) override {
    sent.push_back("tap " + std::to_string(vk));
    return 0x25;
  }
  void SendAltEnter() override { sent.push_back("alt+enter"); }
};

TEST(SmartMediaActionTest, LogsTheForegroundAndSendsTheChosenKey) {
  LogCapture log;
  FakeKeys keys;
  keys.foreground = ForegroundInfo{u"Cats - YouTube - Chromium", "chromium"};
  HandleSmartMediaAction(keys, kPlayPause);
  EXPECT_EQ(keys.sent, std::vector<std::string>{"tap 75"});
  EXPECT_TRUE(log.Contains("[SmartMedia] titleW len=25, first_chars=0x43,0x61,0x74,0x73,0x20,0x2d,0x20,0x59"));
  EXPECT_TRUE(log.Contains("[SmartMedia] Foreground: proc=\"chromium\", title=\"Cats - YouTube - Chromium\""));
  EXPECT_TRUE(log.Contains("[SmartMedia] YouTube detected -> sending 'K'"));
  EXPECT_TRUE(log.Contains("[SmartMedia] Injected key: VK=0x4b, scanCode=0x25"));

  keys.sent.clear();
  keys.foreground = ForegroundInfo{u"Film", "mpc-hc64.exe"};
  HandleSmartMediaAction(keys, kFullscreen);
  EXPECT_EQ(keys.sent, std::vector<std::string>{"alt+enter"});
  EXPECT_EQ(log.Count("[SmartMedia] Injected key"), 1u);  // the chord has no such line

  keys.sent.clear();
  keys.foreground = ForegroundInfo{u"Slides", "POWERPNT.EXE"};
  HandleSmartMediaAction(keys, kPlayPause);
  EXPECT_EQ(keys.sent, std::vector<std::string>{"tap 179"});
  EXPECT_TRUE(log.Contains("[SmartMedia] Injected key: VK=0xb3, scanCode=0x25"));
}

TEST(SmartMediaActionTest, NothingIsSentWithoutAForegroundForAnUnknownActionOrAMissingLetter) {
  LogCapture log;
  FakeKeys keys;
  HandleSmartMediaAction(keys, kPlayPause);
  EXPECT_TRUE(log.Contains("[SmartMedia] No foreground window"));
  EXPECT_FALSE(log.Contains("titleW"));

  keys.foreground = ForegroundInfo{u"", ""};
  HandleSmartMediaAction(keys, 3);
  EXPECT_TRUE(log.Contains("[SmartMedia] titleW len=0, first_chars="));
  EXPECT_TRUE(log.Contains("[SmartMedia] Foreground: proc=\"\", title=\"\""));

  keys.layoutHasLetters = false;
  HandleSmartMediaAction(keys, kBulletCurtain);
  EXPECT_TRUE(log.Contains("[SmartMedia] Unknown app -> sending 'D' for bullet curtain"));
  EXPECT_TRUE(log.Contains("[SmartMedia] The keyboard layout has no key for 'd': nothing sent"));
  EXPECT_TRUE(keys.sent.empty());
}

}  // namespace
}  // namespace vandrel::desktop
