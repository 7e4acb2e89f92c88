// The real program working with the desktop for a phone: the application list
// of an openbox desktop with real clients and GNOME-style favourites,
// switching, launching, opening an address and smart media keys.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

// Before Xlib, whose Success macro would clash with the phone client's names.
#include "PhoneRun.h"
#include "ServerFixture.h"
#include "SpawnChild.h"
#include "VandrelProcess.h"

namespace vandrel::testing {
constexpr auto kHandshakeSuccess = phone::HandshakeResult::Success;
}

#include "DesktopSession.h"
#include "X11Probe.h"

#include <X11/keysym.h>

namespace vandrel::testing {
namespace {

namespace fs = std::filesystem;

// A client of the test's X server, ended with the test.
class Client {
 public:
  explicit Client(std::vector<std::string> args) : pid_(SpawnChild(std::move(args))) {}
  ~Client() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

 private:
  pid_t pid_ = -1;
};

struct Listed {
  std::string kind, hwnd, name, process, path;
  std::size_t icon = 0;
};

// The lines of `vandrel-phone apps`: INDEX running|pinned hwnd=0x.. name=".." process=".." icon=N path="..".
std::vector<Listed> ParseApps(const std::string& output) {
  static const std::regex line(
      R"re(^\d+ (running|pinned) hwnd=(0x[0-9a-f]+) name="(.*)" process="(.*)" icon=(\d+) path="(.*)"$)re");
  std::vector<Listed> apps;
  std::istringstream in(output);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (std::regex_match(text, m, line)) apps.push_back({m[1], m[2], m[3], m[4], m[6], std::stoul(m[5])});
  }
  return apps;
}

void WriteFile(const fs::path& path, const std::string& text, bool executable = false) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  if (executable) fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The smallest valid PNG: 1 x 1, opaque.
const unsigned char kPngBytes[] = {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0xf8, 0xcf, 0xc0, 0xf0, 0x1f, 0x00, 0x05, 0x00, 0x01, 0xff, 0x89, 0x99, 0x3d, 0x1d, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
const std::string kPng(reinterpret_cast<const char*>(kPngBytes), sizeof kPngBytes);

class DesktopEndToEnd : public DesktopSessionTest {
 protected:

  void SetUp() override {
    DesktopSessionTest::SetUp();
    if (Unusable()) return;
    ASSERT_TRUE(probe_.usable());
    const fs::path root = home_.path();
    // Favourites through GSettings' keyfile backend and a schema of our own.
    WriteFile(root / "schemas/org.gnome.shell.gschema.xml",
              "<schemalist><schema id='org.gnome.shell' path='/org/gnome/shell/'>"
              "<key name='favorite-apps' type='as'><default>[]</default></key></schema></schemalist>");
    ASSERT_EQ(std::system(("glib-compile-schemas " + (root / "schemas").string()).c_str()), 0);
    WriteFile(root / "config/glib-2.0/settings/keyfile",
              "[org/gnome/shell]\nfavorite-apps=['pinnedtool.desktop', 'term.desktop']\n");
    WriteFile(root / "data/applications/pinnedtool.desktop",
              "[Desktop Entry]\nType=Application\nName=Pinned Tool\nExec=" + (root / "bin/pinnedtool").string() +
                  " %U\nIcon=pinnedtool\n");
    WriteFile(root / "data/applications/term.desktop", "[Desktop Entry]\nType=Application\nName=Term\nExec=xterm\n");
    WriteFile(root / "data/icons/hicolor/48x48/apps/pinnedtool.png", kPng);
    WriteFile(root / "bin/pinnedtool", "#!/bin/sh\necho started > \"$0.ran\"\n", true);
    // The desktop's opener, first on the program's PATH: records its arguments.
    WriteFile(root / "bin/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > \"$0.args\"\n", true);
    vandrel_ = std::make_unique<VandrelProcess>(
        home_,
        std::vector<std::string>{"--headless", "--port", std::to_string(port_), "--no-ble", "--no-mdns", "--no-adb"},
        std::vector<std::string>{"GSETTINGS_BACKEND=keyfile", "GSETTINGS_SCHEMA_DIR=" + (root / "schemas").string(),
                                 "XDG_DATA_HOME=" + (root / "data").string(), "XDG_DATA_DIRS=/nonexistent"});
    ASSERT_TRUE(vandrel_->WaitForLog("[SERVER] Started")) << vandrel_->Output();
    ASSERT_TRUE(vandrel_->WaitForLog("[SendInput] X11 display"));
  }

  PhoneRun Send(const std::string& command) { return Phone("--port " + std::to_string(port_) + " " + command); }

  // The list once `ready` holds for it.
  std::vector<Listed> AppsWhen(const std::function<bool(const std::vector<Listed>&)>& ready) {
    std::vector<Listed> apps;
    DesktopSession::Wait([&] {
      const auto run = Send("apps");
      apps = ParseApps(run.output);
      return run.code == 0 && ready(apps);
    });
    return apps;
  }

  static const Listed* Find(const std::vector<Listed>& apps, const std::string& name) {
    for (const auto& app : apps) {
      if (app.name == name) return &app;
    }
    return nullptr;
  }

  X11Probe probe_;
  TempDir home_;
  std::uint16_t port_ = NextTestPort();
  std::unique_ptr<VandrelProcess> vandrel_;
};

TEST_F(DesktopEndToEnd, TheListHoldsTheRunningWindowsThenTheFavouritesAndSwitchingActivatesOne) {
  if (std::system("command -v xterm >/dev/null && command -v xclock >/dev/null") != 0) {
    GTEST_SKIP() << "xterm or xclock is not installed";
  }
  Client first({"xterm", "-T", "first-term"});
  Client second({"xterm", "-T", "second-term"});
  Client clock({"xclock", "-name", "clock"});
  // What no taskbar shows: a dock, and a window without a title.
  probe_.OpenWindowOfType("dock-window", "_NET_WM_WINDOW_TYPE_DOCK");
  probe_.OpenWindowOfType("", nullptr);
  const auto apps = AppsWhen([](const std::vector<Listed>& list) {
    return Find(list, "first-term") && Find(list, "second-term") && Find(list, "clock");
  });
  ASSERT_TRUE(Find(apps, "second-term")) << vandrel_->Log();
  for (const char* title : {"first-term", "second-term"}) {
    const Listed& term = *Find(apps, title);
    EXPECT_EQ(term.kind, "running");
    EXPECT_EQ(term.process, fs::path(term.path).filename().string());
    EXPECT_NE(term.process.find("xterm"), std::string::npos) << term.process;
    EXPECT_TRUE(fs::exists(term.path)) << term.path;
  }
  EXPECT_EQ(Find(apps, "clock")->process, "xclock");
  EXPECT_FALSE(Find(apps, "dock-window"));
  EXPECT_FALSE(Find(apps, ""));

  // The favourites follow the running windows; the terminal is running, so only the tool is listed.
  const Listed* pinned = Find(apps, "pinnedtool");
  ASSERT_TRUE(pinned) << vandrel_->Log();
  EXPECT_EQ(pinned->kind, "pinned");
  EXPECT_EQ(pinned->hwnd, "0x0");
  EXPECT_EQ(pinned->icon, kPng.size());
  EXPECT_EQ(&apps.back(), pinned);
  EXPECT_TRUE(vandrel_->WaitForLog("is already running (skipping duplicate)")) << vandrel_->Log();
  EXPECT_TRUE(vandrel_->WaitForLog("[CONNECTION] Sending APP_LIST_DATA: " + std::to_string(apps.size()) + " apps, "));

  // Icons are written as PNG files.
  const fs::path icons = home_.path() / "icons";
  fs::create_directories(icons);
  ASSERT_EQ(Send("apps --icons " + icons.string()).code, 0);
  std::size_t written = 0;
  for (const auto& entry : fs::directory_iterator(icons)) {
    EXPECT_EQ(ReadFile(entry.path()).substr(0, 8), kPng.substr(0, 8)) << entry.path();
    ++written;
  }
  EXPECT_GE(written, 1u);

  const std::string target = Find(apps, "second-term")->hwnd;
  ASSERT_EQ(Send("switch " + target).code, 0);
  EXPECT_TRUE(vandrel_->WaitForLog("[CONNECTION] SwitchToWindow result: OK")) << vandrel_->Log();
  EXPECT_EQ(probe_.ActiveWindow(), std::stoul(target, nullptr, 16));
}

TEST_F(DesktopEndToEnd, LaunchStartsTheProgramAndOpenHandsTheAddressOverAsOneArgument) {
  const fs::path tool = home_.path() / "bin/pinnedtool";
  ASSERT_EQ(Send("launch " + tool.string()).code, 0);
  EXPECT_TRUE(WaitUntil([&] { return fs::exists(tool.string() + ".ran"); })) << vandrel_->Log();
  EXPECT_TRUE(vandrel_->WaitForLog("[CONNECTION] LaunchApp result: OK"));
  ASSERT_EQ(Send("launch /nonexistent/program").code, 0);
  EXPECT_TRUE(vandrel_->WaitForLog("[CONNECTION] LaunchApp result: FAILED"));

  const fs::path marker = home_.path() / "shell-ran";
  const std::string url = "https://example.org/a b?q=\"x\";touch " + marker.string();
  ASSERT_EQ(Send("open '" + url + "'").code, 0);
  EXPECT_TRUE(vandrel_->WaitForLog("[CONNECTION] xdg-open result: OK")) << vandrel_->Log();
  EXPECT_EQ(ReadFile(home_.path() / "bin/xdg-open.args"), "1\n" + url + "\n");
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(DesktopEndToEnd, SmartMediaSendsTheKeyOfTheSiteOrPlayerInFront) {
  ASSERT_TRUE(probe_.OpenActiveWindow("YouTube - test"));
  ASSERT_EQ(Send("smart-media play").code, 0);
  EXPECT_TRUE(probe_.WaitForKeyRelease(XK_k)) << vandrel_->Log();
  EXPECT_TRUE(vandrel_->WaitForLog("[SmartMedia] YouTube detected -> sending 'K'"));
  probe_.events().clear();
  ASSERT_EQ(Send("smart-media fullscreen").code, 0);
  EXPECT_TRUE(probe_.WaitForKeyRelease(XK_f)) << vandrel_->Log();

  // A player is known by its program's name.
  if (!fs::exists("/usr/bin/xterm")) GTEST_SKIP() << "xterm is not installed";
  const fs::path player = home_.path() / "bin/vlc";
  fs::copy_file(fs::path("/usr/bin/xterm"), player);
  Client vlc({player.string(), "-T", "player"});
  const auto apps = AppsWhen([](const std::vector<Listed>& list) { return Find(list, "player") != nullptr; });
  ASSERT_TRUE(Find(apps, "player")) << vandrel_->Log();
  ASSERT_EQ(Send("switch " + Find(apps, "player")->hwnd).code, 0);
  ASSERT_TRUE(vandrel_->WaitForLog("[CONNECTION] SwitchToWindow result: OK")) << vandrel_->Log();
  ASSERT_EQ(Send("smart-media play").code, 0);
  EXPECT_TRUE(vandrel_->WaitForLog("[SmartMedia] Foreground: proc=\"vlc\", title=\"player\"")) << vandrel_->Log();
  EXPECT_TRUE(vandrel_->WaitForLog("[SmartMedia] Media player detected -> sending Space"));
  EXPECT_TRUE(vandrel_->WaitForLog("[SmartMedia] Injected key: VK=0x20, scanCode=0x39"));
}

TEST_F(DesktopEndToEnd, TheLaserSpotFollowsThePointerAndGoesWithItsPhone) {
  probe_.WarpPointer(500, 300);
  phone::PhoneClient client(phone::Seconds(10));
  client.Connect("127.0.0.1", port_, "Maker/Phone/Model-1/1");
  ASSERT_EQ(client.Handshake(std::nullopt), kHandshakeSuccess);
  const std::uint8_t on[] = {25}, off[] = {26};
  client.Send(on);
  client.Ping();
  Window spot = 0;
  ASSERT_TRUE(WaitUntil([&] {
    spot = probe_.FindWindowOfClass("VandrelLaserOverlay");
    return spot && probe_.Viewable(spot);
  })) << vandrel_->Log();
  EXPECT_TRUE(WaitUntil([&] { return probe_.Position(spot) == std::pair(482, 282); }));
  EXPECT_TRUE(WaitUntil([&] { return probe_.ScreenPixel(500, 300) == 0xFFFFFF; }));
  const unsigned long glow = probe_.ScreenPixel(508, 300);
  EXPECT_GT(glow >> 16 & 0xFF, 100u);
  EXPECT_LT(glow >> 8 & 0xFF, (glow >> 16 & 0xFF) / 2);

  // MOVE datagrams move the pointer (by minus what they carry), and the spot follows.
  const std::uint8_t move[] = {5, 0xF6, 0xF6};  // -10, -10
  for (int i = 0; i < 5; ++i) client.SendDatagram(move);
  EXPECT_TRUE(WaitUntil([&] { return probe_.Pointer() == std::pair(550, 350); })) << vandrel_->Log();
  EXPECT_TRUE(WaitUntil([&] { return probe_.Position(spot) == std::pair(532, 332); }));

  client.Send(off);
  client.Ping();
  EXPECT_TRUE(WaitUntil([&] { return probe_.FindWindowOfClass("VandrelLaserOverlay") == 0; }));
  EXPECT_NE(probe_.ScreenPixel(550, 350), 0xFFFFFFu);
  EXPECT_TRUE(vandrel_->WaitForLog("[CONNECTION] LASER_OFF: laser pointer overlay hidden"));

  // A phone that leaves with the spot on leaves no spot behind.
  client.Send(on);
  client.Ping();
  ASSERT_TRUE(WaitUntil([&] { return probe_.FindWindowOfClass("VandrelLaserOverlay") != 0; }));
  client.Close();
  EXPECT_TRUE(WaitUntil([&] { return probe_.FindWindowOfClass("VandrelLaserOverlay") == 0; },
                        std::chrono::seconds(3)));
}

}  // namespace
}  // namespace vandrel::testing
