// The session's desktop commands against a recording desktop: payload checks,
// log lines, the reply, and that a phone cannot tie up the PC with them.
#include <gtest/gtest.h>

#include <dirent.h>

#include "FakeDesktop.h"
#include "ServerFixture.h"
#include "desktop/AppInfo.h"
#include "protocol/PacketCodec.h"

namespace vandrel::testing {
namespace {

using phone::ReceiveStatus;
using Packet = std::vector<std::uint8_t>;

std::size_t ThreadCount() {
  std::size_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

class DesktopCommandsTest : public ServerFixture {
 protected:
  void SetUp() override {
    Server::Options options;
    options.desktop = &desktop_;
    StartServer(options);
    phone_ = Connect();
    ASSERT_EQ(phone_->ReceivePacket().packet, Packet{31});
  }
  void TearDown() override {
    desktop_.Release();
    ServerFixture::TearDown();
  }

  // The PONG comes after every command sent before has been handed on.
  void Sync() { phone_->Ping(); }

  FakeDesktop desktop_;
  std::unique_ptr<phone::PhoneClient> phone_;
};

TEST_F(DesktopCommandsTest, AppListIsSentWholeWithItsLine) {
  desktop_.apps.resize(3);
  desktop_.apps[0].name = "Notes";
  desktop_.apps[0].icon.assign(70000, 0xAB);
  desktop_.apps[1].running = true;
  phone_->Send(Packet{16});
  // PINGs answered meanwhile must not cut into the list.
  for (int i = 0; i < 20; ++i) phone_->Send(Packet{33});
  const Packet expected = desktop::AppListDataPacket(desktop_.apps);
  Packet list;
  for (int i = 0; i < 21 && list.empty(); ++i) {
    auto received = phone_->ReceivePacket();
    ASSERT_EQ(received.status, ReceiveStatus::Packet);
    if (received.packet[0] == 17) list = received.packet;
  }
  EXPECT_EQ(list, expected);
  EXPECT_TRUE(log_.Contains("[CONNECTION] Handling GET_APP_LIST request"));
  EXPECT_TRUE(log_.Contains("[CONNECTION] Sending APP_LIST_DATA: 3 apps, " + std::to_string(expected.size()) +
                            " bytes total"));
}

TEST_F(DesktopCommandsTest, EachCommandReachesTheDesktopWithItsLines) {
  phone_->Send(Packet{18, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0});
  phone_->Send(packet::LaunchApp("/opt/Büro/büro"));
  phone_->Send(packet::OpenUrl("https://example.org/a b?x=\"1\";y"));
  phone_->Send(packet::SmartMedia(2));
  Sync();
  ASSERT_TRUE(WaitUntil([&] { return desktop_.Calls().size() == 4; }));
  // Two workers may take neighbouring commands in either order.
  auto calls = desktop_.Calls();
  std::sort(calls.begin(), calls.end());
  EXPECT_EQ(calls, (std::vector<std::string>{"launch /opt/Büro/büro", "media 2",
                                             "open https://example.org/a b?x=\"1\";y", "switch 1193046"}));
  EXPECT_TRUE(log_.Contains("[CONNECTION] Handling SWITCH_APP, hwnd=1193046"));
  EXPECT_TRUE(log_.Contains("[CONNECTION] Handling LAUNCH_APP, path=/opt/Büro/büro"));
  EXPECT_TRUE(log_.Contains("[CONNECTION] Handling OPEN_URL, url=https://example.org/a b?x=\"1\";y"));
  EXPECT_TRUE(log_.Contains("[CONNECTION] Handling SMART_MEDIA, action=2"));
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[CONNECTION] TestOpener result: OK"); }));
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[CONNECTION] SwitchToWindow result: OK"); }));
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[CONNECTION] LaunchApp result: OK"); }));

  desktop_.result = false;
  phone_->Send(packet::LaunchApp("/nowhere"));
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[CONNECTION] LaunchApp result: FAILED"); }));
}

TEST_F(DesktopCommandsTest, AnEmptyAddressIsIgnoredSilentlyAndPhoneTextCannotForgeLogLines) {
  phone_->Send(Packet{28, 0});  // OPEN_URL without an address
  phone_->Send(packet::SmartMedia(7));
  Sync();
  ASSERT_TRUE(WaitUntil([&] { return desktop_.Calls().size() == 1; }));
  EXPECT_EQ(desktop_.Calls(), std::vector<std::string>{"media 7"});
  EXPECT_FALSE(log_.Contains("Handling OPEN_URL"));
  phone_->Send(packet::LaunchApp("/bin/x\n[SERVER] Closed."));
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("path=/bin/x\\x0a[SERVER] Closed."); }));
}

TEST_F(DesktopCommandsTest, ASlowDesktopHoldsOnlyItsOwnPhoneWhichWaitsAndLosesNothing) {
  desktop_.Hold();
  const auto threadsBefore = ThreadCount();
  for (int i = 0; i < 300; ++i) phone_->Send(packet::SmartMedia(static_cast<std::uint8_t>(i % 3)));
  // At least two commands run at once, and the workers stay few.
  ASSERT_TRUE(WaitUntil([&] { return desktop_.Inside() >= 2; }));
  EXPECT_LE(ThreadCount(), threadsBefore + 4);
  // The network thread is free: another phone is answered meanwhile.
  auto other = Connect("Maker/Other/Model-2/1");
  ASSERT_EQ(other->ReceivePacket().packet, Packet{31});
  other->Ping();
  EXPECT_LT(desktop_.Calls().size(), 300u);
  desktop_.Release();
  ASSERT_TRUE(WaitUntil([&] { return desktop_.Calls().size() == 300; }, std::chrono::seconds(30)));
  Sync();  // the paused session reads again
  EXPECT_LE(desktop_.MostInside(), 4);
}

TEST_F(DesktopCommandsTest, WhatAPhoneAskedIsDoneAfterItLeftButNoListIsBuiltForIt) {
  desktop_.Hold();
  for (int i = 0; i < 5; ++i) phone_->Send(packet::SmartMedia(1));
  phone_->Send(Packet{16});
  Sync();
  phone_->Close();
  ASSERT_TRUE(WaitUntil([&] { return server_->GetDevices().empty(); }));
  desktop_.Release();
  // Jobs are taken in order: once the next phone's command ran, the list's turn has passed.
  auto next = Connect("Maker/Next/Model-3/1");
  ASSERT_EQ(next->ReceivePacket().packet, Packet{31});
  next->Send(packet::SmartMedia(9));
  ASSERT_TRUE(WaitUntil([&] { return desktop_.Calls().size() >= 6; }));
  const auto calls = desktop_.Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "media 1"), 5);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "list"), 0);
}

TEST_F(DesktopCommandsTest, EachPhoneHasItsOwnLaserThatItsSessionHidesWhenItEnds) {
  phone_->Send(Packet{26});  // off before on: a line, no overlay
  Sync();
  EXPECT_TRUE(log_.Contains("[CONNECTION] LASER_OFF: laser pointer overlay hidden"));
  EXPECT_EQ(desktop_.overlaysMade, 0);
  phone_->Send(Packet{25});
  phone_->Send(Packet{25});
  Sync();
  EXPECT_TRUE(log_.Contains("[CONNECTION] LASER_ON: laser pointer overlay enabled"));
  EXPECT_EQ(desktop_.overlaysMade, 1);
  EXPECT_EQ(desktop_.laser->windows, 1);
  // The overlay reads the pointer on its own thread.
  EXPECT_EQ(desktop_.laser->Calls(), (std::vector<std::string>{"show -1,-1", "show -1,-1"}));
  phone_->Send(Packet{26});
  Sync();
  EXPECT_EQ(desktop_.laser->windows, 0);
  phone_->Send(Packet{25});
  Sync();
  EXPECT_EQ(desktop_.overlaysMade, 1);  // kept for the next LASER_ON

  auto other = Connect("Maker/Other/Model-2/1");
  ASSERT_EQ(other->ReceivePacket().packet, Packet{31});
  other->Send(Packet{25});
  other->Ping();
  EXPECT_EQ(desktop_.overlaysMade, 2);
  EXPECT_EQ(desktop_.laser->windows, 2);
  // A phone that leaves with its spot on takes it along.
  phone_->Close();
  other->Close();
  EXPECT_TRUE(WaitUntil([&] { return desktop_.laser->windows == 0; }));
}

TEST_F(DesktopCommandsTest, APhoneThatAsksForListsButNeverReadsIsClosedByTheSendBound) {
  // Each reply near 1 MB: a few fill the bound.
  desktop_.apps.resize(16);
  for (auto& app : desktop_.apps) app.icon.assign(65535, 0x11);
  const auto threadsBefore = ThreadCount();
  Packet requests(1000, 16);
  phone_->Send(requests);
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("the phone reads none of them; closing connection"); },
                        std::chrono::seconds(60)));
  ASSERT_TRUE(WaitUntil([&] { return server_->GetDevices().empty(); }));
  EXPECT_LE(ThreadCount(), threadsBefore + 4);
  // The lists not yet built for it are not built at all.
  EXPECT_LT(desktop_.Calls().size(), 100u);
}

}  // namespace
}  // namespace vandrel::testing
