// The Windows build's tray program under wine, on the same desktop (Xvfb,
// openbox, trayer) and driven the same way as the Linux one: its tray icon,
// its window, its message box. Needs VANDREL_WINDOWS_BUILD (the Windows build
// folder) and WINEPREFIX; scripts/test.sh sets both.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ServerFixture.h"
#include "VandrelProcess.h"

// Xlib defines Success as a macro: the handshake's answer is named before its headers come in.
namespace vandrel::testing {
constexpr auto kHandshakeOk = phone::HandshakeResult::Success;
}

#include "TrayDriving.h"

namespace vandrel::testing {
namespace {

using namespace std::chrono_literals;
using phone::ReceiveStatus;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// IMAGE_OPTIONAL_HEADER's Subsystem of a PE file: 2 is a windowed program, 3 a console one.
int PeSubsystem(const std::filesystem::path& file) {
  const std::string image = ReadBinary(file);
  if (image.size() < 0x40) return -1;
  std::uint32_t header = 0;
  std::memcpy(&header, image.data() + 0x3c, 4);
  // "PE\0\0", the 20-byte file header, then the optional header with Subsystem at 68.
  if (image.size() < header + 24 + 70 || image.compare(header, 4, std::string("PE\0\0", 4)) != 0) return -1;
  std::uint16_t subsystem = 0;
  std::memcpy(&subsystem, image.data() + header + 24 + 68, 2);
  return subsystem;
}

class WineTrayProgramTest : public TrayDrivingTest {
 protected:
  void SetUp() override {
    TrayDrivingTest::SetUp();
    if (Unusable()) return;
    build_ = Environment("VANDREL_WINDOWS_BUILD");
    prefix_ = Environment("WINEPREFIX");
    ASSERT_FALSE(build_.empty()) << "VANDREL_WINDOWS_BUILD names no Windows build folder";
    ASSERT_FALSE(prefix_.empty()) << "WINEPREFIX is not set";
    ASSERT_TRUE(std::filesystem::exists(build_ / "vandrel.exe")) << build_;
    // The log sits beside the program: a copy of it per test keeps the tests' logs apart.
    std::filesystem::copy_file(build_ / "vandrel.exe", programDir_.path() / "vandrel.exe");
    const passwd* user = ::getpwuid(::getuid());
    ASSERT_NE(user, nullptr);
    appData_ = prefix_ / "drive_c/users" / user->pw_name / "AppData/Roaming/Vandrel";
    std::filesystem::remove_all(appData_);
    EndWineSession();
  }

  // Each test gets a wine session of its own: explorer.exe, which docks the
  // icons, would otherwise keep an icon of the last test's program about.
  void EndWineSession() {
    const std::string command = "WINEPREFIX='" + prefix_.string() + "' wineserver -k >/dev/null 2>&1; WINEPREFIX='" +
                                prefix_.string() + "' wineserver -w >/dev/null 2>&1";
    EXPECT_NE(std::system(command.c_str()), -1);
  }

  // wine docks the icons of all its programs from explorer.exe; the test runs one at a time.
  Window FindTrayIcon(pid_t) override { return desktop_->TrayIconOfClass("explorer.exe"); }

  void TearDown() override {
    for (auto& process : processes_) process->Signal(SIGKILL, 10s);
    if (!prefix_.empty()) EndWineSession();
  }

  std::vector<std::string> Arguments(std::uint16_t port) {
    return {"--port", std::to_string(port), "--no-ble", "--no-mdns", "--no-adb", "--discovery-port",
            std::to_string(NextTestPort())};
  }

  VandrelProcess& Launch(std::uint16_t port) {
    const VandrelLaunch launch{{"/usr/bin/wine", (programDir_.path() / "vandrel.exe").string()},
                               programDir_.path() / "vandrel.log",
                               appData_ / "settings.ini"};
    processes_.push_back(std::make_unique<VandrelProcess>(
        home_, Arguments(port), std::vector<std::string>{"WINEPREFIX=" + prefix_.string(), "WINEDEBUG=-all"},
        launch));
    return *processes_.back();
  }

  /// The tray program on port_, serving and docked in the tray.
  VandrelProcess& Start() {
    VandrelProcess& process = Launch(port_);
    EXPECT_TRUE(process.Spawned());
    // A prefix's first program waits for wine to set the prefix up.
    EXPECT_TRUE(process.WaitForLog("[SERVER] Started", 120s)) << Tail(process.Output());
    EXPECT_TRUE(process.WaitForLog("[GUI] StartGuiPumpTimer started (200ms)", 30s)) << Tail(process.Log());
    EXPECT_NE(Icon(process.Pid()), 0u) << "no tray icon\n" << Tail(process.Log());
    return process;
  }

  /// What the Windows-side probe prints (one line each, or why it could not) for `arguments`.
  std::string Probe(const std::vector<std::string>& arguments) {
    std::string command = "WINEDEBUG=-all WINEPREFIX='" + prefix_.string() + "' /usr/bin/wine '" +
                          (build_ / "vandrel_window_probe.exe").string() + "'";
    for (const auto& argument : arguments) command += " '" + argument + "'";
    command += " 2>&1";
    std::string text;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
      for (char buffer[512]; std::fgets(buffer, sizeof buffer, pipe);) text += buffer;
      ::pclose(pipe);
    }
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }

  /// What the shell tells the program on a double click on its icon, until its window shows.
  Window ShowFromTray(pid_t pid) {
    Window frame = 0;
    for (int attempt = 0; attempt < 3 && !frame; ++attempt) {
      Probe({"tray", "Vandrel", "double"});
      DesktopSession::Wait([&] { return (frame = desktop_->VisibleWindow(pid, "Vandrel")) != 0; }, 10s);
    }
    return frame;
  }

  /// Opens the tray icon's menu and picks its "first" or "last" item; empty when it could.
  std::string ChooseFromMenu(const std::string& which) {
    Probe({"tray", "Vandrel", "right"});
    return Probe({"menu", which});
  }

  std::unique_ptr<phone::PhoneClient> Phone() {
    auto client = std::make_unique<phone::PhoneClient>(phone::Seconds(15));
    client->Connect("127.0.0.1", port_, "Maker/Phone/Model-1/1");
    EXPECT_EQ(client->Handshake(std::nullopt), kHandshakeOk);
    client->Ping();
    return client;
  }

  std::filesystem::path build_, prefix_, appData_;
  TempDir home_, programDir_;
  std::uint16_t port_ = NextTestPort();
  std::vector<std::unique_ptr<VandrelProcess>> processes_;
};

TEST_F(WineTrayProgramTest, WindowedProgramShowsItsThreePagesAndPairingCode) {
  EXPECT_EQ(PeSubsystem(build_ / "vandrel.exe"), 2) << "vandrel.exe is not a windowed program";
  VandrelProcess& vandrel = Start();
  const pid_t pid = vandrel.Pid();
  EXPECT_EQ(desktop_->VisibleWindow(pid, "Vandrel"), 0u) << "the window shows at start";
  auto phone = Phone();

  const Window frame = ShowFromTray(pid);
  ASSERT_NE(frame, 0u) << "a double click on the tray icon did not show the window\n" << Tail(vandrel.Log());
  EXPECT_EQ(Probe({"tabs", "Vandrel"}), "Status\nSettings\nLog") << Probe({"texts", "Vandrel"});
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  const std::string expected = std::string(host) + "|10.213.0.2:" + std::to_string(port_);
  TempDir pictures;
  std::string codes;
  EXPECT_TRUE(DesktopSession::Wait([&] { return (codes = ReadCodesOnScreen(pictures)) == expected; }, 30s))
      << "the screen's QR codes say \"" << codes << "\", not \"" << expected << "\"";
  if (const char* shot = std::getenv("VANDREL_WINE_SCREENSHOT")) {
    std::filesystem::copy_file(pictures.File("screen.png"), shot, std::filesystem::copy_options::overwrite_existing);
  }
  EXPECT_NO_THROW(phone->Ping());
}

TEST_F(WineTrayProgramTest, SecondStartShowsTheMessageAndEndsWithTheStartUpFailureCode) {
  VandrelProcess& first = Start();
  auto phone = Phone();
  const std::uint16_t otherPort = NextTestPort();
  VandrelProcess& second = Launch(otherPort);
  Window box = 0;
  ASSERT_TRUE(DesktopSession::Wait([&] { return (box = desktop_->VisibleWindow(second.Pid(), "Vandrel")) != 0; }, 60s))
      << "the second start showed no window titled Vandrel\n" << Tail(second.Output());
  EXPECT_NE(Probe({"texts", "Vandrel"}).find("Vandrel 已经在运行中。"), std::string::npos) << Probe({"texts", "Vandrel"});
  EXPECT_EQ(second.Exited(500ms), std::nullopt) << "the second start did not wait for the message to be read";
  DismissWithReturn(box, [&](std::chrono::milliseconds limit) { return second.Exited(limit); });
  // The toolkit's start-up failure code, -1, is what wine hands on as 255.
  EXPECT_EQ(second.Exited(0ms), 255);
  EXPECT_NO_THROW(phone->Ping());
  EXPECT_EQ(first.Exited(0ms), std::nullopt);
}

TEST_F(WineTrayProgramTest, TrayMenuExitEndsWithCodeZeroAndTheSettingsWritten) {
  VandrelProcess& vandrel = Start();
  auto phone = Phone();
  ASSERT_EQ(ChooseFromMenu("last"), "") << "the tray icon opened no menu";
  EXPECT_EQ(vandrel.Exited(30s), 0) << Tail(vandrel.Log());
  EXPECT_EQ(phone->ReceivePacket().status, ReceiveStatus::Closed);
  const std::string log = vandrel.Log();
  EXPECT_NE(log.find("[INPUT_QUEUE] Stopped. Enqueued: "), std::string::npos) << Tail(log);
  EXPECT_EQ(log.find("Restart"), std::string::npos) << Tail(log);
  EXPECT_TRUE(std::filesystem::exists(vandrel.SettingsFile())) << vandrel.SettingsFile();
}

TEST_F(WineTrayProgramTest, TrayMenuRestartStartsTheProgramAgainOnTheSamePort) {
  VandrelProcess& vandrel = Start();
  ASSERT_EQ(ChooseFromMenu("first"), "") << "the tray icon opened no menu";
  EXPECT_EQ(vandrel.Exited(30s), 0) << Tail(vandrel.Log());
  std::string log = vandrel.Log();
  const auto restartAt = log.find("[VANDREL] Restart requested. Exe=");
  ASSERT_NE(restartAt, std::string::npos) << Tail(log);
  EXPECT_NE(log.find("vandrel.exe WorkDir=", restartAt), std::string::npos) << Tail(log);
  EXPECT_NE(log.find("[VANDREL] Restart: new instance launched successfully", restartAt), std::string::npos);
  // The new instance is wine's child, not ours: its log lines and a phone tell it serves.
  const bool served = DesktopSession::Wait([&] {
    log = vandrel.Log();
    const auto banner = log.find("========== Logger started at ", restartAt);
    return banner != std::string::npos && log.find("[SERVER] Started", banner) != std::string::npos;
  }, 60s);
  ASSERT_TRUE(served) << "no new instance started serving\n" << Tail(log);
  EXPECT_NO_THROW(Phone());
}

}  // namespace
}  // namespace vandrel::testing
