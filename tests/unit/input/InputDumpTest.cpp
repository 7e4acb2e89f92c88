#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "LogCapture.h"
#include "input/HeadlessInputManager.h"
#include "input/Injector.h"

namespace vandrel::InputManager {
namespace {

TEST(VirtualKeys, HidTableCoversTheKeyboardPageEdges) {
  int mapped = 0;
  for (int usage = 0; usage < 256; ++usage) mapped += HidUsageToVirtualKey(static_cast<std::uint8_t>(usage)) != 0;
  EXPECT_EQ(mapped, 127);

  const std::pair<std::uint8_t, std::uint16_t> edges[] = {
      {0x04, 'A'},  {0x1D, 'Z'},  {0x1E, '1'},  {0x27, '0'},  {0x2C, 0x20}, {0x31, 0xDC}, {0x32, 0xBF},
      {0x38, 0xBF}, {0x39, 0x14}, {0x3A, 0x70}, {0x45, 0x7B}, {0x48, 0x13}, {0x4E, 0x22}, {0x52, 0x26},
      {0x58, 0x0D}, {0x59, 0x61}, {0x61, 0x69}, {0x62, 0x60}, {0x63, 0x6E}, {0x67, 0xBB}, {0x68, 0x7C},
      {0x73, 0x87}, {0x77, 0x29}, {0x7F, 0xAD}, {0x81, 0xAE}, {0xE0, 0xA2}, {0xE3, 0x5B}, {0xE7, 0x5C}};
  for (const auto& [usage, vk] : edges) EXPECT_EQ(HidUsageToVirtualKey(usage), vk) << "usage " << int{usage};
  for (const std::uint8_t usage : {0x00, 0x03, 0x78, 0x7E, 0x82, 0xDF, 0xE8, 0xFF}) {
    EXPECT_EQ(HidUsageToVirtualKey(usage), 0) << "usage " << int{usage};
  }
}

TEST(VirtualKeys, ExtendedKeysAreTheE0PrefixedOnes) {
  for (const std::uint16_t vk : {0x21, 0x25, 0x28, 0x2C, 0x2D, 0x2E, 0x5B, 0x5C, 0x5D, 0x5F, 0x90, 0xA1, 0xA3, 0xA5,
                                 0xA6, 0xAD, 0xB7}) {
    EXPECT_TRUE(IsExtendedKey(vk)) << vk;
  }
  for (const std::uint16_t vk : {0x0D, 0x11, 0x20, 0x29, 0x2B, 0x2F, 0x5E, 0x6F, 0x91, 0xA0, 0xA2, 0xA4, 0xB8, 0xBB}) {
    EXPECT_FALSE(IsExtendedKey(vk)) << vk;
  }
}

TEST(InputDump, LinesNameKeysAndMouseActions) {
  EXPECT_EQ(DumpLine(KeyRecord{0x41, false, false}), "[SendInput] KEYDOWN VK=A (0x41)");
  EXPECT_EQ(DumpLine(KeyRecord{0xA3, true, true}), "[SendInput] KEYUP VK=RCtrl (0xa3)");
  EXPECT_EQ(DumpLine(KeyRecord{0x7B, false, false}), "[SendInput] KEYDOWN VK=F12 (0x7b)");
  EXPECT_EQ(DumpLine(KeyRecord{0xDC, false, false}), "[SendInput] KEYDOWN VK=\\ (0xdc)");
  EXPECT_EQ(DumpLine(KeyRecord{0x87, false, false}), "[SendInput] KEYDOWN VK=VK_135 (0x87)");
  EXPECT_EQ(DumpLine(KeyRecord{0xB2, true, true}), "[SendInput] KEYUP VK=VK_178 (0xb2)");

  EXPECT_EQ(DumpLine(MouseRecord{kMouseLeftDown | kMouseLeftUp}), "[SendInput] MOUSE LEFTDOWN LEFTUP ");
  EXPECT_EQ(DumpLine(MouseRecord{kMouseRightDown | kMouseRightUp}), "[SendInput] MOUSE RIGHTDOWN RIGHTUP ");
  EXPECT_EQ(DumpLine(MouseRecord{kMouseMove, -3, 4}), "[SendInput] MOUSE MOVE(-3,4) ");
  EXPECT_EQ(DumpLine(MouseRecord{kMouseWheel, 0, 0, -120}), "[SendInput] MOUSE WHEEL(-120) ");
  EXPECT_EQ(DumpLine(MouseRecord{kMouseMiddleDown | kMouseMiddleUp}), "[SendInput] MOUSE UNKNOWN");
  EXPECT_EQ(DumpLine(MouseRecord{kMouseHWheel, 0, 0, 50}), "[SendInput] MOUSE UNKNOWN");
}

TEST(InputDump, OnUnlessTheVariableStartsWithZeroOrF) {
  for (const char* off : {"0", "false", "False", "FALSE", "f", "0x1"}) EXPECT_FALSE(DumpWantedFor(off)) << off;
  for (const char* on : {"1", "true", "yes", "on", " 0"}) EXPECT_TRUE(DumpWantedFor(on)) << on;
  EXPECT_TRUE(DumpWantedFor(std::nullopt));
  EXPECT_TRUE(DumpWantedFor(""));
}

TEST(HeadlessInputManager, RunsThePolicyAndOnlyLogs) {
  testing::LogCapture log;
  Headless headless;
  headless.KeyClick(0x04, 0x02);
  headless.DoubleClick();  // each batch is taken whole, so no warning
  headless.KeyClick(0x0F, 0x08);
  EXPECT_FALSE(log.Contains("WARNING"));
  EXPECT_TRUE(log.Contains("not available without a display"));

  if (!DumpEnabled()) GTEST_SKIP() << kDumpVariable << " switches the dump off";
  std::vector<std::string> dump;
  for (const auto& line : log.Lines()) {
    if (line.rfind("[SendInput] KEY", 0) == 0 || line.rfind("[SendInput] MOUSE", 0) == 0) dump.push_back(line);
  }
  EXPECT_EQ(dump, (std::vector<std::string>{
                      "[SendInput] KEYDOWN VK=LShift (0xa0)", "[SendInput] KEYDOWN VK=A (0x41)",
                      "[SendInput] KEYUP VK=A (0x41)", "[SendInput] KEYUP VK=LShift (0xa0)",
                      "[SendInput] MOUSE LEFTDOWN ", "[SendInput] MOUSE LEFTUP ", "[SendInput] MOUSE LEFTDOWN ",
                      "[SendInput] MOUSE LEFTUP "}));
}

TEST(HeadlessInputManager, ADumpOfAFloodKeepsOnlyTheFirstRecords) {
  if (!DumpEnabled()) GTEST_SKIP() << kDumpVariable << " switches the dump off";
  testing::LogCapture log;
  Headless headless;
  for (std::uint32_t i = 0; i < kDumpBurst + 300; ++i) headless.MoveRelative(1, 0);
  EXPECT_EQ(log.Count("[SendInput] MOUSE MOVE(1,0)"), kDumpBurst) << "and a summary at most every 5 s after them";
}

}  // namespace
}  // namespace vandrel::InputManager
