#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakePc.h"
#include "protocol/PacketCodec.h"
#include "vandrel-phone/Commands.h"
#include "vandrel-phone/InputText.h"
#include "vandrel-phone/Options.h"
#include "vandrel-phone/PhoneClient.h"

namespace vandrel::phone {
namespace {

using std::chrono::milliseconds;
using testing::FakePc;
using testing::ReadExactly;
using testing::ReadFirst;
using testing::ReadUntilClosed;
using testing::ReceiveDatagram;
using testing::Write;
using testing::awaitable;
using testing::tcp;
using testing::udp;

constexpr std::uint8_t kPing = ToByte(Command::Ping);
constexpr std::uint8_t kShift = kModLeftShift;

TEST(PhoneInputArgumentsTest, StepsAreSignedBytes) {
  EXPECT_EQ(ParseStep("-128", "n"), -128);
  EXPECT_EQ(ParseStep("127", "n"), 127);
  EXPECT_EQ(ParseStep("+5", "n"), 5);
  for (const char* bad : {"128", "-129", "1.5", "", "+", "+-5", "5x", "0x10"}) {
    EXPECT_THROW(ParseStep(bad, "n"), UsageError) << "'" << bad << "'";
  }
}

TEST(PhoneInputArgumentsTest, KeysByNumberOrName) {
  const std::pair<const char*, std::uint8_t> good[] = {
      {"a", 0x04},     {"Z", 0x1D},  {"1", 0x1E},    {"0", 0x27},      {"enter", 0x28},
      {"SPACE", 0x2C}, {"f1", 0x3A}, {"F12", 0x45},  {"insert", 0x49}, {"pagedown", 0x4E},
      {"up", 0x52},    {"40", 40},   {"0x05", 0x05}, {"255", 0xFF},
  };
  for (const auto& [text, usage] : good) EXPECT_EQ(ParseKeyUsage(text), usage) << text;
  for (const char* bad : {"256", "0x100", "f0", "f13", "f01", "0x", "-1", "shift", "", "ab"}) {
    EXPECT_THROW(ParseKeyUsage(bad), UsageError) << "'" << bad << "'";
  }
}

TEST(PhoneInputArgumentsTest, ModifiersByBitsOrJoinedNames) {
  EXPECT_EQ(ParseModifiers("ctrl+shift"), 0x03);
  EXPECT_EQ(ParseModifiers("ALT+win"), 0x0C);
  EXPECT_EQ(ParseModifiers("rctrl+rshift+ralt+rwin"), 0xF0);
  EXPECT_EQ(ParseModifiers("0x06"), 0x06);
  EXPECT_EQ(ParseModifiers("2"), 0x02);
  for (const char* bad : {"ctrl+", "+shift", "hyper", "256", "ctrl shift", ""}) {
    EXPECT_THROW(ParseModifiers(bad), UsageError) << "'" << bad << "'";
  }
}

TEST(PhoneInputArgumentsTest, MediaActionsAndSystemUsagesByNameOrByte) {
  const std::pair<const char*, std::uint8_t> media[] = {{"right", 0x01}, {"left", 0x02}, {"next", 0x04},
                                                        {"Previous", 0x08}, {"play", 0x10}, {"mute", 0x20},
                                                        {"up", 0x40},   {"DOWN", 0x80}, {"0x03", 0x03}};
  for (const auto& [text, action] : media) EXPECT_EQ(ParseMediaAction(text), action) << text;
  const std::pair<const char*, std::uint8_t> usages[] = {{"shutdown", 0x81}, {"sleep", 0x82},  {"wake", 0x83},
                                                         {"restart", 0x84},  {"logoff", 0x85}, {"LOCK", 0x86},
                                                         {"0x90", 0x90},     {"129", 0x81}};
  for (const auto& [text, usage] : usages) EXPECT_EQ(ParseSystemUsage(text), usage) << text;
  for (const char* bad : {"", "stop", "0x100", "lock2"}) {
    EXPECT_THROW(ParseMediaAction(bad), UsageError) << "'" << bad << "'";
    EXPECT_THROW(ParseSystemUsage(bad), UsageError) << "'" << bad << "'";
  }
}

TEST(PhoneInputArgumentsTest, EveryPrintableCharacterHasItsOwnKeyStroke) {
  std::set<std::pair<std::uint8_t, std::uint8_t>> seen;
  for (char c = ' '; c <= '~'; ++c) {
    const auto strokes = KeyStrokesFor(std::string(1, c));
    ASSERT_EQ(strokes.size(), 1u);
    EXPECT_TRUE(seen.emplace(strokes[0].usage, strokes[0].modifiers).second) << "'" << c << "' repeats a stroke";
  }
  EXPECT_EQ(KeyStrokesFor("0)\\|\"?~ "), (std::vector<KeyStroke>{{0x27, 0},
                                                                 {0x27, kShift},
                                                                 {0x31, 0},
                                                                 {0x31, kShift},
                                                                 {0x34, kShift},
                                                                 {0x38, kShift},
                                                                 {0x35, kShift},
                                                                 {0x2C, 0}}));
  for (const char* bad : {"", "tab\there", "line\n", "na\xC3\xAFve"}) {
    EXPECT_THROW(KeyStrokesFor(bad), UsageError) << "'" << bad << "'";
  }
}

TEST(PhoneInputArgumentsTest, BadInputIsAUsageErrorBeforeAnyConnection) {
  // Nothing listens on the port: a command that connected first would fail with status 1.
  std::uint16_t closedPort = 0;
  {
    asio::io_context io;
    tcp::acceptor closed(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    closedPort = closed.local_endpoint().port();
  }
  const std::vector<std::vector<std::string>> bad = {
      {"move", "5"},
      {"move", "128", "0"},
      {"move", "0", "-129"},
      {"click", "triple"},
      {"click"},
      {"down", "now"},
      {"scroll", "1.5"},
      {"hscroll", "-200"},
      {"zoom", "x"},
      {"key"},
      {"key", "enter", "hyper"},
      {"keydown", "f13"},
      {"keyup", "a", "1", "2"},
      {"type", "na\xC3\xAFve"},
      {"type", ""},
      {"--udp=yes", "down"},
  };
  for (auto args : bad) {
    args.insert(args.begin(), {"--port", std::to_string(closedPort)});
    std::ostringstream out, err;
    EXPECT_EQ(RunPhone(args, out, err), kExitUsage) << ::testing::PrintToString(args) << err.str();
  }
}

// What the fake PC saw of one input command.
struct Traffic {
  bool datagramBeforeHandshake = false;
  Bytes tcp;  // after the handshake, up to the closing PING
  std::vector<Bytes> datagrams;
};

// A PC that waits a moment before AUTH_SUCCESS to catch datagrams sent too
// early, then takes TCP bytes up to the PING and `datagrams` datagrams before
// it answers PONG, so they all arrive while the session is open.
FakePc::InputScript InputExchange(Traffic& traffic, std::size_t datagrams) {
  return [&traffic, datagrams](tcp::socket& s, udp::socket& u) -> awaitable<void> {
    co_await ReadFirst(s);
    traffic.datagramBeforeHandshake = (co_await ReceiveDatagram(u, milliseconds(100))).has_value();
    co_await Write(s, packet::Simple(Command::AuthSuccess));
    for (int i = 0; i < 64 && (traffic.tcp.empty() || traffic.tcp.back() != kPing); ++i) {
      const Bytes next = co_await ReadExactly(s, 1);
      traffic.tcp.push_back(next[0]);
    }
    for (std::size_t i = 0; i < datagrams; ++i) {
      auto datagram = co_await ReceiveDatagram(u, milliseconds(3000));
      if (!datagram) throw std::runtime_error("datagram " + std::to_string(i + 1) + " did not arrive");
      traffic.datagrams.push_back(std::move(*datagram));
    }
    if (u.available() != 0) throw std::runtime_error("more datagrams than expected");
    co_await Write(s, packet::Simple(Command::Pong));
    co_await ReadUntilClosed(s);
  };
}

TEST(PhoneInputCommandTest, EachCommandTakesItsTransport) {
  struct Case {
    std::vector<std::string> args;
    Bytes tcp;
    std::vector<Bytes> datagrams;
    std::string confirmation;
  };
  const Case cases[] = {
      {{"move", "5", "-3"}, {kPing}, {{5, 5, 0xFD}}, "sent MOVE dx=5 dy=-3 over UDP\n"},
      {{"click", "double"}, {21, kPing}, {}, "sent DBLCLICK over TCP\n"},
      {{"--udp", "click", "double"}, {kPing}, {{21}}, "sent DBLCLICK over UDP\n"},
      {{"--udp", "--tcp", "click", "left"}, {1, kPing}, {}, "sent LCLICK over TCP\n"},
      {{"--udp", "hscroll", "-2"}, {kPing}, {{8, 0xFE}}, "sent SCROLL_H -2 over UDP\n"},
      {{"zoom", "3"}, {9, 3, kPing}, {}, "sent ZOOM 3 over TCP\n"},
      {{"key", "a", "shift"}, {kPing}, {{7, 0x04, 0x02}}, "sent KEYCLICK key=0x04 mods=0x02 over UDP\n"},
      {{"--tcp", "keyup", "0x2A", "ctrl+alt"}, {kPing}, {{14, 0x2A, 0x05}}, "sent KEYUP key=0x2A mods=0x05 over UDP\n"},
      {{"type", "Hi!"}, {kPing}, {{7, 0x0B, kShift}, {7, 0x0C, 0}, {7, 0x1E, kShift}}, "sent 3 KEYCLICKs over UDP\n"},
      {{"media", "play"}, {10, 0x10, kPing}, {}, "sent MEDIA action=0x10 over TCP\n"},
      {{"--udp", "media", "0x04"}, {kPing}, {{10, 0x04}}, "sent MEDIA action=0x04 over UDP\n"},
      {{"clipboard", "h\xC3\xA9"}, {kPing}, {{12, 'h', 0xC3, 0xA9}}, "sent CLIPBOARD of 3 bytes over UDP\n"},
      {{"system", "lock"}, {kPing}, {{11, 0x01, 0x86}}, "sent SYSTEM page=0x01 usage=0x86 over UDP\n"},
      {{"system", "0x90"}, {kPing}, {{11, 0x01, 0x90}}, "sent SYSTEM page=0x01 usage=0x90 over UDP\n"},
      {{"brightness", "down"}, {27, 1, kPing}, {}, "sent BRIGHTNESS_STEP DOWN over TCP\n"},
      {{"--udp", "brightness", "up"}, {kPing}, {{27, 0}}, "sent BRIGHTNESS_STEP UP over UDP\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Traffic traffic;
    FakePc pc(InputExchange(traffic, c.datagrams.size()));
    std::vector<std::string> args = {"--port", std::to_string(pc.port())};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::ostringstream out, err;
    EXPECT_EQ(RunPhone(args, out, err), 0) << err.str();
    ASSERT_EQ(pc.Finish(), "");
    EXPECT_FALSE(traffic.datagramBeforeHandshake);
    EXPECT_EQ(traffic.tcp, c.tcp);
    EXPECT_EQ(traffic.datagrams, c.datagrams);
    EXPECT_EQ(out.str(), "received AUTH_SUCCESS\n" + c.confirmation);
  }
}

TEST(PhoneInputCommandTest, DatagramsNeedASession) {
  PhoneClient client;
  try {
    client.SendDatagram(packet::Move(1, 1));
    FAIL() << "sent without a session";
  } catch (const PhoneError& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Closed) << e.what();
  }
}

}  // namespace
}  // namespace vandrel::phone
