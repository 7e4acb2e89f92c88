// The real program acting on the PC for a phone: media keys into the active
// window (with the short-video remap), the clipboard read back by another
// X client, power and lock at a logind mock, brightness over a fake libddcutil.
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <memory>
#include <string>

// Before Xlib, whose Success macro would clash with the phone client's names.
#include "PhoneRun.h"
#include "ServerFixture.h"
#include "VandrelProcess.h"

#include "DesktopSession.h"
#include "MockLogind.h"
#include "X11Probe.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

namespace vandrel::testing {
namespace {

std::string ReadClipboard() {
  std::FILE* pipe = ::popen("xclip -o -selection clipboard 2>/dev/null", "r");
  if (!pipe) return {};
  std::string text;
  char buffer[512];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  ::pclose(pipe);
  return text;
}

class SystemActionsEndToEnd : public DesktopSessionTest {
 protected:

  void SetUp() override {
    DesktopSessionTest::SetUp();
    if (Unusable()) return;
    ASSERT_TRUE(probe_.usable());
  }

  // Each test starts the program with the environment it needs.
  void Start(std::vector<std::string> environment = {}) {
    // A home of its own each time, so that a log line of an earlier run cannot answer for this one.
    vandrel_ = std::make_unique<VandrelProcess>(
        homes_.emplace_back(),
        std::vector<std::string>{"--headless", "--port", std::to_string(port_), "--no-ble", "--no-mdns", "--no-adb"},
        std::move(environment));
    ASSERT_TRUE(vandrel_->WaitForLog("[SERVER] Started")) << vandrel_->Output();
    ASSERT_TRUE(vandrel_->WaitForLog("[SendInput] X11 display"));
  }

  PhoneRun Send(const std::string& command) { return Phone("--port " + std::to_string(port_) + " " + command); }

  X11Probe probe_;
  std::deque<TempDir> homes_;
  TempDir home_;
  std::uint16_t port_ = NextTestPort();
  std::unique_ptr<VandrelProcess> vandrel_;
};

TEST_F(SystemActionsEndToEnd, MediaKeysReachTheActiveWindowAndShortVideoGetsArrows) {
  Start();
  ASSERT_TRUE(probe_.OpenActiveWindow("Douyin \xE2\x80\x93 test"));
  ASSERT_EQ(Send("media next").code, 0);
  ASSERT_TRUE(probe_.WaitForKeyRelease(XK_Down)) << vandrel_->Log();
  EXPECT_TRUE(vandrel_->WaitForLog("[Media] Douyin foreground: NEXT/PREVIOUS remapped to Down (0x28)"));

  probe_.SetTitle("Some other window");
  probe_.events().clear();
  ASSERT_EQ(Send("media next").code, 0);
  EXPECT_TRUE(probe_.WaitForKeyRelease(XF86XK_AudioNext)) << vandrel_->Log();
  ASSERT_EQ(Send("media play").code, 0);
  EXPECT_TRUE(probe_.WaitForKeyRelease(XF86XK_AudioPlay)) << vandrel_->Log();

  // Two bits at once are no action: the queue's guard reports it and the program serves on.
  ASSERT_EQ(Send("media 0x03").code, 0);
  EXPECT_TRUE(vandrel_->WaitForLog("[INPUT_QUEUE][FATAL] inputmanager.execute crashed"));
  ASSERT_EQ(Send("media mute").code, 0);
  EXPECT_TRUE(probe_.WaitForKeyRelease(XF86XK_AudioMute)) << vandrel_->Log();
}

TEST_F(SystemActionsEndToEnd, ClipboardTextIsPastedByOtherPrograms) {
  if (std::system("command -v xclip >/dev/null") != 0) GTEST_SKIP() << "xclip is not installed";
  Start();
  const std::string text = "h\xC3\xA9llo w\xC3\xB6rld";
  ASSERT_EQ(Send("clipboard '" + text + "'").code, 0);
  ASSERT_TRUE(vandrel_->WaitForLog("[Clipboard] Clipboard set successfully")) << vandrel_->Log();
  EXPECT_EQ(ReadClipboard(), text);

  // A datagram carries 255 bytes of text at most; the rest is cut.
  const std::string longText(300, 'q');
  ASSERT_EQ(Send("clipboard " + longText).code, 0);
  EXPECT_TRUE(WaitUntil([&] { return ReadClipboard() == std::string(255, 'q'); })) << ReadClipboard().size();
  EXPECT_TRUE(vandrel_->WaitForLog("[Clipboard] Setting clipboard text (size=255): " + std::string(50, 'q') + "..."));
}

TEST_F(SystemActionsEndToEnd, PowerAndLockReachLogind) {
  MockLogind logind;
  if (!logind.problem().empty()) GTEST_SKIP() << logind.problem();
  Start({"DBUS_SYSTEM_BUS_ADDRESS=" + logind.address(), "XDG_SESSION_ID=c1"});
  for (const char* usage : {"shutdown", "sleep", "restart", "logoff", "lock", "wake"}) {
    ASSERT_EQ(Send(std::string("system ") + usage).code, 0) << usage;
  }
  for (const char* call : {"PowerOff False", "Suspend False", "Reboot False", "TerminateSession \"c1\"",
                           "LockSession \"c1\""}) {
    EXPECT_TRUE(logind.WaitForCall(call)) << call << " in\n" << logind.Calls();
  }
  EXPECT_TRUE(vandrel_->WaitForLog("[System] Wake-up requested"));
  EXPECT_EQ(logind.Calls().find("Hibernate"), std::string::npos);

  // polkit says no: the failure line carries the bus error.
  ASSERT_TRUE(logind.Replace("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PowerOff", "b",
                             "raise dbus.exceptions.DBusException('Not allowed', "
                             "name='org.freedesktop.DBus.Error.AccessDenied')"));
  ASSERT_EQ(Send("system 0x81").code, 0);
  EXPECT_TRUE(vandrel_->WaitForLog(
      "[System] ExitWindowsEx(SHUTDOWN) failed: org.freedesktop.DBus.Error.AccessDenied: Not allowed"))
      << vandrel_->Log();
}

TEST_F(SystemActionsEndToEnd, BrightnessStepsEveryMonitorOrFallsBackToTheKey) {
  const std::string fakeLog = home_.File("ddc.log");
  Start({"LD_LIBRARY_PATH=" VANDREL_FAKE_DDCUTIL_DIR, "FAKE_DDCUTIL_DISPLAYS=50/100,3/100,98/100",
         "FAKE_DDCUTIL_LOG=" + fakeLog});
  ASSERT_EQ(Send("brightness down").code, 0);
  EXPECT_TRUE(vandrel_->WaitForLog("[Brightness] Step DOWN via DDC/CI")) << vandrel_->Log();
  EXPECT_TRUE(vandrel_->WaitForLog("[Brightness] DDC/CI: 50 -> 45 (range 0-100)"));
  EXPECT_TRUE(vandrel_->WaitForLog("[Brightness] DDC/CI: 3 -> 0 (range 0-100)"));
  EXPECT_TRUE(vandrel_->WaitForLog("[Brightness] DDC/CI: 98 -> 93 (range 0-100)"));
  // The monitors keep what was set.
  ASSERT_EQ(Send("brightness up").code, 0);
  EXPECT_TRUE(vandrel_->WaitForLog("[Brightness] DDC/CI: 0 -> 5 (range 0-100)")) << vandrel_->Log();

  // No monitor answers: the brightness key goes to the desktop.
  vandrel_.reset();
  Start({"LD_LIBRARY_PATH=" VANDREL_FAKE_DDCUTIL_DIR, "FAKE_DDCUTIL_DISPLAYS=", "FAKE_DDCUTIL_LOG=" + fakeLog});
  ASSERT_TRUE(probe_.OpenFocusedWindow());
  ASSERT_EQ(Send("brightness up").code, 0);
  EXPECT_TRUE(probe_.WaitForKeyRelease(XF86XK_MonBrightnessUp)) << vandrel_->Log();
  EXPECT_TRUE(vandrel_->WaitForLog("[Brightness] Step UP scan=0x6f (SendInput fallback)"));
}

}  // namespace
}  // namespace vandrel::testing
