#include <gtest/gtest.h>

#include <string>

#include "FakePc.h"
#include "protocol/AuthDigest.h"
#include "protocol/PacketCodec.h"
#include "vandrel-phone/PhoneClient.h"

namespace vandrel::phone {
namespace {

using testing::FakePc;
using testing::ReadExactly;
using testing::ReadFirst;
using testing::ReadFor;
using testing::ReadUntilClosed;
using testing::Write;
using testing::awaitable;
using testing::tcp;

constexpr std::string_view kHello = "Maker/Phone/Model-1/1";
const AuthNonce kNonce = {1, 2, 3, 4, 250, 251, 252, 253};

Bytes Byte(Command command) { return packet::Simple(command); }

TEST(PhoneHandshakeTest, SendsTheHelloAloneThenPingsAfterAuthSuccess) {
  Bytes hello, beforeAnswer, ping;
  FakePc pc([&](tcp::socket& s) -> awaitable<void> {
    hello = co_await ReadFirst(s);
    // The PC takes its first read as the hello: nothing may follow it unasked.
    beforeAnswer = co_await ReadFor(s, std::chrono::milliseconds(150));
    co_await Write(s, Byte(Command::AuthSuccess));
    ping = co_await ReadExactly(s, 1);
    co_await Write(s, Byte(Command::Pong));
  });
  PhoneClient client;
  client.Connect("127.0.0.1", pc.port(), kHello);
  EXPECT_EQ(client.Handshake(std::nullopt), HandshakeResult::Success);
  EXPECT_FALSE(client.PasswordAsked());
  client.Ping();
  ASSERT_EQ(pc.Finish(), "");
  EXPECT_EQ(std::string(hello.begin(), hello.end()), kHello);
  EXPECT_TRUE(beforeAnswer.empty());
  EXPECT_EQ(ping, Byte(Command::Ping));
}

TEST(PhoneHandshakeTest, AnswersTheChallengeWithTheDigestOfNonceAndPassword) {
  Bytes answer;
  FakePc pc([&](tcp::socket& s) -> awaitable<void> {
    co_await ReadFirst(s);
    co_await Write(s, packet::AuthRequest(kNonce));
    answer = co_await ReadExactly(s, kAuthPasswordSize);
    co_await Write(s, Byte(Command::AuthSuccess));
  });
  PhoneClient client;
  client.Connect("127.0.0.1", pc.port(), kHello);
  EXPECT_EQ(client.Handshake(std::string("s3cret")), HandshakeResult::Success);
  EXPECT_TRUE(client.PasswordAsked());
  ASSERT_EQ(pc.Finish(), "");
  EXPECT_EQ(answer, packet::AuthPassword(ComputeAuthDigest(kNonce, "s3cret")));
}

TEST(PhoneHandshakeTest, ReportsEachWayTheHandshakeCanEndBadly) {
  struct Case {
    const char* name;
    std::optional<std::string> password;
    std::function<awaitable<void>(tcp::socket&)> script;
    HandshakeResult expected;
  };
  const Case cases[] = {
      {"wrong password", "nope",
       [](tcp::socket& s) -> awaitable<void> {
         co_await ReadFirst(s);
         co_await Write(s, packet::AuthRequest(kNonce));
         co_await ReadExactly(s, kAuthPasswordSize);
         co_await Write(s, Byte(Command::AuthFail));
       },
       HandshakeResult::Fail},
      {"challenge without a password", std::nullopt,
       [](tcp::socket& s) -> awaitable<void> {
         co_await ReadFirst(s);
         co_await Write(s, packet::AuthRequest(kNonce));
         if (!(co_await ReadUntilClosed(s)).empty()) throw std::runtime_error("the client answered anyway");
       },
       HandshakeResult::PasswordRequired},
      {"silent PC", std::nullopt,
       [](tcp::socket& s) -> awaitable<void> {
         co_await ReadFirst(s);
         co_await ReadUntilClosed(s);
       },
       HandshakeResult::TimedOut},
      {"PC hangs up", std::nullopt,
       [](tcp::socket& s) -> awaitable<void> { co_await ReadFirst(s); }, HandshakeResult::Closed},
      {"not a handshake answer", std::nullopt,
       [](tcp::socket& s) -> awaitable<void> {
         co_await ReadFirst(s);
         co_await Write(s, Byte(Command::Pong));
       },
       HandshakeResult::Unexpected},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePc pc(c.script);
    {
      PhoneClient client(Seconds(0.3));
      client.Connect("127.0.0.1", pc.port(), kHello);
      EXPECT_EQ(client.Handshake(c.password), c.expected);
    }
    EXPECT_EQ(pc.Finish(), "");
  }
}

TEST(PhoneClientTest, FramesPacketsThatArriveInPieces) {
  const Bytes list = packet::AppListData(std::string_view("one\ntwo"));
  FakePc pc([&](tcp::socket& s) -> awaitable<void> {
    co_await ReadFirst(s);
    co_await Write(s, Byte(Command::AuthSuccess));
    co_await Write(s, Bytes(list.begin(), list.begin() + 3));
    co_await ReadFor(s, std::chrono::milliseconds(50));  // let the pieces arrive apart
    Bytes rest(list.begin() + 3, list.end());
    rest.push_back(ToByte(Command::Pong));
    co_await Write(s, rest);
  });
  PhoneClient client;
  client.Connect("127.0.0.1", pc.port(), kHello);
  ASSERT_EQ(client.Handshake(std::nullopt), HandshakeResult::Success);
  const Received first = client.ReceivePacket();
  EXPECT_EQ(first.status, ReceiveStatus::Packet);
  EXPECT_EQ(first.packet, list);
  EXPECT_EQ(client.ReceivePacket().packet, Byte(Command::Pong));
  EXPECT_EQ(client.ReceivePacket().status, ReceiveStatus::Closed);
  EXPECT_EQ(pc.Finish(), "");
}

TEST(PhoneClientTest, RefusedConnectionIsAnErrorOfItsOwnKind) {
  std::uint16_t port = 0;
  {
    asio::io_context io;
    tcp::acceptor closed(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    port = closed.local_endpoint().port();
  }
  PhoneClient client;
  try {
    client.Connect("127.0.0.1", port, kHello);
    FAIL() << "connected to a closed port";
  } catch (const PhoneError& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Refused) << e.what();
  }
}

}  // namespace
}  // namespace vandrel::phone
