#include "input/Injector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogCapture.h"
#include "RecordingInjector.h"

namespace vandrel {
namespace {

using Lines = std::vector<std::string>;
using testing::LogCapture;
using testing::RecordingInjector;

TEST(InjectorKeys, ClickPressesModifiersThenKeyThenReleasesModifiers) {
  RecordingInjector injector;
  injector.KeyClick(0x04, 0x02);  // Shift+A
  EXPECT_EQ(injector.Transcript(),
            (Lines{"attach", "batch +A0", "wait 10", "batch +41 -41", "wait 5", "batch -A0", "detach"}));

  // Several modifiers go down lowest bit first and up in reverse.
  injector.Clear();
  injector.KeyClick(0x0F, 0x88);  // both Windows keys + L: not the lock chord
  EXPECT_EQ(injector.Transcript(), (Lines{"attach", "batch +5B(ext) +5C(ext)", "wait 10", "batch +4C -4C", "wait 5",
                                          "batch -5C(ext) -5B(ext)", "detach"}));
}

TEST(InjectorKeys, WinLLocksTheWorkstationAndSendsNothing) {
  LogCapture log;
  RecordingInjector injector;
  injector.KeyClick(0x0F, 0x08);
  EXPECT_EQ(injector.Transcript(), Lines{"lock"});
  EXPECT_TRUE(log.Contains("[SendInput] Win+L -> LockWorkStation()"));
}

TEST(InjectorKeys, UsageWithoutVirtualKeySendsOnlyItsModifiers) {
  RecordingInjector injector;
  injector.KeyClick(0x82, 0x11);  // locking Caps Lock, with both Controls
  EXPECT_EQ(injector.Transcript(), (Lines{"attach", "batch +A2 +A3(ext)", "wait 10", "batch -A3(ext) -A2", "detach"}));

  injector.Clear();
  injector.KeyClick(0x00, 0x00);
  EXPECT_EQ(injector.Transcript(), (Lines{"attach", "detach"}));
}

TEST(InjectorKeys, DownPressesModifiersFirstAndUpReleasesTheKeyFirst) {
  RecordingInjector injector;
  injector.KeyDown(0x04, 0x03);
  injector.KeyUp(0x04, 0x03);
  EXPECT_EQ(injector.Transcript(),
            (Lines{"attach", "batch +A2 +A0 +41", "detach", "attach", "batch -41 -A0 -A2", "detach"}));
}

TEST(InjectorZoom, WrapsPlusOrMinusInControlUnlessAlreadyHeld) {
  RecordingInjector injector;
  injector.Zoom(3);
  EXPECT_EQ(injector.Transcript(), (Lines{"attach", "batch +11", "wait 10", "batch +BB -BB +BB -BB +BB -BB", "wait 5",
                                          "batch -11", "detach"}));

  // Held by the user: no Control of ours, and the count stops at 120.
  injector.Clear();
  injector.SetControlHeld(true);
  injector.Zoom(-200);
  std::string minus120 = "batch";
  for (int i = 0; i < 120; ++i) minus120 += " +BD -BD";
  EXPECT_EQ(injector.Transcript(), (Lines{"attach", minus120, "wait 5", "detach"}));

  injector.Clear();
  injector.Zoom(0);
  EXPECT_TRUE(injector.Transcript().empty());
}

TEST(InjectorMouse, EachOperationIsOneRecordWithoutAttaching) {
  RecordingInjector injector;
  injector.LeftClick();
  injector.RightClick();
  injector.MiddleClick();
  injector.LeftDown();
  injector.LeftUp();
  injector.MoveRelative(-3, 4);
  injector.Scroll(-12);
  injector.ScrollHorizontal(5);
  EXPECT_EQ(injector.Transcript(),
            (Lines{"batch mouse(06,0,0,0)", "batch mouse(18,0,0,0)", "batch mouse(60,0,0,0)", "batch mouse(02,0,0,0)",
                   "batch mouse(04,0,0,0)", "batch mouse(01,-3,4,0)", "batch mouse(800,0,0,-120)",
                   "batch mouse(1000,0,0,50)"}));
}

TEST(InjectorMouse, DoubleClickWarnsOnlyWhenASendIsRefused) {
  LogCapture log;
  RecordingInjector injector;
  injector.DoubleClick();
  const std::string click = "batch mouse(02,0,0,0) mouse(04,0,0,0)";
  EXPECT_EQ(injector.Transcript(), (Lines{click, "wait 20", click}));
  EXPECT_FALSE(log.Contains("double_click"));

  injector.QueueSendResults({2, 0});
  injector.DoubleClick();
  EXPECT_EQ(log.Count("[SendInput] WARNING: double_click injection failed ret1=2 ret2=0 "
                      "(0=blocked by UIPI or wrong desktop)"),
            1u);
}

}  // namespace
}  // namespace vandrel
