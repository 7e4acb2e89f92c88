#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "FakePc.h"
#include "TempDir.h"
#include "desktop/AppInfo.h"
#include "protocol/PacketCodec.h"
#include "vandrel-phone/Commands.h"
#include "vandrel-phone/DesktopCommands.h"
#include "vandrel-phone/Options.h"

namespace vandrel::phone {
namespace {

using desktop::AppInfo;
using testing::FakePc;
using testing::ReadExactly;
using testing::ReadFirst;
using testing::ReadUntilClosed;
using testing::Write;
using testing::awaitable;
using testing::tcp;

constexpr std::uint8_t kPing = ToByte(Command::Ping);

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome RunOn(std::uint16_t port, std::vector<std::string> args) {
  args.insert(args.begin(), {"--port", std::to_string(port)});
  std::ostringstream out, err;
  const int status = RunPhone(args, out, err);
  return {status, out.str(), err.str()};
}

std::uint16_t ClosedPort() {
  asio::io_context io;
  tcp::acceptor closed(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  return closed.local_endpoint().port();
}

// A PC that answers GET_APP_LIST with a PONG first, as a busy PC may, then `list`.
FakePc::Script ListingPc(Bytes list, Bytes& request) {
  return [list = std::move(list), &request](tcp::socket& s) -> awaitable<void> {
    co_await ReadFirst(s);
    co_await Write(s, packet::Simple(Command::AuthSuccess));
    request = co_await ReadExactly(s, 1);
    co_await Write(s, packet::Simple(Command::Pong));
    co_await Write(s, list);
    co_await ReadUntilClosed(s);
  };
}

const std::vector<AppInfo> kApps = {
    {"Notes \"draft\" \xE2\x80\x94 Caf\xC3\xA9", "notes.exe", {0x89, 'P', 'N', 'G'}, 0x1A2B3C, true,
     "C:\\Apps\\notes.exe"},
    {"Bell\x07", "term.exe", {}, 0, false, "/usr/bin/term"},
    {"Player", "player.exe", {1, 2, 3}, 0xFFFF'FFFF'FFFF'FFFFull, true, ""},
};

const std::string kListing =
    "received AUTH_SUCCESS\n"
    "0 running hwnd=0x1a2b3c name=\"Notes \\\"draft\\\" \xE2\x80\x94 Caf\xC3\xA9\" process=\"notes.exe\" icon=4 "
    "path=\"C:\\\\Apps\\\\notes.exe\"\n"
    "1 pinned hwnd=0x0 name=\"Bell\\007\" process=\"term.exe\" icon=0 path=\"/usr/bin/term\"\n"
    "2 running hwnd=0xffffffffffffffff name=\"Player\" process=\"player.exe\" icon=3 path=\"\"\n"
    "apps: 3\n";

TEST(PhoneDesktopTest, AppsListsTheEntriesAfterPassingOverOtherPackets) {
  Bytes request;
  FakePc pc(ListingPc(desktop::AppListDataPacket(kApps), request));
  const Outcome run = RunOn(pc.port(), {"apps"});
  ASSERT_EQ(pc.Finish(), "");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(request, packet::Simple(Command::GetAppList));
  EXPECT_EQ(run.out, kListing);
}

TEST(PhoneDesktopTest, AppsWritesEachNonEmptyIconByIndex) {
  vandrel::testing::TempDir folder;
  Bytes request;
  FakePc pc(ListingPc(desktop::AppListDataPacket(kApps), request));
  const Outcome run = RunOn(pc.port(), {"apps", "--icons", folder.path().string()});
  ASSERT_EQ(pc.Finish(), "");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, kListing + "icons: 2 written to " + folder.path().string() + "\n");
  EXPECT_EQ(vandrel::testing::ReadBinary(folder.path() / "0.png"), std::string("\x89PNG"));
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "1.png"));
  EXPECT_EQ(vandrel::testing::ReadBinary(folder.path() / "2.png"), std::string("\1\2\3"));
}

TEST(PhoneDesktopTest, AppsFailsOnAMissingFolderBeforeConnectingAndOnABadList) {
  vandrel::testing::TempDir folder;
  const Outcome missing = RunOn(ClosedPort(), {"apps", "--icons", (folder.path() / "absent").string()});
  EXPECT_EQ(missing.status, kExitFailure);
  EXPECT_NE(missing.err.find("absent does not exist"), std::string::npos) << missing.err;

  Bytes payload = desktop::SerializeAppList(kApps);
  payload.push_back(0);
  Bytes request;
  FakePc pc(ListingPc(packet::AppListData(payload), request));
  const Outcome bad = RunOn(pc.port(), {"apps"});
  ASSERT_EQ(pc.Finish(), "");
  EXPECT_EQ(bad.status, kExitFailure);
  EXPECT_EQ(bad.err, "vandrel-phone: app list: 1 byte after the last of 3 records\n");
}

TEST(PhoneDesktopTest, SendersPutTheirPacketOnTheWireAndWaitForPong) {
  const std::string url = "https://example.com/a b?q=\"x\";rm -rf";
  const std::string longest(255, 'u');
  struct Case {
    std::vector<std::string> args;
    Bytes packet;
    std::string confirmation;
  };
  const Case cases[] = {
      {{"switch", "0x123456"}, {18, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0}, "sent SWITCH_APP hwnd=0x123456\n"},
      {{"switch", "18446744073709551615"}, {18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       "sent SWITCH_APP hwnd=0xffffffffffffffff\n"},
      {{"launch", "C:\\Apps\\notes.exe"}, packet::LaunchApp("C:\\Apps\\notes.exe"),
       "sent LAUNCH_APP path=\"C:\\\\Apps\\\\notes.exe\"\n"},
      {{"open", url}, packet::OpenUrl(url), "sent OPEN_URL url=\"https://example.com/a b?q=\\\"x\\\";rm -rf\"\n"},
      {{"open", longest}, packet::OpenUrl(longest), "sent OPEN_URL url=\"" + longest + "\"\n"},
      {{"smart-media", "fullscreen"}, {20, 1}, "sent SMART_MEDIA action=1 (fullscreen)\n"},
      {{"smart-media", "Bullet"}, {20, 2}, "sent SMART_MEDIA action=2 (bullet)\n"},
      {{"smart-media", "0x07"}, {20, 7}, "sent SMART_MEDIA action=7\n"},
      {{"laser", "on"}, {25}, "sent LASER_ON\n"},
      {{"laser", "OFF"}, {26}, "sent LASER_OFF\n"},
  };
  ASSERT_EQ(cases[3].packet[0], ToByte(Command::OpenUrl));
  ASSERT_EQ(cases[3].packet[1], url.size());
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Bytes received, after;
    const std::size_t size = c.packet.size() + 1;
    FakePc pc([&](tcp::socket& s) -> awaitable<void> {
      co_await ReadFirst(s);
      co_await Write(s, packet::Simple(Command::AuthSuccess));
      received = co_await ReadExactly(s, size);
      co_await Write(s, packet::Simple(Command::Pong));
      after = co_await ReadUntilClosed(s);
    });
    const Outcome run = RunOn(pc.port(), c.args);
    ASSERT_EQ(pc.Finish(), "");
    EXPECT_EQ(run.status, 0) << run.err;
    Bytes expected = c.packet;
    expected.push_back(kPing);
    EXPECT_EQ(received, expected);
    EXPECT_TRUE(after.empty());
    EXPECT_EQ(run.out, "received AUTH_SUCCESS\n" + c.confirmation);
  }
}

TEST(PhoneDesktopTest, BadArgumentsAreUsageErrorsBeforeAnyConnection) {
  const std::vector<std::vector<std::string>> bad = {
      {"switch", ""},
      {"switch", "0x"},
      {"switch", "-1"},
      {"switch", "+5"},
      {"switch", "18446744073709551616"},
      {"switch", "0x10000000000000000"},
      {"switch", "0x12g"},
      {"switch", "12 "},
      {"switch"},
      {"launch", std::string(256, 'p')},
      {"open", std::string(256, 'u')},
      {"open", "a", "b"},
      {"smart-media", "pause"},
      {"smart-media", "256"},
      {"smart-media", "-1"},
      {"laser", "blink"},
      {"laser", "on", "--hold"},
      {"laser", "on", "--hold", "9999"},
      {"apps", "--icons"},
      {"apps", "--icons="},
      {"apps", "--colour", "x"},
  };
  const std::uint16_t port = ClosedPort();
  for (const auto& args : bad) {
    const Outcome run = RunOn(port, args);
    EXPECT_EQ(run.status, kExitUsage) << ::testing::PrintToString(args) << run.err;
  }
}

}  // namespace
}  // namespace vandrel::phone
