// The real tray program (vandrel without --headless) on a desktop with a
// window manager and a system tray, driven through its tray icon, its window
// and phones.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "ServerFixture.h"
#include "VandrelProcess.h"

// Xlib defines Success as a macro: the handshake's answer is named before its headers come in.
namespace vandrel::testing {
constexpr auto kHandshakeOk = phone::HandshakeResult::Success;
}

#include "TrayDriving.h"

namespace vandrel::testing {
namespace {

using phone::ReceiveStatus;

// The last "[GUI] Device list: N rows" line of the log and the N rows after it,
// without their "[GUI]  " prefix, one per line.
std::string LastDeviceList(const std::string& log) {
  const std::string header = "[GUI] Device list: ";
  const auto at = log.rfind(header);
  if (at == std::string::npos) return "none";
  std::istringstream lines(log.substr(at + header.size()));
  std::string text;
  std::getline(lines, text);
  const int count = std::atoi(text.c_str());
  int rows = 0;
  for (std::string line; rows < count && std::getline(lines, line);) {
    if (line.rfind("[GUI]  ", 0) != 0) continue;  // other threads' lines may come between
    text += "\n" + line.substr(7);
    ++rows;
  }
  return text;
}

class TrayProgramTest : public TrayDrivingTest {
 protected:
  void TearDown() override {
    // Whatever still serves this test's port, a restarted instance included, ends with the test.
    for (pid_t pid : VandrelProcess::RunningOnPort(port_)) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }

  std::vector<std::string> Arguments(std::uint16_t port) {
    return {"--port", std::to_string(port), "--no-ble", "--no-mdns", "--no-adb", "--discovery-port",
            std::to_string(NextTestPort())};
  }

  /// The tray program on port_, started and docked in the tray.
  std::unique_ptr<VandrelProcess> Start() {
    arguments_ = Arguments(port_);
    auto process = std::make_unique<VandrelProcess>(home_, arguments_);
    EXPECT_TRUE(process->Spawned());
    if (!process->Spawned()) return process;
    EXPECT_TRUE(process->WaitForLog("[SERVER] Started", 30s)) << Tail(process->Output());
    EXPECT_TRUE(process->WaitForLog("[GUI] StartGuiPumpTimer started (200ms)", 30s)) << Tail(process->Output());
    EXPECT_NE(Icon(process->Pid()), 0u) << "no tray icon\n" << Tail(process->Output());
    return process;
  }

  std::unique_ptr<phone::PhoneClient> Phone(const std::string& hello) {
    auto client = std::make_unique<phone::PhoneClient>(phone::Seconds(15));
    client->Connect("127.0.0.1", port_, hello);
    EXPECT_EQ(client->Handshake(std::nullopt), kHandshakeOk);
    client->Ping();
    return client;
  }

  TempDir home_;
  std::uint16_t port_ = NextTestPort();
  std::vector<std::string> arguments_;
};

TEST_F(TrayProgramTest, StartsHiddenShowsItsPairingCodeAndClosesToTheTray) {
  auto vandrel = Start();
  const pid_t pid = vandrel->Pid();
  EXPECT_FALSE(DesktopSession::Wait([&] { return desktop_->VisibleWindow(pid, "Vandrel") != 0; }, 1s))
      << "the window shows at start";
  auto phone = Phone("Maker/Phone/Model-1/1");

  const Window frame = ShowByTrayIcon(pid);
  ASSERT_NE(frame, 0u) << "a double click on the tray icon did not show the window";
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  const std::string expected = std::string(host) + "|10.213.0.2:" + std::to_string(port_);
  TempDir pictures;
  std::string codes;
  // The window paints a moment after it is mapped.
  EXPECT_TRUE(DesktopSession::Wait([&] { return (codes = ReadCodesOnScreen(pictures)) == expected; }, 30s))
      << "the screen's QR codes say \"" << codes << "\", not \"" << expected << "\"";

  // The window manager's close only hides the window; the phone stays connected.
  desktop_->CloseByWindowManager(frame);
  EXPECT_TRUE(DesktopSession::Wait([&] { return !desktop_->Viewable(frame); })) << "closing left the window shown";
  EXPECT_EQ(vandrel->Exited(1s), std::nullopt) << "closing the window ended the program";
  EXPECT_NO_THROW(phone->Ping());
  EXPECT_NE(desktop_->TrayIcon(pid), 0u);
  // The same window comes back, and again after it was minimised.
  EXPECT_EQ(ShowByTrayIcon(pid), frame);
  desktop_->Iconify(frame);
  EXPECT_TRUE(DesktopSession::Wait([&] { return !desktop_->Viewable(frame); })) << "minimising left the window shown";
  EXPECT_EQ(ShowByTrayIcon(pid), frame) << "a double click did not bring the minimised window back";

  EXPECT_EQ(vandrel->Signal(SIGTERM), 0);
  EXPECT_EQ(phone->ReceivePacket().status, ReceiveStatus::Closed);
}

TEST_F(TrayProgramTest, DeviceListFollowsPhones) {
  auto vandrel = Start();
  const auto listShows = [&](const std::string& expected) {
    std::string shown;
    const bool ok = DesktopSession::Wait([&] { return (shown = LastDeviceList(vandrel->Log())) == expected; });
    EXPECT_TRUE(ok) << "the last device list is\n" << shown << "\nnot\n" << expected;
  };
  auto phone = Phone("Maker/Phone/Model-1/1");
  auto tablet = Phone("Acme/Tab/T-2/0");
  listShows("2 rows\n1 | 127.0.0.1 | WIFI | Phone | Maker | Model-1\n2 | 127.0.0.1 | USB | Tab | Acme | T-2");
  phone->Close();
  listShows("1 rows\n1 | 127.0.0.1 | USB | Tab | Acme | T-2");
  tablet->Close();
  listShows("0 rows");
  EXPECT_EQ(vandrel->Signal(SIGTERM), 0);
}

TEST_F(TrayProgramTest, SecondInstanceShowsAMessageAndLeavesTheFirstServing) {
  auto first = Start();
  auto phone = Phone("Maker/Phone/Model-1/1");
  const std::uint16_t otherPort = NextTestPort();
  VandrelProcess second(home_, Arguments(otherPort));
  Window box = 0;
  ASSERT_TRUE(DesktopSession::Wait([&] { return (box = desktop_->VisibleWindow(second.Pid(), "Vandrel")) != 0; }))
      << "the second instance showed no window titled Vandrel\n" << Tail(second.Output());
  EXPECT_EQ(second.Exited(500ms), std::nullopt) << "the second instance did not wait for the message to be read";
  DismissWithReturn(box, [&](std::chrono::milliseconds limit) { return second.Exited(limit); });
  const auto code = second.Exited(0ms);
  ASSERT_NE(code, std::nullopt) << "Return did not dismiss the message";
  EXPECT_NE(*code, 0);
  EXPECT_TRUE(VandrelProcess::RunningOnPort(otherPort).empty());
  EXPECT_NO_THROW(phone->Ping());
  EXPECT_NE(desktop_->TrayIcon(first->Pid()), 0u);
  EXPECT_EQ(first->Signal(SIGTERM), 0);
}

TEST_F(TrayProgramTest, TrayMenuExitEndsCleanly) {
  auto vandrel = Start();
  auto phone = Phone("Maker/Phone/Model-1/1");
  ASSERT_NO_FATAL_FAILURE(ChooseFromTrayMenu(vandrel->Pid(), XK_End));
  EXPECT_EQ(vandrel->Exited(30s), 0) << Tail(vandrel->Output());
  EXPECT_EQ(phone->ReceivePacket().status, ReceiveStatus::Closed);
  const std::string log = vandrel->Log();
  EXPECT_NE(log.find("[SERVER] Closed."), std::string::npos) << Tail(log);
  EXPECT_NE(log.find("[INPUT_QUEUE] Stopped. Enqueued: "), std::string::npos) << Tail(log);
  EXPECT_EQ(log.find("Restart"), std::string::npos) << Tail(log);
  EXPECT_TRUE(std::filesystem::exists(vandrel->SettingsFile()));
  EXPECT_TRUE(VandrelProcess::RunningOnPort(port_).empty());
}

TEST_F(TrayProgramTest, TrayMenuRestartLeavesOneInstanceOnTheSamePort) {
  // The new instance loses its parent, the old one: as subreaper we inherit it and can reap it.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  struct Subreaper {
    ~Subreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
  } subreaper;
  auto vandrel = Start();
  const pid_t old = vandrel->Pid();
  ASSERT_NO_FATAL_FAILURE(ChooseFromTrayMenu(old, XK_Home));
  EXPECT_EQ(vandrel->Exited(30s), 0) << Tail(vandrel->Output());

  const std::string build = std::filesystem::canonical(VANDREL_BUILD_DIR).string();
  const std::string requested = "[VANDREL] Restart requested. Exe=" + build + "/vandrel WorkDir=" + build + "\n";
  const std::string launched = "[VANDREL] Restart: new instance launched successfully";
  const std::string banner = "========== Logger started at ";
  std::string log = vandrel->Log();
  const auto restartAt = log.find(requested);
  ASSERT_NE(restartAt, std::string::npos) << Tail(log);
  EXPECT_NE(log.find(launched, restartAt), std::string::npos) << Tail(log);
  // The new instance's banner names its process; it must serve again.
  pid_t next = 0;
  std::size_t bannerAt = std::string::npos;
  const bool served = DesktopSession::Wait([&] {
    log = vandrel->Log();
    bannerAt = log.find(banner, restartAt);
    const auto pidAt = log.find(" PID=", bannerAt == std::string::npos ? log.size() : bannerAt);
    if (pidAt != std::string::npos) next = std::atoi(log.c_str() + pidAt + 5);
    return next > 0 && log.find("[SERVER] Started", bannerAt) != std::string::npos;
  }, 30s);
  ASSERT_TRUE(served) << "no new instance started serving\n" << Tail(log);
  EXPECT_NE(next, old);

  const std::vector<pid_t> onlyNext = {next};
  EXPECT_TRUE(DesktopSession::Wait([&] { return VandrelProcess::RunningOnPort(port_) == onlyNext; }));
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(VandrelProcess::RunningOnPort(port_), onlyNext);
  std::string expectedLine = build + "/vandrel";
  for (const auto& argument : arguments_) expectedLine += '\0' + argument;
  EXPECT_EQ(ReadBinary("/proc/" + std::to_string(next) + "/cmdline"), expectedLine + '\0') << "other options";
  EXPECT_NO_THROW(Phone("Maker/Phone/Model-1/1"));
  EXPECT_NE(Icon(next), 0u) << "the new instance has no tray icon";

  // SIGTERM takes the exit path of the new instance too.
  ASSERT_EQ(::kill(next, SIGTERM), 0);
  int status = -1;
  ASSERT_TRUE(DesktopSession::Wait([&] { return ::waitpid(next, &status, WNOHANG) == next; }, 30s))
      << "the new instance did not end on SIGTERM";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_NE(vandrel->Log().find("[INPUT_QUEUE] Stopped. Enqueued: ", bannerAt), std::string::npos);
  EXPECT_TRUE(VandrelProcess::RunningOnPort(port_).empty());
}

}  // namespace
}  // namespace vandrel::testing
