#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "desktop/AppInfo.h"

namespace vandrel::desktop {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::LogCapture;

// Reads APP_LIST_DATA back the way a phone does.
class Reader {
 public:
  explicit Reader(const Bytes& bytes) : bytes_(bytes) {}
  std::uint64_t Number(std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= std::uint64_t{bytes_.at(at_ + i)} << (8 * i);
    at_ += size;
    return value;
  }
  std::string Text(std::size_t lengthSize) {
    const auto length = static_cast<std::size_t>(Number(lengthSize));
    std::string text(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
                     bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + length));
    at_ += length;
    return text;
  }
  AppInfo Record() {
    AppInfo app;
    app.name = Text(1);
    app.process = Text(1);
    const std::string icon = Text(2);
    app.icon.assign(icon.begin(), icon.end());
    app.hwnd = Number(8);
    app.running = Number(1) != 0;
    app.path = Text(2);
    return app;
  }
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  const Bytes& bytes_;
  std::size_t at_ = 0;
};

AppInfo App(std::string name, std::string process, bool running = true) {
  AppInfo app;
  app.name = std::move(name);
  app.process = std::move(process);
  app.running = running;
  app.path = "C:\\Program Files\\" + app.process;
  return app;
}

TEST(AppListData, RecordsAreLaidOutInOrderWithLittleEndianNumbers) {
  AppInfo notes = App("Notes", "notepad.exe");
  notes.hwnd = 0x0102030405060708ULL;
  notes.icon = {0x89, 'P', 'N', 'G'};
  const AppInfo pinned = App("chrome", "chrome.exe", false);
  const Bytes packet = AppListDataPacket(std::vector<AppInfo>{notes, pinned});
  ASSERT_GE(packet.size(), 5u);
  EXPECT_EQ(packet[0], 17);
  Reader reader(packet);
  reader.Number(1);
  EXPECT_EQ(reader.Number(4), packet.size() - 5);
  EXPECT_EQ(reader.Number(2), 2u);
  const AppInfo first = reader.Record();
  EXPECT_EQ(first.name, "Notes");
  EXPECT_EQ(first.process, "notepad.exe");
  EXPECT_EQ(first.icon, notes.icon);
  EXPECT_EQ(first.hwnd, 0x0102030405060708ULL);
  EXPECT_TRUE(first.running);
  EXPECT_EQ(first.path, notes.path);
  const AppInfo second = reader.Record();
  EXPECT_EQ(second.name, "chrome");
  EXPECT_TRUE(second.icon.empty());
  EXPECT_FALSE(second.running);
  EXPECT_TRUE(reader.AtEnd());
  // The exact bytes of one small record.
  AppInfo tiny;
  tiny.name = "a";
  tiny.process = "b";
  tiny.hwnd = 5;
  tiny.running = true;
  tiny.path = "p";
  EXPECT_EQ(SerializeAppList(std::vector<AppInfo>{tiny}),
            (Bytes{1, 0, 1, 'a', 1, 'b', 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 'p'}));
  EXPECT_EQ(SerializeAppList({}), (Bytes{0, 0}));
}

TEST(AppListData, LongFieldsAreCutAndOnlyTheFirst255EntriesGo) {
  AppInfo big = App(std::string(300, 'n'), std::string(256, 'p'));
  big.icon.assign(70'000, 0xAB);
  std::vector<AppInfo> apps(300, App("x", "x.exe"));
  apps[0] = big;
  apps[254].name = "last";
  apps[255].name = "beyond";
  const Bytes payload = SerializeAppList(apps);
  Reader reader(payload);
  EXPECT_EQ(reader.Number(2), 255u);
  const AppInfo first = reader.Record();
  EXPECT_EQ(first.name, std::string(255, 'n'));
  EXPECT_EQ(first.process, std::string(255, 'p'));
  EXPECT_EQ(first.icon.size(), 65'535u);
  AppInfo entry;
  for (int i = 1; i < 255; ++i) entry = reader.Record();
  EXPECT_EQ(entry.name, "last");
  EXPECT_TRUE(reader.AtEnd());
}

TEST(AppListData, AnEntryWhosePathDoesNotFitIsLeftOutWithALine) {
  LogCapture log;
  AppInfo huge = App("Deep", "deep.exe");
  huge.path.assign(65'536, 'd');
  AppInfo fits = App("Fits", "fits.exe");
  fits.path.assign(65'535, 'f');
  const Bytes payload = SerializeAppList(std::vector<AppInfo>{huge, fits});
  Reader reader(payload);
  EXPECT_EQ(reader.Number(2), 1u);
  EXPECT_EQ(reader.Record().path.size(), 65'535u);
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_TRUE(log.Contains("\"Deep\" left out of APP_LIST_DATA: path of 65536 bytes"));
}

TEST(AppListMerge, RunningFirstThenPinnedThatAreNotRunning) {
  LogCapture log;
  AppInfo editor = App("Doc - Editor", "editor.exe");
  editor.icon.assign(2048, 1);
  std::vector<AppInfo> running = {editor, App("Term", "term.exe")};
  running[1].running = false;  // the merge decides, not the source
  AppInfo pinnedEditor = App("editor", "editor.exe", true);
  pinnedEditor.icon.assign(100, 2);
  const std::vector<AppInfo> pinned = {pinnedEditor, App("browser", "browser.exe", true), App("EDITOR", "Editor.exe")};
  const auto merged = MergeAppList(running, pinned);
  ASSERT_EQ(merged.size(), 4u);
  EXPECT_EQ(merged[0].name, "Doc - Editor");
  EXPECT_EQ(merged[1].name, "Term");
  EXPECT_TRUE(merged[1].running);
  EXPECT_EQ(merged[2].name, "browser");
  EXPECT_FALSE(merged[2].running);
  EXPECT_EQ(merged[3].process, "Editor.exe") << "process names compare exactly";
  EXPECT_TRUE(log.Contains("[AppList] Pinned app \"editor\" is already running (skipping duplicate)"));
  EXPECT_TRUE(log.Contains("[AppList] Merged list: 4 total apps"));
  EXPECT_TRUE(log.Contains("[AppList] Summary: 2 open, 2 closed, 2048 bytes (2 KB) icons"));
}

Bytes Blob(std::initializer_list<std::pair<std::uint16_t, std::u16string>> records) {
  Bytes blob = {0xDE, 0xAD, 0xBE, 0xEF};
  for (const auto& [type, text] : records) {
    const std::size_t length = 4 + 2 * text.size();
    blob.push_back(static_cast<std::uint8_t>(length));
    blob.push_back(static_cast<std::uint8_t>(length >> 8));
    blob.push_back(static_cast<std::uint8_t>(type));
    blob.push_back(static_cast<std::uint8_t>(type >> 8));
    for (const char16_t c : text) {
      blob.push_back(static_cast<std::uint8_t>(c));
      blob.push_back(static_cast<std::uint8_t>(c >> 8));
    }
  }
  return blob;
}

TEST(TaskbandBlob, PathRecordsAreTakenAndEverythingElseSkipped) {
  const Bytes blob = Blob({{1, u"C:\\a.exe"}, {7, u"ignored"}, {1, std::u16string(u"C:\\b.exe\0\0", 10)},
                           {1, std::u16string(u"\0\0", 2)}, {1, std::u16string(260, u'x')}, {1, u"C:\\c.exe"}});
  EXPECT_EQ(ParseTaskbandBlob(blob), (std::vector<std::u16string>{u"C:\\a.exe", u"C:\\b.exe", u"C:\\c.exe"}));
  EXPECT_EQ(ParseTaskbandBlob(Blob({{1, std::u16string(259, u'y')}})).size(), 1u) << "259 units is still a path";
}

TEST(TaskbandBlob, ShortOrBrokenBlobsStopWithoutReadingPastTheEnd) {
  EXPECT_TRUE(ParseTaskbandBlob(Bytes{}).empty());
  EXPECT_TRUE(ParseTaskbandBlob(Bytes{1, 2, 3, 4, 8, 0, 1}).empty());
  Bytes runsPast = Blob({{1, u"C:\\a.exe"}});
  runsPast[4] = 200;  // longer than what is left
  EXPECT_TRUE(ParseTaskbandBlob(runsPast).empty());
  Bytes tooShort = Blob({{1, u"C:\\a.exe"}, {1, u"C:\\b.exe"}});
  tooShort[4 + 4 + 16] = 3;  // the second record's length below its header
  EXPECT_EQ(ParseTaskbandBlob(tooShort), std::vector<std::u16string>{u"C:\\a.exe"});
  Bytes trailing = Blob({{1, u"C:\\a.exe"}});
  trailing.insert(trailing.end(), {9, 9, 9});  // fewer than 4 bytes left
  EXPECT_EQ(ParseTaskbandBlob(trailing).size(), 1u);
}

}  // namespace
}  // namespace vandrel::desktop
