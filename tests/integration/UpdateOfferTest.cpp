// The tray program's update offer, against a release feed served on loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "ServerFixture.h"
#include "VandrelProcess.h"
// Xlib defines Success as a macro: everything that names it comes first.
#include <X11/keysym.h>

#include "DesktopSession.h"

namespace vandrel::testing {
namespace {

constexpr const char* kFeed = R"({
  "tag_name": "v0.100.0",
  "html_url": "https://example.org/vandrel/releases/v0.100.0",
  "body": "Faster pointer.\nFewer surprises.",
  "assets": [
    {"name": "vandrel-0.100.0-win64.exe", "browser_download_url": "https://example.org/w.exe", "size": 1000},
    {"name": "vandrel-0.100.0-linux-x86_64.tar.gz", "browser_download_url": "https://example.org/l.tgz", "size": 2000}
  ]
})";

class UpdateOfferTest : public DesktopSessionTest {
 protected:
  void SetUp() override {
    DesktopSessionTest::SetUp();
    if (Unusable()) return;
    std::filesystem::create_directories(feedDir_.path() / "releases");
    WriteBinary(feedDir_.path() / "releases/latest", kFeed);
    const std::string command = "/usr/bin/python3 -m http.server --bind 127.0.0.1 --directory '" +
                                feedDir_.path().string() + "' " + std::to_string(feedPort_) + " >'" +
                                feedDir_.File("server.txt") + "' 2>&1 & echo $!";
    if (std::FILE* out = ::popen(command.c_str(), "r")) {
      char pid[32] = {};
      if (std::fgets(pid, sizeof pid, out)) server_ = std::atoi(pid);
      ::pclose(out);
    }
    ASSERT_GT(server_, 0);
    ASSERT_TRUE(WaitUntil([&] { return Listening(); }, 20s)) << ReadBinary(feedDir_.File("server.txt"));
    // A stand-in for the desktop's opener, which records the address it was given.
    std::filesystem::create_directories(home_.path() / "bin");
    const std::string opener = (home_.path() / "bin/xdg-open").string();
    WriteBinary(opener, "#!/bin/sh\necho \"$1\" > '" + home_.File("opened.txt") + "'\n");
    ::chmod(opener.c_str(), 0755);
  }
  void TearDown() override {
    if (server_ > 0) {
      ::kill(server_, SIGTERM);
      ::waitpid(server_, nullptr, 0);
    }
  }
  bool Listening() const {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(feedPort_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool up = ::connect(probe, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    ::close(probe);
    return up;
  }
  std::unique_ptr<VandrelProcess> Start() {
    auto process = std::make_unique<VandrelProcess>(
        home_,
        std::vector<std::string>{"--port", std::to_string(NextTestPort()), "--no-ble", "--no-mdns", "--no-adb",
                                 "--discovery-port", std::to_string(NextTestPort())},
        std::vector<std::string>{"VANDREL_UPDATE_FEED=http://127.0.0.1:" + std::to_string(feedPort_) +
                                 "/releases/latest"});
    EXPECT_TRUE(process->WaitForLog("[SERVER] Started", 30s)) << process->Output();
    return process;
  }
  // The prompt, once it is on the screen and has the keyboard.
  Window Prompt(VandrelProcess& vandrel) {
    Window prompt = 0;
    EXPECT_TRUE(DesktopSession::Wait([&] { return (prompt = desktop_->VisibleWindow(vandrel.Pid(), "发现新版本")) != 0; },
                                     30s))
        << vandrel.Log();
    for (int attempt = 0; attempt < 3 && prompt && desktop_->ActiveWindow() != prompt; ++attempt) {
      desktop_->Activate(prompt);
      DesktopSession::Wait([&] { return desktop_->ActiveWindow() == prompt; }, 10s);
    }
    return prompt;
  }

  TempDir home_;
  TempDir feedDir_;
  std::uint16_t feedPort_ = NextTestPort();
  pid_t server_ = -1;
};

TEST_F(UpdateOfferTest, ANewerReleaseIsOfferedAndLaterEndsTheOffer) {
  auto vandrel = Start();
  const Window prompt = Prompt(*vandrel);
  ASSERT_NE(prompt, 0u);
  EXPECT_NE(vandrel->Log().find("[UPDATE] New version available: 0.100.0 (2000 bytes)"), std::string::npos);
  if (const char* shots = std::getenv("VANDREL_SCREENSHOTS")) {
    std::system(("import -window root '" + std::string(shots) + "/update.png' >/dev/null 2>&1").c_str());
  }
  // Escape answers "稍后再说": the offer ends, the program goes on.
  desktop_->Key(XK_Escape);
  EXPECT_TRUE(DesktopSession::Wait([&] { return !desktop_->Viewable(prompt); })) << "the prompt stayed";
  EXPECT_EQ(vandrel->Exited(1s), std::nullopt);
  EXPECT_EQ(vandrel->Log().find("[UPDATE] Opening the release page"), std::string::npos);
  EXPECT_EQ(vandrel->Signal(SIGTERM), 0);
}

TEST_F(UpdateOfferTest, UpdatingNowOpensTheReleasePageOnLinux) {
  auto vandrel = Start();
  ASSERT_NE(Prompt(*vandrel), 0u);
  desktop_->Key(XK_Return);  // "立即更新" is the default
  ASSERT_TRUE(vandrel->WaitForLog("[UPDATE] Opening the release page: https://example.org/vandrel/releases/v0.100.0"))
      << vandrel->Log();
  EXPECT_TRUE(DesktopSession::Wait([&] { return std::filesystem::exists(home_.File("opened.txt")); }));
  EXPECT_EQ(ReadBinary(home_.File("opened.txt")), "https://example.org/vandrel/releases/v0.100.0\n");
  EXPECT_EQ(vandrel->Exited(1s), std::nullopt) << "nothing is installed here, so the program stays";
  EXPECT_EQ(vandrel->Signal(SIGTERM), 0);
}

TEST_F(UpdateOfferTest, TheHeadlessProgramOnlyLogsTheRelease) {
  TempDir home;
  VandrelProcess vandrel(home, {"--headless", "--port", std::to_string(NextTestPort()), "--no-ble", "--no-mdns", "--no-adb"},
                         {"VANDREL_UPDATE_FEED=http://127.0.0.1:" + std::to_string(feedPort_) + "/releases/latest"});
  ASSERT_TRUE(vandrel.WaitForLog("[UPDATE] Release page: https://example.org/vandrel/releases/v0.100.0", 30s))
      << vandrel.Log();
  EXPECT_NE(vandrel.Log().find("[UPDATE] New version available: 0.100.0 (2000 bytes)"), std::string::npos);
  ::kill(vandrel.Pid(), SIGTERM);
  EXPECT_EQ(vandrel.Exited(10s), 0);
}

}  // namespace
}  // namespace vandrel::testing
