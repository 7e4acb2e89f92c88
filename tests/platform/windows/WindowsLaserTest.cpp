// The laser window through the portable overlay, on wine's desktop: where it
// sits, how it is styled, that it follows the pointer and goes with its thread.
#include <windows.h>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "desktop/LaserOverlay.h"
#include "fakes/WaitUntil.h"

namespace vandrel::desktop {
namespace {

using testing::LogCapture;
using testing::WaitUntil;

HWND LaserWindowNow() { return ::FindWindowW(L"VandrelLaserOverlay", L"Laser Pointer"); }

bool SpotAt(int x, int y) {
  RECT rect{};
  const HWND window = LaserWindowNow();
  return window && ::GetWindowRect(window, &rect) && rect.left == x - 18 && rect.top == y - 18 &&
         rect.right == x + 18 && rect.bottom == y + 18;
}

// Whether the thread behind a window has ended, asked of the system itself.
bool ThreadEnded(DWORD id) {
  const HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, id);
  if (!thread) return true;
  const bool ended = ::WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
  ::CloseHandle(thread);
  return ended;
}

TEST(WindowsLaserTest, ShowsMovesFollowsAndGoesWithItsThread) {
  LogCapture log;
  LaserOverlay overlay;
  overlay.Show(500, 300);
  if (log.Contains("[LASER] CreateWindowExW failed")) GTEST_SKIP() << "wine cannot create the layered window here";
  ASSERT_TRUE(WaitUntil([] { return SpotAt(500, 300); }));
  const HWND window = LaserWindowNow();
  const auto exStyle = static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_EXSTYLE));
  const DWORD wanted = WS_EX_LAYERED | WS_EX_TRANSPARENT | WS_EX_TOPMOST | WS_EX_TOOLWINDOW;
  EXPECT_EQ(exStyle & wanted, wanted);
  EXPECT_TRUE(WaitUntil([&] { return ::IsWindowVisible(window) != FALSE; }));
  EXPECT_TRUE(WaitUntil([&] { return log.Contains("[LASER] Show() complete, follow-timer started (16ms)"); }));

  // At the screen's corner the spot hangs half off it.
  overlay.Show(0, 0);
  EXPECT_TRUE(WaitUntil([] { return SpotAt(0, 0); }));

  // Negative coordinates mean the pointer's, and then the spot follows it.
  ASSERT_TRUE(::SetCursorPos(300, 200));
  overlay.Show(-1, -1);
  EXPECT_TRUE(WaitUntil([] { return SpotAt(300, 200); }));
  ASSERT_TRUE(::SetCursorPos(640, 400));
  EXPECT_TRUE(WaitUntil([] { return SpotAt(640, 400); }));

  const DWORD thread = ::GetWindowThreadProcessId(window, nullptr);
  overlay.Hide();
  EXPECT_EQ(LaserWindowNow(), nullptr);
  EXPECT_FALSE(overlay.HasThread());
  EXPECT_TRUE(ThreadEnded(thread));
  EXPECT_FALSE(log.Contains("did not exit cleanly"));
}

TEST(WindowsLaserTest, ShowAfterHideMakesANewWindowThatTheDestructorCloses) {
  LogCapture log;
  {
    LaserOverlay overlay;
    overlay.Show(400, 250);
    if (log.Contains("[LASER] CreateWindowExW failed")) GTEST_SKIP() << "wine cannot create the layered window here";
    ASSERT_TRUE(WaitUntil([] { return SpotAt(400, 250); }));
    overlay.Hide();
    ASSERT_EQ(LaserWindowNow(), nullptr);

    overlay.Show(410, 260);
    ASSERT_TRUE(WaitUntil([] { return SpotAt(410, 260); }));
    EXPECT_TRUE(overlay.HasThread());
  }
  EXPECT_EQ(LaserWindowNow(), nullptr);
}

}  // namespace
}  // namespace vandrel::desktop
