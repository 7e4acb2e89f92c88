// Phones over Bluetooth LE through the server and the BlueZ peripheral,
// against a fake bluetoothd that plays the central on a private bus.
#include <signal.h>

#include <cstdlib>

#include "FakeBluez.h"
#include "FakeDesktop.h"
#include "ServerFixture.h"
#include "VandrelProcess.h"
#include "ble/linux/BleGattServerBlueZ.h"
#include "desktop/DesktopWorkers.h"
#include "protocol/AuthDigest.h"
#include "protocol/PacketCodec.h"

namespace vandrel::testing {
namespace {

using Packet = std::vector<std::uint8_t>;

class BleEndToEndTest : public ServerFixture {
 protected:
  void SetUp() override {
    if (!fake_.problem().empty()) GTEST_SKIP() << fake_.problem();
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", fake_.address().c_str(), 1);
  }
  void TearDown() override {
    ServerFixture::TearDown();
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vandrel-test-bus", 1);
  }

  void StartBle(Server::Options options = {}) {
    options.bleFactory = [] { return std::make_unique<BleGattServerBlueZ>(); };
    if (options.bleTiming.idleLimit == std::chrono::seconds(20)) options.bleTiming.idleLimit = 60s;
    StartServer(std::move(options));
    ASSERT_TRUE(WaitUntil([&] { return server_->GetBleStatusText() == "BLE: Advertising"; }, 20s))
        << server_->GetBleStatusText();
  }
  // What the central received, once `n` notifications arrived.
  std::vector<Packet> Received(std::size_t n) {
    EXPECT_TRUE(fake_.WaitForNotifications(n));
    return fake_.Notifications();
  }

  FakeBluez fake_;
};

TEST_F(BleEndToEndTest, StartsAdvertisingAndAnswersACentralThatSubscribes) {
  StartBle();
  // The worker writes its line on its own thread, which may be after the status changed.
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[BLE] Write worker thread started."); }));
  const auto lines = log_.Lines();
  const auto at = [&](const std::string& text) {
    return std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) == 0; }) -
           lines.begin();
  };
  const auto end = static_cast<std::ptrdiff_t>(lines.size());
  ASSERT_LT(at("[BLE] Write worker thread started."), end);
  EXPECT_LT(at("[BLE] Initializing in background"), at("[BLE] GATT Service created with write + notify characteristics"));
  EXPECT_LT(at("[BLE] GATT Service created"), at("[BLE] GATT Server started, advertising service 0000ff60-"));
  EXPECT_LT(at("[BLE] GATT Server started"), at("[BLE] Write worker thread started."));
  EXPECT_LT(at("[SERVER] BLE GATT Server starting (async setup in background)"), end);
  ASSERT_TRUE(listener_.WaitForEvents(1));
  EXPECT_EQ(listener_.Events()[0], "status:BLE: Advertising");
  EXPECT_EQ(fake_.Count("RegisterApplication"), 1);
  EXPECT_EQ(fake_.Count("RegisterAdvertisement"), 1);

  ASSERT_TRUE(fake_.StartNotify());
  EXPECT_EQ(Received(1), (std::vector<Packet>{{31}})) << "no password: authenticated at once";
  EXPECT_EQ(server_->GetBleStatusText(), "BLE: Central connected");
  EXPECT_TRUE(server_->HasSessions()) << "its held keys count like a TCP phone's";

  // Writes are handled one by one, in order.
  ASSERT_TRUE(fake_.Write({5, 1, 0, 0, 0}));
  ASSERT_TRUE(fake_.Write({5, 2, 0, 0, 0}));
  ASSERT_TRUE(fake_.Write({5, 3, 0, 0, 0}));
  ASSERT_TRUE(fake_.Write({16}));
  ASSERT_TRUE(fake_.Write({33}));
  EXPECT_EQ(Received(2).back(), Packet{34});
  ASSERT_TRUE(WaitUntil([&] { return Input().size() == 3; }));
  EXPECT_EQ(Input(), (std::vector<Packet>{{5, 1, 0, 0, 0}, {5, 2, 0, 0, 0}, {5, 3, 0, 0, 0}}));
  EXPECT_TRUE(log_.Contains("[BLE] App list command GET_APP_LIST ignored (not supported in BLE mode)"));
  EXPECT_TRUE(log_.Contains("[SERVER] BLE write: len=1 cmd=0x21 (PING)"));
  EXPECT_EQ(fake_.Notifications().size(), 2u) << "the app list is not answered";

  ASSERT_TRUE(fake_.StopNotify());
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[SERVER] BLE central disconnected, cleaning up"); }));
  EXPECT_TRUE(WaitUntil([&] { return !server_->HasSessions(); }));
}

TEST_F(BleEndToEndTest, APasswordIsAskedAgainOfACentralThatMissedTheChallenge) {
  Server::Options options;
  options.bleTiming.authResend = 100ms;
  StartBle(options);
  settings_->SetConnectionPassword("secret");
  // Written before subscribing: the challenge goes out to nobody.
  ASSERT_TRUE(fake_.Write({33}));
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[BLE] Sending AUTH_REQUEST (nonce="); }));
  ASSERT_TRUE(fake_.StartNotify());
  std::this_thread::sleep_for(150ms);  // the re-send interval
  EXPECT_TRUE(fake_.Notifications().empty());
  ASSERT_TRUE(fake_.Write({33}));
  const auto challenge = Received(1);
  const auto nonce = packet::ReadAuthRequest(challenge[0]);
  ASSERT_TRUE(nonce.has_value());
  EXPECT_EQ(log_.Count("[BLE] Sending AUTH_REQUEST (nonce=" + ToHex(*nonce) + ")"), 2u) << "the same nonce again";

  ASSERT_TRUE(fake_.Write(packet::AuthPassword(ComputeAuthDigest(*nonce, "guess"))));
  ASSERT_TRUE(fake_.Write(packet::AuthPassword(ComputeAuthDigest(*nonce, "secret"))));
  ASSERT_TRUE(fake_.Write({33}));
  const auto replies = Received(4);
  EXPECT_EQ(std::vector<Packet>(replies.begin() + 1, replies.end()), (std::vector<Packet>{{32}, {31}, {34}}));
}

TEST_F(BleEndToEndTest, AFilePushedOverBluetoothLandsOnTheDesktop) {
  ::setenv("XDG_DESKTOP_DIR", dir_.path().c_str(), 1);
  StartBle();
  ASSERT_TRUE(fake_.StartNotify());
  Packet data(2000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13);
  ASSERT_TRUE(fake_.Write(packet::FileTransferStart("photo.jpg", data.size())));
  // Writes of a typical negotiated size.
  for (std::size_t at = 0; at < data.size(); at += 500) {
    ASSERT_TRUE(fake_.Write(packet::FileTransferChunk(std::span(data).subspan(at, 500))));
  }
  ASSERT_TRUE(fake_.Write({24}));
  ASSERT_TRUE(fake_.Write({33}));
  EXPECT_EQ(Received(2).back(), Packet{34});
  EXPECT_EQ(ReadBinary(dir_.path() / "photo.jpg"), std::string(data.begin(), data.end()));
  EXPECT_TRUE(log_.Contains("[BLE] CHUNK #4 len=500 total=2000/2000"));
  EXPECT_TRUE(log_.Contains("[BLE] File transfer completed OK: photo.jpg"));
  ::unsetenv("XDG_DESKTOP_DIR");
}

TEST_F(BleEndToEndTest, ASilentCentralRestartsTheWholeGattService) {
  Server::Options options;
  options.bleTiming.idleLimit = 300ms;
  StartBle(options);
  ASSERT_TRUE(fake_.StartNotify());
  Received(1);
  // The GUI pump finds the silence and has the Bluetooth side restarted.
  ASSERT_TRUE(WaitUntil([&] {
    server_->PumpBleGuiWork();
    return fake_.Count("RegisterApplication") == 2;
  }, 20s));
  EXPECT_TRUE(log_.Contains("[BLE] Heartbeat timeout ("));
  EXPECT_TRUE(log_.Contains("[SERVER] Restarting BLE after heartbeat timeout"));
  EXPECT_GE(fake_.Count("UnregisterApplication"), 1);
  EXPECT_TRUE(WaitUntil([&] { return server_->GetBleStatusText() == "BLE: Advertising"; }));
}

TEST_F(BleEndToEndTest, ATcpPhoneStopsAdvertisingAndItsLeavingStartsItAgain) {
  StartBle();
  auto phone = Connect();
  ASSERT_EQ(phone->ReceivePacket().packet, Packet{31});
  ASSERT_TRUE(fake_.WaitForCount("UnregisterAdvertisement", 1));
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[SERVER] BLE stopped (TCP active)"); }));
  EXPECT_EQ(server_->GetBleStatusText(), "BLE: Stopped (TCP active)");
  EXPECT_EQ(fake_.Count("UnregisterApplication"), 1);

  phone->Close();
  ASSERT_TRUE(fake_.WaitForCount("RegisterAdvertisement", 2));
  EXPECT_TRUE(log_.Contains("[SERVER] Last TCP client disconnected; restarting BLE GATT Server."));
  EXPECT_TRUE(WaitUntil([&] { return server_->GetBleStatusText() == "BLE: Advertising"; }));
}

TEST_F(BleEndToEndTest, TheLaserAndAddressesWaitForTheirThreads) {
  FakeDesktop desktop;
  Server::Options options;
  options.desktop = &desktop;
  StartBle(options);
  ASSERT_TRUE(fake_.StartNotify());
  ASSERT_TRUE(fake_.Write({25}));
  ASSERT_TRUE(fake_.Write(packet::OpenUrl("https://example.org/")));
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[BLE] LASER_ON: deferred to GUI thread pump"); }));
  EXPECT_EQ(desktop.overlaysMade, 0);
  server_->PumpBleGuiWork();
  EXPECT_TRUE(WaitUntil([&] { return desktop.laser->windows == 1; }));
  EXPECT_TRUE(log_.Contains("[BLE] Laser overlay shown (GUI thread)"));
  EXPECT_TRUE(WaitUntil([&] { return log_.Contains("[BLE] TestOpener result: OK"); }));

  // The central leaving takes the spot along at the next tick.
  ASSERT_TRUE(fake_.StopNotify());
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[SERVER] BLE central disconnected"); }));
  server_->PumpBleGuiWork();
  EXPECT_EQ(desktop.laser->windows, 0);
  EXPECT_TRUE(log_.Contains("[BLE] Laser overlay hidden (GUI thread)"));
}

// The real program: its status line, and --no-ble.
TEST_F(BleEndToEndTest, TheProgramAdvertisesUnlessToldNot) {
  TempDir home;
  const std::string bus = "DBUS_SYSTEM_BUS_ADDRESS=" + fake_.address();
  {
    VandrelProcess vandrel(home, {"--headless", "--port", std::to_string(NextTestPort()), "--no-mdns", "--no-adb"},
                           {bus});
    ASSERT_TRUE(vandrel.WaitForLog("[VANDREL] BLE: Advertising", 20s)) << vandrel.Output();
    ::kill(vandrel.Pid(), SIGTERM);
    EXPECT_EQ(vandrel.Exited(10s), 0);
    EXPECT_NE(vandrel.Log().find("[BLE] GATT Server stopped"), std::string::npos);
  }
  EXPECT_TRUE(fake_.WaitForCount("UnregisterApplication", 1));
  TempDir quietHome;  // a log of its own
  VandrelProcess quiet(quietHome, {"--headless", "--port", std::to_string(NextTestPort()), "--no-ble", "--no-mdns",
                              "--no-adb"},
                       {bus});
  ASSERT_TRUE(quiet.WaitForLog("[SERVER] Started")) << quiet.Output();
  EXPECT_EQ(fake_.Count("RegisterApplication"), 1);
  EXPECT_EQ(quiet.Log().find("[BLE]"), std::string::npos);
}

}  // namespace
}  // namespace vandrel::testing
