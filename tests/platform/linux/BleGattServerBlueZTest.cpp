// The BlueZ peripheral against a fake bluetoothd on a private bus that stands
// in for the system bus.
#include "ble/linux/BleGattServerBlueZ.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FakeBluez.h"
#include "LogCapture.h"
#include "WaitUntil.h"

namespace vandrel {
namespace {

using testing::FakeBluez;
using testing::LogCapture;
using testing::WaitUntil;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kNowhere = "unix:path=/nonexistent/vandrel-test-bus";

// Before any test: nothing in this test program may reach the machine's own bluetoothd.
const bool kNoSystemBus = [] {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", kNowhere, 1);
  return true;
}();

class BlueZ : public ::testing::Test {
 protected:
  void TearDown() override {
    server_.reset();
    fake_.reset();
    // A later test must not reach a bus that is gone, nor the real one.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", kNowhere, 1);
  }

  // Starts the fake and makes its bus the system bus; skips the test when it cannot.
  void Rig(std::vector<std::string> arguments = {}, bool withDaemon = true) {
    fake_ = std::make_unique<FakeBluez>(std::move(arguments), withDaemon);
    if (!fake_->problem().empty()) GTEST_SKIP() << fake_->problem();
    ASSERT_FALSE(fake_->address().empty());
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", fake_->address().c_str(), 1);
  }

  void Start(BleBlueZOptions options = {}) {
    server_ = std::make_unique<BleGattServerBlueZ>(options);
    server_->writeCallback = [this](const Bytes& packet) {
      std::lock_guard lock(mutex_);
      packets_.push_back(packet);
      writers_.push_back(std::this_thread::get_id());
    };
    server_->statusCallback = [this](const std::string& text) {
      std::lock_guard lock(mutex_);
      statuses_.push_back(text);
    };
    EXPECT_TRUE(server_->start());
  }
  // Starts and waits until advertising.
  void Advertise() {
    Start();
    ASSERT_TRUE(WaitForStatus("BLE: Advertising")) << Dump();
    ASSERT_EQ(server_->getState(), BleState::Advertising);
  }

  bool WaitForStatus(const std::string& text) {
    return WaitUntil([&] { return Statuses().size() > 0 && Has(Statuses(), text); }, std::chrono::seconds(20));
  }
  bool WaitForState(BleState state) {
    return WaitUntil([&] { return server_->getState() == state; }, std::chrono::seconds(20));
  }
  std::vector<std::string> Statuses() {
    std::lock_guard lock(mutex_);
    return statuses_;
  }
  std::vector<Bytes> Packets() {
    std::lock_guard lock(mutex_);
    return packets_;
  }
  static bool Has(const std::vector<std::string>& texts, const std::string& text) {
    for (const auto& t : texts) {
      if (t == text) return true;
    }
    return false;
  }
  // Where the first line containing `text` is; -1 when none.
  long LineIndex(const std::string& text) const {
    const auto lines = log_.Lines();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(text) != std::string::npos) return static_cast<long>(i);
    }
    return -1;
  }
  std::string Dump() const {
    std::string text = "log:\n";
    for (const auto& line : log_.Lines()) text += "  " + line + "\n";
    if (fake_) text += "fake:\n" + fake_->Output();
    return text;
  }

  LogCapture log_;
  std::unique_ptr<FakeBluez> fake_;
  std::unique_ptr<BleGattServerBlueZ> server_;
  std::mutex mutex_;
  std::vector<Bytes> packets_;
  std::vector<std::thread::id> writers_;
  std::vector<std::string> statuses_;
};

TEST_F(BlueZ, StartRegistersBothAndLogsTheSetUpInOrder) {
  Rig();
  if (IsSkipped()) return;
  Advertise();
  EXPECT_TRUE(server_->isRunning());
  EXPECT_FALSE(server_->isCentralConnected());
  const long init = LineIndex("[BLE] Initializing in background (may fail gracefully if no BT radio).");
  const long created = LineIndex("[BLE] GATT Service created with write + notify characteristics");
  const long started = LineIndex("[BLE] GATT Server started, advertising service 0000ff60-0000-1000-8000-00805f9b34fb");
  const long worker = LineIndex("[BLE] Write worker thread started.");
  EXPECT_GE(init, 0) << Dump();
  EXPECT_LT(init, created) << Dump();
  EXPECT_LT(created, started) << Dump();
  EXPECT_LT(started, worker) << Dump();
  EXPECT_EQ(Statuses(), std::vector<std::string>{"BLE: Advertising"});
  EXPECT_EQ(fake_->Count("RegisterApplication"), 1);
  EXPECT_EQ(fake_->Count("RegisterAdvertisement"), 1);
}

TEST_F(BlueZ, WritesArriveInOrderOnTheWorkerAndAnEmptyOneIsRefused) {
  Rig();
  if (IsSkipped()) return;
  Advertise();
  EXPECT_TRUE(fake_->Write({1}));
  EXPECT_TRUE(fake_->Write({2, 2}));
  EXPECT_FALSE(fake_->Write({}));
  EXPECT_TRUE(fake_->Write({3, 3, 3}));
  ASSERT_TRUE(WaitUntil([&] { return Packets().size() >= 3; })) << Dump();
  EXPECT_EQ(Packets(), (std::vector<Bytes>{{1}, {2, 2}, {3, 3, 3}}));
  std::lock_guard lock(mutex_);
  ASSERT_EQ(writers_.size(), 3u);
  EXPECT_NE(writers_[0], std::this_thread::get_id());
  EXPECT_EQ(writers_[0], writers_[1]);
  EXPECT_EQ(writers_[1], writers_[2]);
}

TEST_F(BlueZ, NotificationsReachOnlyASubscribedCentralInOrder) {
  Rig();
  if (IsSkipped()) return;
  Advertise();
  const Bytes early{9};
  EXPECT_FALSE(server_->notify(early));

  ASSERT_TRUE(fake_->StartNotify());
  ASSERT_TRUE(WaitForStatus("BLE: Central connected")) << Dump();
  EXPECT_TRUE(server_->isCentralConnected());
  ASSERT_TRUE(fake_->StartNotify());
  const Bytes first{1, 2, 3};
  const Bytes second{4, 5};
  EXPECT_TRUE(server_->notify(first));
  EXPECT_TRUE(server_->notify(second));
  ASSERT_TRUE(fake_->WaitForNotifications(2)) << Dump();
  EXPECT_EQ(fake_->Notifications(), (std::vector<Bytes>{first, second}));
  EXPECT_EQ(log_.Count("[BLE] Subscribed clients changed, centralConnected=1"), 1u);

  ASSERT_TRUE(fake_->StopNotify());
  ASSERT_TRUE(WaitForStatus("BLE: Central disconnected")) << Dump();
  EXPECT_FALSE(server_->isCentralConnected());
  EXPECT_FALSE(server_->notify(first));
  ASSERT_TRUE(fake_->StopNotify());
  EXPECT_EQ(log_.Count("[BLE] Subscribed clients changed, centralConnected=0"), 1u);
  EXPECT_EQ(Statuses(), (std::vector<std::string>{"BLE: Advertising", "BLE: Central connected",
                                                  "BLE: Central disconnected"}));
}

TEST_F(BlueZ, StopUnregistersBothOnceAndIsSafeTwice) {
  Rig();
  if (IsSkipped()) return;
  Advertise();
  ASSERT_TRUE(fake_->Release());
  EXPECT_TRUE(WaitUntil([&] { return log_.Contains("[BLE] Advertisement released by BlueZ"); })) << Dump();
  ASSERT_TRUE(fake_->Write({7}));
  server_->stop();
  // The write acknowledged before stop is delivered, not dropped.
  EXPECT_EQ(Packets(), std::vector<Bytes>{{7}});
  EXPECT_FALSE(server_->isRunning());
  EXPECT_TRUE(log_.Contains("[BLE] GATT Server stopped"));
  EXPECT_EQ(fake_->Count("UnregisterAdvertisement"), 1);
  EXPECT_EQ(fake_->Count("UnregisterApplication"), 1);
  server_->stop();
  EXPECT_EQ(fake_->Count("UnregisterApplication"), 1);
  // Stop reports nothing and leaves the state as it was.
  EXPECT_EQ(Statuses(), std::vector<std::string>{"BLE: Advertising"});
  EXPECT_EQ(server_->getState(), BleState::Advertising);
}

TEST_F(BlueZ, RadioOffIsBluetoothOffWithoutAWorker) {
  Rig({"--powered", "0"});
  if (IsSkipped()) return;
  Start();
  ASSERT_TRUE(WaitForStatus("BLE: Bluetooth is off")) << Dump();
  EXPECT_EQ(server_->getState(), BleState::BluetoothOff);
  EXPECT_FALSE(server_->isRunning());
  EXPECT_TRUE(log_.Contains("[BLE] Bluetooth radio is turned OFF; GATT setup skipped. Turn Bluetooth on to enable "
                            "the BLE channel."));
  EXPECT_FALSE(log_.Contains("Write worker thread started"));
  EXPECT_EQ(fake_->Count("RegisterApplication"), 0);
}

TEST_F(BlueZ, NoAdapterOrAdapterWithoutLeIsUnavailable) {
  Rig({"--no-adapter"});
  if (IsSkipped()) return;
  Start();
  ASSERT_TRUE(WaitForStatus("BLE: Unavailable")) << Dump();
  EXPECT_EQ(server_->getState(), BleState::Unavailable);
  EXPECT_TRUE(log_.Contains("[BLE] No Bluetooth adapter found; BLE feature disabled."));
  server_.reset();
  statuses_.clear();

  Rig({"--no-le"});
  Start();
  ASSERT_TRUE(WaitForStatus("BLE: Unavailable")) << Dump();
  EXPECT_EQ(server_->getState(), BleState::Unavailable);
  EXPECT_TRUE(log_.Contains("[BLE] Adapter does not support BLE; BLE feature disabled."));
  EXPECT_FALSE(log_.Contains("Write worker thread started"));
}

TEST_F(BlueZ, NoBluetoothdOrNoBusIsUnavailable) {
  const char* noRadio = "[BLE] No Bluetooth radio available (or enumeration failed); BLE feature disabled.";
  Rig({}, false);
  if (IsSkipped()) return;
  Start();
  ASSERT_TRUE(WaitForStatus("BLE: Unavailable")) << Dump();
  EXPECT_EQ(server_->getState(), BleState::Unavailable);
  EXPECT_EQ(log_.Count(noRadio), 1u);
  server_.reset();
  statuses_.clear();

  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", kNowhere, 1);
  Start();
  ASSERT_TRUE(WaitForStatus("BLE: Unavailable")) << Dump();
  EXPECT_EQ(server_->getState(), BleState::Unavailable);
  EXPECT_TRUE(log_.Contains("[BLE] Cannot connect to the system bus: "));
  EXPECT_EQ(log_.Count(noRadio), 2u);
}

TEST_F(BlueZ, ARegistrationPastItsLimitIsCancelled) {
  Rig({"--slow", "RegisterApplication=10"});
  if (IsSkipped()) return;
  BleBlueZOptions options;
  options.registerApplication = std::chrono::milliseconds(1000);
  Start(options);
  ASSERT_TRUE(WaitForStatus("BLE: Unavailable")) << Dump();
  EXPECT_EQ(server_->getState(), BleState::Unavailable);
  EXPECT_TRUE(log_.Contains("[BLE] GattManager1::RegisterApplication did not complete in 1000ms (status=0); "
                            "cancelling. Bluetooth radio off or stack wedged?"))
      << Dump();
  EXPECT_TRUE(log_.Contains(
      "[BLE] GATT service setup failed (radio off, timeout or null WinRT result); BLE feature disabled."));
  EXPECT_FALSE(log_.Contains("GATT Service created"));
  EXPECT_EQ(fake_->Count("RegisterAdvertisement"), 0);
}

TEST_F(BlueZ, StopDuringARegistrationReturnsWithoutWaitingForIt) {
  Rig({"--slow", "RegisterApplication=30"});
  if (IsSkipped()) return;
  Start();
  ASSERT_TRUE(fake_->WaitForCount("RegisterApplication", 1)) << Dump();
  const auto before = std::chrono::steady_clock::now();
  server_->stop();
  const auto took = std::chrono::steady_clock::now() - before;
  // Well under the step's own 5 s limit.
  EXPECT_LT(took, std::chrono::seconds(3));
  EXPECT_FALSE(log_.Contains("Write worker thread started"));
  EXPECT_FALSE(log_.Contains("GATT Server started"));
  EXPECT_TRUE(Statuses().empty());
  EXPECT_FALSE(server_->isRunning());
}

TEST_F(BlueZ, ARefusedAdvertisementFailsAndUnregistersTheApplication) {
  Rig({"--fail", "RegisterAdvertisement"});
  if (IsSkipped()) return;
  Start();
  ASSERT_TRUE(WaitForStatus("BLE: Unavailable")) << Dump();
  EXPECT_TRUE(log_.Contains("[BLE] StartAdvertising failed (org.bluez.Error.Failed): refused on request")) << Dump();
  EXPECT_TRUE(log_.Contains("[BLE] GATT service setup failed"));
  EXPECT_TRUE(fake_->WaitForCount("UnregisterApplication", 1));
  EXPECT_FALSE(server_->isRunning());
}

TEST_F(BlueZ, ALostBusMakesItUnavailableAndStopStillWorks) {
  Rig();
  if (IsSkipped()) return;
  Advertise();
  ASSERT_TRUE(fake_->StartNotify());
  ASSERT_TRUE(WaitForStatus("BLE: Central connected")) << Dump();
  fake_->KillBus();
  ASSERT_TRUE(WaitForState(BleState::Unavailable)) << Dump();
  EXPECT_TRUE(WaitForStatus("BLE: Unavailable"));
  EXPECT_TRUE(log_.Contains("[BLE] Lost the system bus: ")) << Dump();
  EXPECT_FALSE(server_->isRunning());
  EXPECT_FALSE(server_->isCentralConnected());
  const Bytes packet{1};
  EXPECT_FALSE(server_->notify(packet));
  server_->stop();
  EXPECT_TRUE(log_.Contains("[BLE] GATT Server stopped"));
}

}  // namespace
}  // namespace vandrel
