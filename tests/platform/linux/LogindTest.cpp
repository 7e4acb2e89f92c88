// Power, session and backlight requests reaching logind, here a mock on a
// private bus that stands in for the system bus.
#include "input/linux/Logind.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "LogCapture.h"
#include "MockLogind.h"
#include "input/linux/X11InputManager.h"

namespace vandrel {
namespace {

using testing::LogCapture;
using testing::MockLogind;

// Before any test: nothing in this test program may reach the machine's own logind.
const bool kNoSystemBus = [] {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vandrel-test-bus", 1);
  return true;
}();

class Logind : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!logind_.problem().empty()) GTEST_SKIP() << logind_.problem();
    // Never the machine's own bus: the requests below are real ones.
    ASSERT_FALSE(logind_.address().empty());
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", logind_.address().c_str(), 1);
    ::setenv("XDG_SESSION_ID", "c1", 1);
  }
  void TearDown() override {
    // A later test must not reach a bus that is gone, nor the real one.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vandrel-test-bus", 1);
    ::unsetenv("XDG_SESSION_ID");
  }
  MockLogind logind_;
};

TEST_F(Logind, EachRequestIsTheMatchingNonInteractiveCall) {
  EXPECT_EQ(logind::PowerOff(), std::nullopt);
  EXPECT_EQ(logind::Reboot(), std::nullopt);
  EXPECT_EQ(logind::Suspend(), std::nullopt);
  EXPECT_EQ(logind::LockOwnSession(), std::nullopt);
  EXPECT_EQ(logind::TerminateOwnSession(), std::nullopt);
  const std::string calls = logind_.Calls();
  for (const char* call : {"PowerOff False", "Reboot False", "Suspend False", "LockSession \"c1\"",
                           "TerminateSession \"c1\""}) {
    EXPECT_NE(calls.find(call), std::string::npos) << call << " in\n" << calls;
  }
}

TEST_F(Logind, WithoutSessionIdTheUsersDisplaySessionIsUsed) {
  ::unsetenv("XDG_SESSION_ID");
  // The template's own GetUser cannot build the path from the number.
  ASSERT_TRUE(logind_.Replace("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "GetUser", "u",
                              "ret = '/org/freedesktop/login1/user/%d' % args[0]", "o"));
  ASSERT_TRUE(logind_.SetProperty("/org/freedesktop/login1/user/" + std::to_string(::getuid()),
                                  "org.freedesktop.login1.User", "Display",
                                  "dbus.Struct(('c1', dbus.ObjectPath('/org/freedesktop/login1/session/c1')))"));
  const auto result = logind::LockOwnSession();
  // Inside a real login session (a developer's terminal) that session is ours.
  EXPECT_EQ(result, std::nullopt);
  EXPECT_TRUE(logind_.WaitForCall("LockSession \"")) << logind_.Calls();
}

TEST_F(Logind, RefusalsAndAMissingLogindComeBackAsTheBusError) {
  ASSERT_TRUE(logind_.Replace("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PowerOff", "b",
                              "raise dbus.exceptions.DBusException('Not allowed', "
                              "name='org.freedesktop.DBus.Error.AccessDenied')"));
  EXPECT_EQ(logind::PowerOff(), "org.freedesktop.DBus.Error.AccessDenied: Not allowed");

  logind_.StopMock();
  const auto missing = logind::Suspend();
  ASSERT_TRUE(missing.has_value());
  EXPECT_EQ(missing->rfind("org.freedesktop.DBus.Error.ServiceUnknown", 0), 0u) << *missing;

  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vandrel-test-bus", 1);
  const auto noBus = logind::Reboot();
  ASSERT_TRUE(noBus.has_value());
  EXPECT_EQ(noBus->rfind("cannot connect to the system bus: ", 0), 0u) << *noBus;
}

TEST_F(Logind, BacklightLevelIsSetThroughTheSession) {
  ASSERT_TRUE(logind_.Replace("/org/freedesktop/login1/session/c1", "org.freedesktop.login1.Session",
                              "SetBrightness", "ssu", ""));
  EXPECT_EQ(logind::SetBrightness("backlight", "intel_backlight", 4200), std::nullopt);
  EXPECT_TRUE(logind_.WaitForCall("SetBrightness \"backlight\" \"intel_backlight\" 4200")) << logind_.Calls();
}

// The X11 manager's system operations and Win+L go to logind too.
TEST_F(Logind, X11ManagerLocksSleepsAndReportsRefusals) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "DISPLAY is not set";
  auto input = InputManager::X11::Open();
  if (!input) GTEST_SKIP() << "no usable X display";
  LogCapture log;
  input->KeyClick(0x0F, 0x08);  // Win+L
  input->SystemControl(0x01, 0x82);
  input->SystemControl(0x01, 0x83);
  EXPECT_TRUE(logind_.WaitForCall("LockSession \"c1\""));
  EXPECT_TRUE(logind_.WaitForCall("Suspend False"));
  EXPECT_TRUE(log.Contains("[System] Wake-up requested"));
  ASSERT_TRUE(logind_.Replace("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "Reboot", "b",
                              "raise dbus.exceptions.DBusException('Interactive authentication required.', "
                              "name='org.freedesktop.DBus.Error.InteractiveAuthorizationRequired')"));
  input->SystemControl(0x01, 0x84);
  EXPECT_TRUE(log.Contains("[System] Initiating restart (EWX_REBOOT)..."));
  EXPECT_TRUE(log.Contains("[System] ExitWindowsEx(REBOOT) failed: "
                           "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired: "
                           "Interactive authentication required."));
}

}  // namespace
}  // namespace vandrel
