// Input on the lock screen through the real program: logind (a mock on a
// private bus) says the session is locked, and the commands go to the
// companion (a stand-in serving the program's socket) instead of the X server.
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "InputSender.h"
#include "MockLogind.h"
#include "ServerFixture.h"
#include "VandrelProcess.h"
#include "WaitUntil.h"
#include "X11Probe.h"

namespace vandrel::testing {
namespace {

class LockScreenEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "DISPLAY is not set; scripts/test.sh starts an Xvfb";
    if (!probe_.usable()) GTEST_SKIP() << "cannot open DISPLAY=" << std::getenv("DISPLAY");
    if (!logind_.problem().empty()) GTEST_SKIP() << logind_.problem();
  }
  void TearDown() override {
    if (companion_ > 0) {
      ::kill(companion_, SIGTERM);
      ::waitpid(companion_, nullptr, 0);
    }
  }

  void StartCompanion() {
    const std::string command = "/usr/bin/python3 '" + std::string(VANDREL_SOURCE_DIR) +
                                "/tests/fakes/test_companion.py' --socket '" + home_.File("Vandrel_CorePipe") +
                                "' --record '" + Record() + "' --pause '" + Pause() + "' >'" +
                                home_.File("companion.txt") + "' 2>&1 & echo $!";
    std::string pid;
    if (std::FILE* out = ::popen(command.c_str(), "r")) {
      char buffer[32] = {};
      if (std::fgets(buffer, sizeof buffer, out)) pid = buffer;
      ::pclose(out);
    }
    companion_ = std::atoi(pid.c_str());
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(Record() + ".ready"); }))
        << ReadBinary(home_.File("companion.txt"));
  }
  std::unique_ptr<VandrelProcess> Start() {
    auto process = std::make_unique<VandrelProcess>(
        home_,
        std::vector<std::string>{"--headless", "--port", std::to_string(port_), "--no-ble", "--no-mdns", "--no-adb"},
        std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + logind_.address(), "XDG_SESSION_ID=c1"});
    EXPECT_TRUE(process->WaitForLog("[SERVER] Started")) << process->Output();
    return process;
  }
  void Send(const std::vector<std::uint8_t>& datagram) { sender_.Send(datagram); }
  bool Lock(bool locked) {
    return logind_.SetProperty("/org/freedesktop/login1/session/c1", "org.freedesktop.login1.Session", "LockedHint",
                               locked ? "True" : "False");
  }
  std::string Record() const { return home_.File("record.txt"); }
  std::string Pause() const { return home_.File("pause"); }
  std::string Recorded() const { return ReadBinary(Record()); }

  MockLogind logind_;
  X11Probe probe_;
  TempDir home_;
  std::uint16_t port_ = NextTestPort();
  InputSender sender_{port_};
  pid_t companion_ = -1;
};

TEST_F(LockScreenEndToEnd, OnTheLockScreenInputGoesToTheCompanionAndFallsBackWhenItHangs) {
  StartCompanion();
  auto vandrel = Start();
  ASSERT_TRUE(vandrel->WaitForLog("[VANDREL] Connected to Core")) << vandrel->Log();
  ASSERT_TRUE(WaitUntil([&] { return Recorded() == "050000\n"; })) << "the connection test first";
  EXPECT_TRUE(vandrel->WaitForLog("[VANDREL] Secure desktop state: NO (user desktop)"));

  // The user's desktop: the pointer moves here, nothing is forwarded.
  probe_.WarpPointer(600, 400);
  Send({5, 0xF6, 0});
  ASSERT_TRUE(WaitUntil([&] { return probe_.Pointer() == std::pair(610, 400); }));
  EXPECT_TRUE(vandrel->WaitForLog("cmd=MOVE crossSession=0 coreAvail=1 secureDesktop=0 ipcClient=1"));

  ASSERT_TRUE(Lock(true));
  ASSERT_TRUE(vandrel->WaitForLog("[VANDREL] Secure desktop state: YES (lock screen) coreAvailable=1 crossSession=1"));
  // One at a time: moves that wait in the queue together merge into one.
  Send({5, 0xF6, 0});
  ASSERT_TRUE(WaitUntil([&] { return Recorded() == "050000\n05f600\n"; })) << Recorded();
  Send({5, 0x0A, 0x05});
  ASSERT_TRUE(WaitUntil([&] { return Recorded() == "050000\n05f600\n050a05\n"; })) << Recorded();
  EXPECT_EQ(probe_.Pointer(), std::pair(610, 400)) << "forwarded commands are not injected here";

  // A companion that stops reading: after 2 s that command is injected here after all.
  WriteBinary(Pause(), "");
  bool timedOut = false;
  for (int i = 0; i < 400 && !timedOut; ++i) {
    Send({5, 0xFF, 0});
    timedOut = vandrel->WaitForLog("[IPC] Send: TIMEOUT (server not reading)", std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(vandrel->WaitForLog("[VANDREL] IPC send failed, marking core as unavailable", std::chrono::seconds(10)));
  EXPECT_TRUE(WaitUntil([&] { return probe_.Pointer().first > 610; })) << "the failed command moved the pointer here";

  // Serving again, the link comes back by itself and forwarding resumes.
  std::filesystem::remove(Pause());
  ASSERT_TRUE(WaitUntil([&] {
    const std::string log = vandrel->Log();
    std::size_t connected = 0;
    for (std::size_t at = 0; (at = log.find("[VANDREL] Connected to Core", at)) != std::string::npos; ++at) ++connected;
    return connected == 2;
  }, std::chrono::seconds(20)));
  ::kill(vandrel->Pid(), SIGTERM);
  EXPECT_EQ(vandrel->Exited(std::chrono::seconds(10)), 0);
  EXPECT_NE(vandrel->Log().find("[IPC] Disconnected from pipe"), std::string::npos);
}

TEST_F(LockScreenEndToEnd, WithoutACompanionTheProgramSaysSoOnceAndInjectsItself) {
  auto vandrel = Start();
  ASSERT_TRUE(vandrel->WaitForLog("[IPC] Connect failed: FILE_NOT_FOUND")) << vandrel->Log();
  ASSERT_TRUE(Lock(true));
  ASSERT_TRUE(vandrel->WaitForLog("[VANDREL] Secure desktop state: YES (lock screen) coreAvailable=0 crossSession=0"));
  probe_.WarpPointer(300, 300);
  Send({5, 0xF6, 0});
  ASSERT_TRUE(WaitUntil([&] { return probe_.Pointer() == std::pair(310, 300); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string log = vandrel->Log();
  const auto count = [&](const std::string& text) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = log.find(text, at)) != std::string::npos; ++at) ++n;
    return n;
  };
  EXPECT_EQ(count("[VANDREL] Failed to start service: 2"), 1u);
  EXPECT_EQ(count("[IPC] Failed to connect to pipe:"), 1u);
}

}  // namespace
}  // namespace vandrel::testing
