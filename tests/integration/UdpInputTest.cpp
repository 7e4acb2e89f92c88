#include <gtest/gtest.h>

#include <algorithm>

#include "ServerFixture.h"

namespace vandrel::testing {
namespace {

using Packet = std::vector<std::uint8_t>;
using Calls = std::vector<std::string>;

class UdpInputTest : public ServerFixture {
 protected:
  void SendDatagram(const Packet& packet, const char* from = "127.0.0.1") {
    asio::ip::udp::socket socket(io_, asio::ip::udp::endpoint(asio::ip::make_address(from), 0));
    socket.send_to(asio::buffer(packet), {asio::ip::make_address("127.0.0.1"), server_->Port()});
  }
  bool WaitForCalls(std::size_t count) {
    return WaitUntil([&] { return manager_.Calls().size() >= count; });
  }

  asio::io_context io_;
};

TEST_F(UdpInputTest, DatagramsAreInjectedInOrderWithGapDiagnostics) {
  StartServerWithManager();
  SendDatagram({5, 3, 0xFC});
  SendDatagram({7, 0x04, 0x02});
  ASSERT_TRUE(WaitForCalls(2));
  std::this_thread::sleep_for(150ms);
  SendDatagram({6, 0xF4});
  ASSERT_TRUE(WaitForCalls(3));
  EXPECT_EQ(manager_.Calls(), (Calls{"MoveRelative(-3,4)", "KeyClick(4,2)", "Scroll(-12)"}));
  // The pause shows as a gap of at least its length, with the previous handler's time.
  bool reported = false;
  for (const auto& line : log_.Lines()) {
    const auto at = line.find("[DIAG] UDP recv gap ");
    if (at == std::string::npos) continue;
    EXPECT_NE(line.find("ms (prev handler "), std::string::npos) << line;
    reported = reported || std::stoi(line.substr(at + 20)) >= 150;
  }
  EXPECT_TRUE(reported);
}

TEST_F(UdpInputTest, ABurstIsInjectedWholeAndInOrder) {
  StartServerWithManager();
  // Sent back to back from one socket: most wait in the socket together and are
  // taken in one wake-up. Few enough for the kernel's smallest buffer.
  asio::ip::udp::socket socket(io_, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  Calls expected;
  for (int i = 0; i < 200; ++i) {
    const auto key = static_cast<std::uint8_t>(4 + i % 26);
    const Packet packet{7, key, static_cast<std::uint8_t>(i / 26)};
    socket.send_to(asio::buffer(packet), {asio::ip::make_address("127.0.0.1"), server_->Port()});
    expected.push_back("KeyClick(" + std::to_string(key) + "," + std::to_string(i / 26) + ")");
  }
  ASSERT_TRUE(WaitForCalls(expected.size())) << manager_.Calls().size() << " of " << expected.size();
  EXPECT_EQ(manager_.Calls(), expected);
}

TEST_F(UdpInputTest, WithPasswordOnlyAuthenticatedAddressesMayType) {
  StartServerWithManager();
  settings_->SetConnectionPassword("pw");
  for (int i = 0; i < 10; ++i) SendDatagram({5, 1, 1});
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[SERVER] UDP input from 127.0.0.1:"); }));

  // A session that has not answered its challenge does not count.
  auto pending = Connect();
  ASSERT_EQ(pending->ReceivePacket().packet.size(), 10u);
  SendDatagram({5, 2, 2});

  auto phone = Connect();
  ASSERT_EQ(phone->Handshake(std::string("pw")), phone::HandshakeResult::Success);
  SendDatagram({5, 3, 3});
  ASSERT_TRUE(WaitForCalls(1));
  // From another address on this machine: still nobody proved anything there.
  SendDatagram({5, 4, 4}, "127.0.0.2");
  phone->Close();
  // The two connections made two events already: wait for the phone's leaving.
  ASSERT_TRUE(WaitUntil([&] {
    const auto events = listener_.Events();
    return std::any_of(events.begin(), events.end(), [](const std::string& e) { return e.rfind("disconnected:", 0) == 0; });
  }));
  SendDatagram({5, 5, 5});
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(manager_.Calls(), Calls{"MoveRelative(-3,-3)"});
  EXPECT_EQ(log_.Count(" dropped: no authenticated session from that address"), 1u) << "the line is rate-limited";
}

TEST_F(UdpInputTest, KeysHeldByAPhoneAreReleasedWhenItLeaves) {
  StartServerWithManager();
  auto phone = Connect();
  ASSERT_EQ(phone->ReceivePacket().packet, Packet{31});
  SendDatagram({13, 0x04, 0x02});
  SendDatagram({13, 0xE0, 0x00});
  ASSERT_TRUE(WaitForCalls(2));
  phone->Close();
  ASSERT_TRUE(WaitForCalls(5));
  EXPECT_EQ(manager_.Calls(), (Calls{"KeyDown(4,2)", "KeyDown(224,0)", "KeyUp(4,0)", "KeyUp(224,0)", "KeyUp(0,2)"}));
}

}  // namespace
}  // namespace vandrel::testing
