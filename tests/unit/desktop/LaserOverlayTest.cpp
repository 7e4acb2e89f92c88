#include <gtest/gtest.h>

#include "FakeLaserWindow.h"
#include "LogCapture.h"
#include "WaitUntil.h"
#include "desktop/LaserOverlay.h"

namespace vandrel::desktop {
namespace {

using testing::FakeLaserWindow;
using testing::LaserRecord;
using testing::LogCapture;
using testing::WaitUntil;

std::uint32_t Pixel(int x, int y) { return LaserSpot()[static_cast<std::size_t>(y * kLaserSpotSide + x)]; }
std::uint32_t Alpha(std::uint32_t p) { return p >> 24; }

TEST(LaserSpotTest, WhiteCoreRedGlowFadingOutTransparentCorners) {
  // The core covers the centre pixels wholly.
  for (const auto& [x, y] : {std::pair(17, 17), std::pair(18, 18), std::pair(17, 18)}) {
    EXPECT_EQ(Pixel(x, y), 0xFFFFFFFFu) << x << "," << y;
  }
  // Inside the focus, past the core: the glow's colour, premultiplied.
  const std::uint32_t flat = Pixel(18, 22);
  EXPECT_EQ(Alpha(flat), 0xE8u);
  EXPECT_EQ(flat, 0xE8u << 24 | ((244u * 232 + 127) / 255) << 16 | ((67u * 232 + 127) / 255) << 8 |
                      ((54u * 232 + 127) / 255));
  // Along a ray outwards the alpha falls and the pixel stays red.
  std::uint32_t previous = 0xFF;
  for (int x = 25; x < 36; ++x) {
    const std::uint32_t p = Pixel(x, 18);
    EXPECT_LE(Alpha(p), previous) << x;
    previous = Alpha(p);
    const std::uint32_t red = p >> 16 & 0xFF, green = p >> 8 & 0xFF;
    if (Alpha(p) > 0) {
      EXPECT_GT(red, 2 * green) << x;
    }
  }
  EXPECT_LT(Alpha(Pixel(35, 18)), 0x30u);
  // Premultiplied: no channel above alpha; the corners are empty.
  for (const std::uint32_t p : LaserSpot()) {
    EXPECT_LE(p >> 16 & 0xFF, Alpha(p));
    EXPECT_LE(p & 0xFF, Alpha(p));
  }
  for (const auto& [x, y] : {std::pair(0, 0), std::pair(35, 0), std::pair(0, 35), std::pair(35, 35), std::pair(3, 3)}) {
    EXPECT_EQ(Pixel(x, y), 0u) << x << "," << y;
  }
}

TEST(LaserOverlayTest, ShowStartsOneWindowThatLaterShowsReuseAndHideEnds) {
  auto record = std::make_shared<LaserRecord>();
  LaserOverlay overlay(FakeLaserWindow::Factory(record));
  overlay.Hide();  // nothing to hide
  EXPECT_FALSE(overlay.HasThread());
  overlay.Show(500, 300);
  overlay.Show(-1, -1);
  EXPECT_EQ(record->created, 1);
  EXPECT_EQ(record->Calls(), (std::vector<std::string>{"show 500,300", "show -1,-1"}));
  overlay.Hide();
  EXPECT_FALSE(overlay.HasThread());
  EXPECT_EQ(record->windows, 0);
  // A fresh thread and window after Hide.
  overlay.Show(0, 0);
  EXPECT_EQ(record->created, 2);
  EXPECT_EQ(record->windows, 1);
}

TEST(LaserOverlayTest, DestructionHidesAWindowThatIsShown) {
  auto record = std::make_shared<LaserRecord>();
  {
    LaserOverlay overlay(FakeLaserWindow::Factory(record));
    overlay.Show(1, 2);
  }
  EXPECT_EQ(record->windows, 0);
  EXPECT_EQ(record->Calls().back(), "close");
}

TEST(LaserOverlayTest, AWindowThatCannotBeCreatedLeavesTheOverlayBrokenUntilHide) {
  auto record = std::make_shared<LaserRecord>();
  record->failCreate = true;
  LaserOverlay overlay(FakeLaserWindow::Factory(record));
  overlay.Show(5, 5);
  overlay.Show(6, 6);
  EXPECT_TRUE(overlay.HasThread());
  EXPECT_TRUE(record->Calls().empty());
  overlay.Hide();
  EXPECT_FALSE(overlay.HasThread());
  record->failCreate = false;
  overlay.Show(7, 7);
  EXPECT_EQ(record->Calls(), std::vector<std::string>{"show 7,7"});
}

// These wait out the real limits (2 s and 3 s): the lines are the program's own.
TEST(LaserOverlayTest, SlowCreationAndAThreadThatDoesNotEndAreReportedAndSurvived) {
  LogCapture log;
  auto record = std::make_shared<LaserRecord>();
  record->createDelay = std::chrono::milliseconds(2500);
  LaserOverlay overlay(FakeLaserWindow::Factory(record));
  overlay.Show(1, 1);
  EXPECT_TRUE(log.Contains("[LASER] UI thread window-creation timed out (wait=0x102)"));
  ASSERT_TRUE(WaitUntil([&] { return record->created == 1; }));
  overlay.Show(2, 2);  // the window came late, and still gets later requests
  EXPECT_EQ(record->Calls(), std::vector<std::string>{"show 2,2"});

  record->ignoreClose = true;
  overlay.Hide();
  EXPECT_TRUE(log.Contains("[LASER] UI thread did not exit cleanly (wait=0x102), terminating forcefully"));
  EXPECT_FALSE(overlay.HasThread());
  // The thread left behind ends once its window lets it, touching nothing of the overlay.
  record->release = true;
  EXPECT_TRUE(WaitUntil([&] { return record->windows == 0; }));
}

}  // namespace
}  // namespace vandrel::desktop
