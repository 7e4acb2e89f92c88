// The real program injecting a phone's UDP input into the X server on $DISPLAY.
#include <gtest/gtest.h>

#include "InputSender.h"
#include "ServerFixture.h"
#include "VandrelProcess.h"

// Xlib defines Success as a macro: the handshake's answer is named before its headers come in.
namespace vandrel::testing {
constexpr auto kHandshakeSuccess = phone::HandshakeResult::Success;
}

#include <X11/keysym.h>

#include "X11Probe.h"

namespace vandrel::testing {
namespace {

using Datagram = std::vector<std::uint8_t>;

class InputEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "DISPLAY is not set; scripts/test.sh starts an Xvfb";
    if (!probe_.usable()) GTEST_SKIP() << "cannot open DISPLAY=" << std::getenv("DISPLAY");
    ASSERT_TRUE(probe_.OpenFocusedWindow());
  }

  std::unique_ptr<VandrelProcess> Start() {
    auto process = std::make_unique<VandrelProcess>(
        home_, std::vector<std::string>{"--headless", "--port", std::to_string(port_), "--no-ble", "--no-mdns",
                                        "--no-adb"});
    EXPECT_TRUE(process->Spawned());
    EXPECT_TRUE(process->WaitForLog("[SERVER] Started")) << process->Output();
    EXPECT_TRUE(process->WaitForLog("[SendInput] X11 display")) << "the program did not take the display";
    return process;
  }

  void Send(const std::vector<std::uint8_t>& datagram) { ASSERT_TRUE(sender_.Send(datagram)); }

  bool PointerReaches(std::pair<int, int> target) {
    return WaitUntil([&] { return probe_.Pointer() == target; });
  }

  X11Probe probe_;
  TempDir home_;
  std::uint16_t port_ = NextTestPort();
  InputSender sender_{port_};
};

TEST_F(InputEndToEnd, DatagramsMoveTypeScrollAndClick) {
  auto vandrel = Start();

  // The phone's deltas are the finger's; the pointer goes the other way.
  probe_.WarpPointer(600, 400);
  Send({5, 3, 0xFC});
  EXPECT_TRUE(PointerReaches({597, 404})) << "pointer at " << probe_.Pointer().first << "," << probe_.Pointer().second;

  probe_.WarpPointer(200, 200);
  Send({7, 0x04, 0x02});
  ASSERT_TRUE(probe_.WaitForKeyRelease(XK_a)) << vandrel->Log();
  std::vector<std::string> texts = probe_.KeyPressTexts();
  std::erase(texts, "");
  EXPECT_EQ(texts, std::vector<std::string>{"A"});

  probe_.events().clear();
  Send({6, 12});
  Send({2});
  ASSERT_TRUE(probe_.WaitForButtonRelease(3));
  EXPECT_EQ(probe_.TakeButtonPresses(4), 1);
}

TEST_F(InputEndToEnd, WithPasswordOnlyAnAuthenticatedPhoneMovesThePointer) {
  std::filesystem::create_directories(home_.path() / "config/Vandrel");
  WriteBinary(home_.path() / "config/Vandrel/settings.ini", "ConnectionPassword=x\n");
  auto vandrel = Start();

  probe_.WarpPointer(600, 400);
  for (int i = 0; i < 5; ++i) Send({5, 0xF6, 0});
  ASSERT_TRUE(vandrel->WaitForLog("dropped: no authenticated session from that address"));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(probe_.Pointer(), std::pair(600, 400));

  phone::PhoneClient phone(phone::Seconds(10));
  phone.Connect("127.0.0.1", port_, "Maker/Phone/Model-1/1");
  ASSERT_EQ(phone.Handshake(std::string("x")), kHandshakeSuccess);
  Send({5, 0xF6, 0});
  EXPECT_TRUE(PointerReaches({610, 400})) << "pointer at " << probe_.Pointer().first << "," << probe_.Pointer().second;
}

// Without a display the program still serves: the input is only logged.
TEST(InputWithoutDisplay, ProgramLogsTheInputAndServes) {
  const char* display = std::getenv("DISPLAY");
  const std::string saved = display ? display : "";
  ::setenv("DISPLAY", ":999", 1);
  TempDir home;
  const std::uint16_t port = NextTestPort();
  VandrelProcess vandrel(home, {"--headless", "--port", std::to_string(port), "--no-ble", "--no-mdns", "--no-adb"});
  display ? ::setenv("DISPLAY", saved.c_str(), 1) : ::unsetenv("DISPLAY");
  ASSERT_TRUE(vandrel.WaitForLog("[SERVER] Started")) << vandrel.Output();
  EXPECT_TRUE(vandrel.WaitForLog("[INPUT] No usable display ($DISPLAY=:999): input is only logged"));
  phone::PhoneClient phone(phone::Seconds(10));
  phone.Connect("127.0.0.1", port, "Maker/Phone/Model-1/1");
  EXPECT_EQ(phone.Handshake(std::nullopt), kHandshakeSuccess);
  phone.Ping();
}

}  // namespace
}  // namespace vandrel::testing
