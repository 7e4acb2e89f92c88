#include <gtest/gtest.h>

#include "ServerFixture.h"

namespace vandrel::testing {
namespace {

class DiscoveryTest : public ServerFixture {
 protected:
  void SetUp() override {
    // Bound before the server starts, so it hears the start-up broadcast pair.
    listener_.open(asio::ip::udp::v4());
    listener_.set_option(asio::socket_base::reuse_address(true));
    listener_.bind({asio::ip::address_v4::any(), discoveryPort_});
  }

  void Start() {
    Server::Options options;
    options.discoveryPort = discoveryPort_;
    options.mdns = false;
    options.adb = false;
    StartServer(options);
  }

  std::optional<std::string> Receive(asio::ip::udp::socket& socket, std::chrono::milliseconds limit = 3s) {
    std::array<char, 512> buffer{};
    asio::ip::udp::endpoint from;
    std::optional<std::string> result;
    socket.async_receive_from(asio::buffer(buffer), from, [&](const asio::error_code& ec, std::size_t n) {
      if (!ec) result = std::string(buffer.data(), n);
    });
    io_.restart();
    io_.run_for(limit);
    if (!io_.stopped()) {
      socket.cancel();
      io_.run();
    }
    return result;
  }

  // Sends from a fresh socket and returns the answer it gets, if any.
  std::optional<std::string> Probe(const std::string& datagram, std::chrono::milliseconds limit = 3s) {
    asio::ip::udp::socket phone(io_, {asio::ip::make_address("127.0.0.1"), 0});
    phone.send_to(asio::buffer(datagram), {asio::ip::make_address("10.213.0.2"), discoveryPort_});
    return Receive(phone, limit);
  }

  std::string Identity() const {
    return "VANDREL|" + asio::ip::host_name() + "|" + std::to_string(server_->Port()) + "\n";
  }

  asio::io_context io_;
  std::uint16_t discoveryPort_ = NextTestPort();
  asio::ip::udp::socket listener_{io_};
};

TEST_F(DiscoveryTest, StartUpBroadcastsReachBothAddressesAndAreLoggedOnce) {
  Start();
  EXPECT_EQ(Receive(listener_), Identity());
  EXPECT_EQ(Receive(listener_), Identity());
  const NetworkInfo info = server_->GetNetworkInfo();
  EXPECT_EQ(info.ip, "10.213.0.2");
  EXPECT_EQ(info.port, std::to_string(server_->Port()));
  const std::string expected = "[SERVER] UDP identity broadcast: " + std::to_string(2 * Identity().size()) +
                               " bytes (universal + 10.213.0.255), " + info.hostname + "@10.213.0.2:" + info.port;
  EXPECT_EQ(log_.Count("[SERVER] UDP identity broadcast: "), 1u);
  EXPECT_TRUE(log_.Contains(expected)) << expected;
  // Bound to the wildcard address: a socket bound to 10.213.0.2 would never hear a broadcast probe.
  EXPECT_TRUE(log_.Contains("[SERVER] UDP discovery bound to 0.0.0.0:" + std::to_string(discoveryPort_)));
  EXPECT_EQ(log_.Count("[SERVER] UDP 6970") + log_.Count("(ignored, not Vandrel)"), 0u) << "own broadcast is silent";
}

TEST_F(DiscoveryTest, ProbesAreAnsweredToTheirSourceAndOthersAreIgnored) {
  Start();
  EXPECT_EQ(Probe("VANDREL_DISCOVER and whatever follows"), Identity());
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[SERVER] UDP identity unicast to 127.0.0.1:"); }));
  EXPECT_TRUE(log_.Contains("[SERVER] UDP DISCOVER probe from 127.0.0.1:"));
  EXPECT_TRUE(log_.Contains(" \xE2\x80\x94 unicasting identity back"));

  EXPECT_EQ(Probe("xVANDREL_DISCOVER", 300ms), std::nullopt);
  EXPECT_EQ(Probe("VANDREL|", 300ms), std::nullopt);
  EXPECT_EQ(Probe("VANDREL", 300ms), std::nullopt);
  EXPECT_EQ(Probe(std::string(300, 'V'), 300ms), std::nullopt);
  EXPECT_EQ(Probe(std::string("VANDREL_DISCOVER") + std::string(240, '.')), Identity()) << "256 bytes still fit";
  EXPECT_EQ(Probe("VANDREL_DISCOVER"), Identity()) << "the loop goes on after errors";

  ASSERT_TRUE(WaitUntil([&] { return log_.Count("[SERVER] UDP identity unicast to 127.0.0.1:") == 3; }));
  const std::string port = std::to_string(discoveryPort_);
  EXPECT_EQ(log_.Count("[SERVER] UDP " + port + ": 17 bytes from 127.0.0.1:"), 1u);
  EXPECT_EQ(log_.Count("[SERVER] UDP " + port + ": 7 bytes from 127.0.0.1:"), 1u);
  EXPECT_EQ(log_.Count("[SERVER] UDP " + port + ": 8 bytes"), 0u) << "\"VANDREL|\" is dropped silently";
  EXPECT_EQ(log_.Count("[SERVER] UDP discovery receive error: "), 1u);
}

TEST_F(DiscoveryTest, BroadcastAndUnicastProbesAreEachAnsweredOnce) {
  Start();
  for (const char* target : {"255.255.255.255", "10.213.0.255", "10.213.0.2"}) {
    asio::ip::udp::socket phone(io_, {asio::ip::address_v4::any(), 0});
    phone.set_option(asio::socket_base::broadcast(true));
    phone.send_to(asio::buffer(std::string("VANDREL_DISCOVER")), {asio::ip::make_address(target), discoveryPort_});
    EXPECT_EQ(Receive(phone), Identity()) << target;
    EXPECT_EQ(Receive(phone, 300ms), std::nullopt) << target << " answered twice";
  }
}

TEST_F(DiscoveryTest, AFloodOfDatagramsWritesAFewLinesButEveryProbeIsAnswered) {
  Start();
  asio::ip::udp::socket phone(io_, {asio::ip::make_address("127.0.0.1"), 0});
  const asio::ip::udp::endpoint server(asio::ip::make_address("10.213.0.2"), discoveryPort_);
  constexpr int kProbes = 50;
  int answered = 0;
  for (int i = 0; i < kProbes; ++i) {
    // In small rounds, so the socket's receive buffer never overflows and drops a probe.
    for (int j = 0; j < 10; ++j) {
      phone.send_to(asio::buffer(std::string("not a probe")), server);
      phone.send_to(asio::buffer(std::string(300, 'x')), server);
    }
    phone.send_to(asio::buffer(std::string("VANDREL_DISCOVER")), server);
    if (Receive(phone) == Identity()) ++answered;
  }
  EXPECT_EQ(answered, kProbes);
  ASSERT_TRUE(WaitUntil([&] { return log_.Count("[SERVER] UDP DISCOVER probe from") >= 3; }));
  // The first few of each kind in full; a summary needs five seconds to pass.
  EXPECT_LE(log_.Count("(ignored, not Vandrel)"), 4u);
  EXPECT_LE(log_.Count("[SERVER] UDP discovery receive error: "), 4u);
  EXPECT_LE(log_.Count("[SERVER] UDP DISCOVER probe from"), 4u);
  EXPECT_EQ(log_.Count("[SERVER] UDP identity unicast to"), log_.Count("[SERVER] UDP DISCOVER probe from"));
}

TEST_F(DiscoveryTest, CloseEndsTheLoopSilently) {
  Start();
  server_->Close();
  EXPECT_EQ(log_.Count("receive error"), 0u);
  EXPECT_EQ(Probe("VANDREL_DISCOVER", 300ms), std::nullopt);
  server_.reset();
}

}  // namespace
}  // namespace vandrel::testing
