#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/AppInfo.h"
#include "vandrel-phone/AppListDecode.h"
#include "vandrel-phone/ByteText.h"

namespace vandrel::phone {
namespace {

using desktop::AppInfo;

Bytes Icon(std::size_t size) {
  Bytes icon(size);
  for (std::size_t i = 0; i < size; ++i) icon[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return icon;
}

std::vector<AppInfo> SampleApps() {
  return {
      {"Caf\xC3\xA9 \xE2\x80\x94 Editor", "editor.exe", Icon(300), 0x00000001'0002'0304ull, true,
       "C:\\Program Files\\Editor\\editor.exe"},
      {std::string(255, 'n'), std::string(255, 'p'), {}, 0, false, "C:\\Tools\\t.exe"},
      {"Huge icon", "huge.exe", Icon(70'000), 0xFFFF'FFFF'FFFF'FFFFull, true, ""},
  };
}

AppEntry Expected(const AppInfo& app) {
  AppEntry entry{app.name, app.process, app.icon, app.hwnd, app.running, app.path};
  if (entry.icon.size() > 65'535) entry.icon.resize(65'535);
  return entry;
}

std::string ErrorOf(const Bytes& payload) {
  try {
    DecodeAppList(payload);
  } catch (const AppListError& e) {
    return e.what();
  }
  return "";
}

TEST(AppListDecodeTest, ReadsBackWhatThePcSerialises) {
  const auto apps = SampleApps();
  const auto entries = DecodeAppList(desktop::SerializeAppList(apps));
  ASSERT_EQ(entries.size(), apps.size());
  for (std::size_t i = 0; i < apps.size(); ++i) EXPECT_EQ(entries[i], Expected(apps[i])) << "entry " << i;
  EXPECT_EQ(entries[2].icon.size(), 65'535u);

  EXPECT_TRUE(DecodeAppList(desktop::SerializeAppList({})).empty());
}

TEST(AppListDecodeTest, EveryTruncationIsAnErrorNamingRecordAndField) {
  const Bytes whole = desktop::SerializeAppList(SampleApps());
  for (std::size_t size = 0; size < whole.size(); ++size) {
    const std::string error = ErrorOf(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)));
    ASSERT_NE(error, "") << "cut at " << size << " decoded";
    ASSERT_NE(error.find("left"), std::string::npos) << error;
  }
  EXPECT_EQ(ErrorOf({0x03}), "app list header: count needs 2 bytes, 1 left");
  const auto apps = SampleApps();
  const auto at = [&](std::size_t size) { return Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)); };
  // Record 0: count, name length, then 7 of the name's bytes.
  EXPECT_EQ(ErrorOf(at(2 + 1 + 7)),
            "app list record 0 of 3: name needs " + std::to_string(apps[0].name.size()) + " bytes, 7 left");
  const std::size_t record1 = 2 + (1 + apps[0].name.size()) + (1 + apps[0].process.size()) +
                              (2 + apps[0].icon.size()) + 8 + 1 + (2 + apps[0].path.size());
  EXPECT_EQ(ErrorOf(at(record1 + 1 + 255 + 1 + 255 + 2 + 5)), "app list record 1 of 3: hwnd needs 8 bytes, 5 left");
  EXPECT_EQ(ErrorOf(at(record1 + 1 + 255 + 1 + 255 + 2 + 8 + 1 + 1)),
            "app list record 1 of 3: path length needs 2 bytes, 1 left");
}

TEST(AppListDecodeTest, LengthsThatDisagreeWithTheBytesAreErrors) {
  Bytes whole = desktop::SerializeAppList(SampleApps());

  Bytes trailing = whole;
  trailing.push_back(0);
  EXPECT_EQ(ErrorOf(trailing), "app list: 1 byte after the last of 3 records");

  Bytes moreAnnounced = whole;
  moreAnnounced[0] = 4;
  EXPECT_EQ(ErrorOf(moreAnnounced), "app list record 3 of 4: name length needs 1 byte, 0 left");

  Bytes fewerAnnounced = whole;
  fewerAnnounced[0] = 2;
  EXPECT_NE(ErrorOf(fewerAnnounced).find("after the last of 2 records"), std::string::npos);

  // A name one byte longer than sent shifts every later field.
  Bytes slipped = whole;
  slipped[2] = 20;
  EXPECT_NE(ErrorOf(slipped), "");

  // The largest counts and lengths, with nothing behind them.
  EXPECT_EQ(ErrorOf({0xFF, 0xFF}), "app list record 0 of 65535: name length needs 1 byte, 0 left");
  EXPECT_EQ(ErrorOf({1, 0, 0, 0, 0xFF, 0xFF, 1, 2}), "app list record 0 of 1: icon needs 65535 bytes, 2 left");
}

TEST(AppListDecodeTest, RunningFlagIsZeroOrOne) {
  Bytes one = desktop::SerializeAppList(std::vector<AppInfo>{{"a", "a.exe", {}, 5, true, "p"}});
  const std::size_t flag = one.size() - 2 - 1 - 1;
  ASSERT_EQ(one[flag], 1);
  one[flag] = 2;
  EXPECT_EQ(ErrorOf(one), "app list record 0 of 1: running flag is 2, not 0 or 1");
}

TEST(AppListDecodeTest, EscapedTextKeepsUtf8AndDisarmsControlBytes) {
  EXPECT_EQ(EscapeText("Caf\xC3\xA9"), "Caf\xC3\xA9");
  EXPECT_EQ(EscapeText("a\"b\\c"), "a\\\"b\\\\c");
  EXPECT_EQ(EscapeText(std::string("\x1B[2J\n\x7F\0", 7)), "\\027[2J\\010\\127\\000");
}

}  // namespace
}  // namespace vandrel::phone
