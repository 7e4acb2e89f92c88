// The desktop-file parser and Exec splitting, on text and temporary files.
#include "desktop/linux/DesktopEntry.h"

#include <string>

#include <gtest/gtest.h>

#include "TempDir.h"

namespace {

using vandrel::desktop::linux_desktop::DesktopEntry;
using vandrel::desktop::linux_desktop::EntryProgram;
using vandrel::desktop::linux_desktop::kMaxDesktopFileBytes;
using vandrel::desktop::linux_desktop::ParseDesktopEntry;
using vandrel::desktop::linux_desktop::ReadDesktopEntry;
using vandrel::desktop::linux_desktop::SplitExec;
using Args = std::vector<std::string>;

TEST(DesktopEntryTest, ReadsOnlyTheDesktopEntryGroupAndItsUnlocalizedKeys) {
  const auto entry = ParseDesktopEntry(
      "# leading comment\n"
      "[Other Group]\n"
      "Exec=wrong\n"
      "\n"
      "[Desktop Entry]\r\n"
      "  # indented comment\n"
      "Name[de]=Terminal (de)\n"
      "Name=Terminal\r\n"
      "Type = Application\n"
      "Exec=first\n"
      "Exec=second\n"
      "line without equals\n"
      "[Desktop Action new-window]\n"
      "Icon=action-icon\n"
      "[Desktop Entry]\n"
      "Icon=second-group\n");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->Get("Name"), "Terminal");
  EXPECT_EQ(entry->Get("Type"), "Application");
  EXPECT_EQ(entry->Get("Exec"), "first");
  EXPECT_EQ(entry->Find("Icon"), nullptr);
  EXPECT_EQ(entry->Find("Name[de]"), nullptr);
  EXPECT_EQ(entry->size(), 3u);

  EXPECT_FALSE(ParseDesktopEntry("[Other]\nName=x\n"));
  EXPECT_FALSE(ParseDesktopEntry(""));
  EXPECT_TRUE(ParseDesktopEntry("[Desktop Entry]"));
}

TEST(DesktopEntryTest, UnescapesValuesAndKeepsUnknownEscapes) {
  const auto entry = ParseDesktopEntry(
      "[Desktop Entry]\n"
      "A=one\\stwo\\nthree\\tfour\\\\five\n"
      "B=keep \\q and a trailing \\\n"
      "C=  leading blanks go, trailing stay  \n"
      "Hidden=True\n"
      "NoDisplay=true\n");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->Get("A"), "one two\nthree\tfour\\five");
  EXPECT_EQ(entry->Get("B"), "keep \\q and a trailing \\");
  EXPECT_EQ(entry->Get("C"), "leading blanks go, trailing stay  ");
  EXPECT_FALSE(entry->IsTrue("Hidden"));  // only the exact "true" counts
  EXPECT_TRUE(entry->IsTrue("NoDisplay"));
  EXPECT_FALSE(entry->IsTrue("Missing"));
}

TEST(DesktopEntryTest, SplitsExecWithQuotedArguments) {
  EXPECT_EQ(SplitExec("gnome-terminal --window %U"), (Args{"gnome-terminal", "--window", "%U"}));
  EXPECT_EQ(SplitExec("  spaced\t\targs  "), (Args{"spaced", "args"}));
  EXPECT_EQ(SplitExec(R"("/opt/My App/run" --title "a \"b\" \`c\` \$d \\e" %F)"),
            (Args{"/opt/My App/run", "--title", R"(a "b" `c` $d \e)", "%F"}));
  // Quotes may join parts of one argument; an empty quoted argument is one too.
  EXPECT_EQ(SplitExec(R"(pre"fix part"post "")"), (Args{"prefix partpost", ""}));
  // A backslash before other characters is kept.
  EXPECT_EQ(SplitExec(R"("a\qb")"), (Args{R"(a\qb)"}));
  EXPECT_TRUE(SplitExec(R"("unterminated arg)").empty());
  EXPECT_TRUE(SplitExec("").empty());
}

TEST(DesktopEntryTest, ProgramIsTryExecElseExecsFirstArgument) {
  EXPECT_EQ(EntryProgram(*ParseDesktopEntry("[Desktop Entry]\nTryExec=probe\nExec=run %U\n")), "probe");
  EXPECT_EQ(EntryProgram(*ParseDesktopEntry("[Desktop Entry]\nTryExec=\nExec=run %U\n")), "run");
  // The file's own escape layer comes first: \\\\ in the file is one quoted backslash.
  EXPECT_EQ(EntryProgram(*ParseDesktopEntry("[Desktop Entry]\nExec=\"/opt/a\\\\\\\\b\\sc\" x\n")), "/opt/a\\b c");
  EXPECT_EQ(EntryProgram(*ParseDesktopEntry("[Desktop Entry]\nName=none\n")), "");
}

TEST(DesktopEntryTest, ReadsFilesUpToTheLimit) {
  vandrel::testing::TempDir dir;
  const std::string header = "[Desktop Entry]\nName=Big\n#";
  std::string atLimit = header + std::string(kMaxDesktopFileBytes - header.size(), 'x');
  vandrel::testing::WriteBinary(dir.File("limit.desktop"), atLimit);
  vandrel::testing::WriteBinary(dir.File("over.desktop"), atLimit + "x");
  const auto limit = ReadDesktopEntry(dir.File("limit.desktop"));
  ASSERT_TRUE(limit);
  EXPECT_EQ(limit->Get("Name"), "Big");
  EXPECT_FALSE(ReadDesktopEntry(dir.File("over.desktop")));
  EXPECT_FALSE(ReadDesktopEntry(dir.File("missing.desktop")));
  EXPECT_FALSE(ReadDesktopEntry(dir.path().string()));  // a folder
}

}  // namespace
