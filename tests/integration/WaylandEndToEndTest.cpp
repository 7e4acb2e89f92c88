// The real program injecting a phone's UDP input into a headless sway through
// the compositor's virtual pointer and keyboard, asking sway what has the
// focus, and outliving that sway.
#include <gtest/gtest.h>

#include "../platform/linux/SwaySession.h"
#include "InputSender.h"
#include "PhoneRun.h"
#include "ServerFixture.h"
#include "VandrelProcess.h"

namespace vandrel::testing {
namespace {

using Datagram = std::vector<std::uint8_t>;

class WaylandEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = Sway::Unavailable(); !why.empty()) GTEST_SKIP() << why;
    sway_ = std::make_unique<Sway>();
    ASSERT_TRUE(sway_->Start()) << ReadWholeFile(sway_->log());
  }

  void Send(const std::vector<std::uint8_t>& datagram) { ASSERT_TRUE(sender_.Send(datagram)); }
  // The phone's deltas are the finger's: the pointer goes the other way.
  void Move(int dx, int dy) { Send({5, static_cast<std::uint8_t>(-dx), static_cast<std::uint8_t>(-dy)}); }

  std::unique_ptr<Sway> sway_;
  Wev wev_;
  TempDir home_;
  std::uint16_t port_ = NextTestPort();
  InputSender sender_{port_};
};

TEST_F(WaylandEndToEnd, DatagramsReachTheCompositorAndTheProgramOutlivesIt) {
  // The program is root and sway another user: root reaches the socket in the user's runtime folder.
  VandrelProcess vandrel(home_,
                         {"--headless", "--port", std::to_string(port_), "--no-ble", "--no-mdns", "--no-adb"},
                         {"WAYLAND_DISPLAY=" + sway_->socket().string(), "SWAYSOCK=" + sway_->ipc().string()});
  ASSERT_TRUE(vandrel.WaitForLog("[SERVER] Started")) << vandrel.Output();
  EXPECT_TRUE(vandrel.WaitForLog("[INPUT] Input goes to the Wayland compositor on " + sway_->socket().string() +
                                 " through its virtual pointer and keyboard"))
      << vandrel.Log();

  // Into the output's corner, then onto wev's window, which fills the output.
  // Moves that wait in the queue add up, so the corner comes first, seen by wev.
  ASSERT_TRUE(wev_.Start(*sway_, [&] {
    for (int i = 0; i < 12; ++i) Move(-127, -127);
  })) << vandrel.Log();
  ASSERT_TRUE(WaitUntil([&] { return wev_.LastPointerPosition() == std::pair(0.0, 0.0); })) << wev_.Text();
  for (int i = 0; i < 4; ++i) Move(100, 100);
  ASSERT_TRUE(WaitUntil([&] { return wev_.LastPointerPosition() == std::pair(400.0, 400.0); })) << wev_.Text();
  Move(7, -3);
  EXPECT_TRUE(WaitUntil([&] { return wev_.LastPointerPosition() == std::pair(407.0, 397.0); })) << wev_.Text();

  Send({7, 0x04, 0x00});
  EXPECT_TRUE(wev_.WaitFor("sym: a ", 2)) << wev_.Text();
  EXPECT_EQ(wev_.Count("key: 38; state: 1 (pressed)"), 1u) << wev_.Text();

  // What has the focus comes from sway's IPC, program and title both.
  const std::string at = "--port " + std::to_string(port_) + " ";
  ASSERT_EQ(Phone(at + "smart-media play").code, 0);
  EXPECT_TRUE(vandrel.WaitForLog("[SmartMedia] Foreground: proc=\"wev\", title=\"wev\"")) << vandrel.Log();
  // The window list is X11's alone, which the program says once.
  ASSERT_EQ(Phone(at + "apps").code, 0);
  ASSERT_EQ(Phone(at + "apps").code, 0);
  EXPECT_EQ(vandrel.CountInLog("[AppList] Wayland session: only X11 (Xwayland) windows are listed and switched to"), 1u)
      << vandrel.Log();

  // Sway dies: the program notices at its next input, goes on serving phones and finds the next sway.
  sway_->Kill();
  ASSERT_TRUE(WaitUntil([&] {
    Move(1, 0);
    return vandrel.Log().find("[SendInput] Lost the Wayland compositor") != std::string::npos;
  })) << vandrel.Log();
  phone::PhoneClient phone(phone::Seconds(10));
  phone.Connect("127.0.0.1", port_, "Maker/Phone/Model-1/1");
  ASSERT_EQ(phone.Handshake(std::nullopt), phone::HandshakeResult::Success);
  phone.Ping();
  EXPECT_FALSE(vandrel.Exited(std::chrono::milliseconds(0)).has_value());

  ASSERT_TRUE(sway_->Start()) << ReadWholeFile(sway_->log());
  EXPECT_TRUE(WaitUntil([&] {
    Move(1, 0);
    return vandrel.Log().find("is back; input goes to it again") != std::string::npos;
  })) << vandrel.Log();
  phone.Ping();
}

}  // namespace
}  // namespace vandrel::testing
