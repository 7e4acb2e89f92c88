// The laser spot's window on the X server of $DISPLAY: where it sits, what it
// shows, that it follows the pointer only when the pointer moves, and that
// clicks pass through it.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "WaitUntil.h"
#include "desktop/LaserOverlay.h"

#include "X11Probe.h"

#include <X11/extensions/XTest.h>

namespace vandrel::desktop {
namespace {

using testing::LogCapture;
using testing::WaitUntil;
using testing::X11Probe;

class X11LaserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "DISPLAY is not set; scripts/test.sh starts an Xvfb";
    ASSERT_TRUE(probe_.usable());
    // Another client's window may go away while the tree is read.
    previous_ = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  }
  void TearDown() override {
    if (previous_) XSetErrorHandler(previous_);
  }
  Display* display() { return probe_.display(); }
  Window WaitForOverlay() {
    Window w = 0;
    WaitUntil([&] { return (w = probe_.FindWindowOfClass("VandrelLaserOverlay")) != 0 && probe_.Viewable(w); });
    return w;
  }

  X11Probe probe_;
  LogCapture log_;
  XErrorHandler previous_ = nullptr;
};

TEST_F(X11LaserTest, TheSpotSitsCentredOnItsPointShowsGlowAndCoreAndGoesWithHide) {
  LaserOverlay overlay;
  overlay.Show(500, 300);
  const Window spot = WaitForOverlay();
  ASSERT_NE(spot, 0u);
  EXPECT_TRUE(WaitUntil([&] { return probe_.Position(spot) == std::pair(482, 282); }));
  char* name = nullptr;
  ASSERT_TRUE(XFetchName(display(), spot, &name));
  EXPECT_STREQ(name, "Laser Pointer");
  XFree(name);
  EXPECT_TRUE(log_.Contains("[LASER] Show() complete, follow-timer started (16ms)"));
  XWindowAttributes actual{};
  XGetWindowAttributes(display(), spot, &actual);
  EXPECT_TRUE(actual.override_redirect);

  // White in the middle, red glow around it.
  EXPECT_TRUE(WaitUntil([&] { return probe_.ScreenPixel(500, 300) == 0xFFFFFF; }));
  const unsigned long glow = probe_.ScreenPixel(508, 300);
  EXPECT_GT(glow >> 16 & 0xFF, 100u) << std::hex << glow;
  EXPECT_LT(glow >> 8 & 0xFF, (glow >> 16 & 0xFF) / 2) << std::hex << glow;

  overlay.Show(0, 0);
  EXPECT_TRUE(WaitUntil([&] { return probe_.Position(spot) == std::pair(-18, -18); }));
  overlay.Hide();
  EXPECT_EQ(probe_.FindWindowOfClass("VandrelLaserOverlay"), 0u);
}

TEST_F(X11LaserTest, TheSpotFollowsThePointerOnlyWhenItMovesAndLetsClicksThrough) {
  ASSERT_TRUE(probe_.OpenFocusedWindow());  // 200 x 200 at (100, 100), pointer at (200, 200)
  LaserOverlay overlay;
  overlay.Show(-1, -1);
  const Window spot = WaitForOverlay();
  ASSERT_NE(spot, 0u);
  EXPECT_TRUE(WaitUntil([&] { return probe_.Position(spot) == std::pair(182, 182); }));

  // A click on the spot reaches the window underneath.
  XTestFakeButtonEvent(display(), 1, True, CurrentTime);
  XTestFakeButtonEvent(display(), 1, False, CurrentTime);
  XFlush(display());
  EXPECT_TRUE(probe_.WaitForButtonRelease(1));

  // With the pointer still, the window is not moved.
  XSelectInput(display(), spot, StructureNotifyMask);
  XSync(display(), True);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int moves = 0;
  while (XPending(display())) {
    XEvent event;
    XNextEvent(display(), &event);
    moves += event.type == ConfigureNotify && event.xconfigure.window == spot;
  }
  EXPECT_EQ(moves, 0);

  probe_.WarpPointer(640, 400);
  EXPECT_TRUE(WaitUntil([&] { return probe_.Position(spot) == std::pair(622, 382); }));
}

}  // namespace
}  // namespace vandrel::desktop
