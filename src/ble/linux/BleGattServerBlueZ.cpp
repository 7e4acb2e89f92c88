#include "ble/linux/BleGattServerBlueZ.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "ble/linux/BlueZAdapter.h"
#include "ble/linux/BlueZApplication.h"
#include "ble/linux/BlueZBus.h"
#include "infra/Logger.h"

namespace vandrel {
namespace {

using bluez::CallOutcome;

constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kGattManager = "org.bluez.GattManager1";
constexpr const char* kAdvertisingManager = "org.bluez.LEAdvertisingManager1";

constexpr const char* kNoRadio =
    "[BLE] No Bluetooth radio available (or enumeration failed); BLE feature disabled.";
constexpr const char* kSetupFailed =
    "[BLE] GATT service setup failed (radio off, timeout or null WinRT result); BLE feature disabled.";

void LogTimeout(const char* step, std::chrono::milliseconds limit) {
  Log() << "[BLE] " << step << " did not complete in " << limit.count()
        << "ms (status=0); cancelling. Bluetooth radio off or stack wedged?";
}

// Each server's objects under a root of their own, so that two never collide on one connection.
std::string NextRoot() {
  static std::atomic<unsigned> counter{0};
  return "/org/vandrel/ble" + std::to_string(counter++);
}

}  // namespace

BleGattServerBlueZ::BleGattServerBlueZ(Options options) : options_(options) {}

BleGattServerBlueZ::~BleGattServerBlueZ() {
  stop();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool BleGattServerBlueZ::start() {
  std::lock_guard lifecycle(lifecycleMutex_);
  try {
    // A set-up that ended by itself is joined at once; a serving one is ended first.
    if (busThread_.joinable()) {
      stopRequested_ = true;
      Wake();
      busThread_.join();
    }
    if (writeQueue_) writeQueue_->Stop();
    stopRequested_ = false;
    running_ = false;
    centralConnected_ = false;
    state_ = BleState::Starting;
    {
      std::lock_guard lock(notifyMutex_);
      notifications_.clear();
    }
    if (wakeFd_ < 0) {
      wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
      if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    writeQueue_ = std::make_unique<BleWriteQueue>();
    // Logged first so that it comes before whatever the bus thread logs.
    Log() << "[BLE] Initializing in background (may fail gracefully if no BT radio).";
    busThread_ = std::thread([this] { BusThread(); });
    started_ = true;
  } catch (const std::exception& e) {
    Log() << "[BLE] start() failed (std): " << e.what();
    state_ = BleState::Unavailable;
  }
  return true;
}

void BleGattServerBlueZ::stop() {
  std::lock_guard lifecycle(lifecycleMutex_);
  stopRequested_ = true;
  Wake();
  if (busThread_.joinable()) busThread_.join();
  if (writeQueue_) writeQueue_->Stop();
  running_ = false;
  centralConnected_ = false;
  // Once per start: the destructor's stop after the owner's is silent.
  if (std::exchange(started_, false)) Log() << "[BLE] GATT Server stopped";
}

bool BleGattServerBlueZ::notify(std::span<const std::uint8_t> bytes) {
  if (!serving_ || !centralConnected_) return false;
  bool full = false;
  LogPermit permit;
  {
    std::lock_guard lock(notifyMutex_);
    full = notifications_.size() >= kMaxPendingNotifications;
    if (full) {
      permit = queueFullLog_.Next();
    } else {
      notifications_.emplace_back(bytes.begin(), bytes.end());
    }
  }
  if (full) {
    if (permit) Log() << "[BLE] Notify failed: the queue is full" << permit;
    return false;
  }
  Wake();
  return true;
}

void BleGattServerBlueZ::Wake() {
  if (wakeFd_ < 0) return;
  const std::uint64_t one = 1;
  // A full counter still wakes the thread; nothing to do on failure.
  [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
}

void BleGattServerBlueZ::Fail(BleState state, const char* text) {
  running_ = false;
  state_ = state;
  Log() << text;
  ReportStatus(BleStatusText(state));
}

void BleGattServerBlueZ::BusThread() {
  try {
    Run();
  } catch (const bluez::BusLost& e) {
    serving_ = false;
    running_ = false;
    centralConnected_ = false;
    state_ = BleState::Unavailable;
    Log() << "[BLE] Lost the system bus: " << e.what();
    ReportStatus(BleStatusText(BleState::Unavailable));
  } catch (const std::exception& e) {
    serving_ = false;
    running_ = false;
    state_ = BleState::Unavailable;
    Log() << "[BLE] GATT setup failed (std): " << e.what();
    ReportStatus(BleStatusText(BleState::Unavailable));
  } catch (...) {
    serving_ = false;
    running_ = false;
    state_ = BleState::Unavailable;
    Log() << "[BLE] GATT setup failed (unknown exception).";
    ReportStatus(BleStatusText(BleState::Unavailable));
  }
  serving_ = false;
}

void BleGattServerBlueZ::Run() {
  sd_bus* raw = nullptr;
  // Honours $DBUS_SYSTEM_BUS_ADDRESS.
  if (const int r = sd_bus_open_system(&raw); r < 0) {
    Log() << "[BLE] Cannot connect to the system bus: " << std::strerror(-r);
    Fail(BleState::Unavailable, kNoRadio);
    return;
  }
  bluez::Bus bus(raw);
  // Declared after the bus: the objects leave it before it closes.
  std::unique_ptr<bluez::BlueZApplication> application;
  bluez::BusLoop loop(bus.get(), wakeFd_, stopRequested_, [&] { SendNotifications(application.get()); });
  if (stopRequested_) return;

  CallOutcome objects =
      loop.Call("/", kObjectManager, "GetManagedObjects", {}, options_.getManagedObjects, true);
  if (objects.kind == CallOutcome::Kind::Stopped) return;
  if (objects.kind != CallOutcome::Kind::Reply) {
    if (objects.kind == CallOutcome::Kind::TimedOut) {
      LogTimeout("ObjectManager::GetManagedObjects", options_.getManagedObjects);
    } else if (objects.errorName != "org.freedesktop.DBus.Error.ServiceUnknown" &&
               objects.errorName != "org.freedesktop.DBus.Error.NameHasNoOwner") {
      Log() << "[BLE] GetManagedObjects failed: " << objects.errorName << ": " << objects.errorMessage;
    }
    Fail(BleState::Unavailable, kNoRadio);
    return;
  }
  const auto adapter = bluez::FirstAdapter(objects.reply.get());
  if (!adapter) return Fail(BleState::Unavailable, "[BLE] No Bluetooth adapter found; BLE feature disabled.");
  if (!adapter->powered) {
    return Fail(BleState::BluetoothOff,
                "[BLE] Bluetooth radio is turned OFF; GATT setup skipped. Turn Bluetooth on to enable the BLE channel.");
  }
  if (!adapter->gattManager || !adapter->advertisingManager) {
    return Fail(BleState::Unavailable, "[BLE] Adapter does not support BLE; BLE feature disabled.");
  }
  if (stopRequested_) return;

  bluez::BlueZApplication::Events events;
  events.write = [this](std::vector<std::uint8_t> packet) {
    // Nothing is taken before the worker runs: a full queue would hold this thread for good.
    if (serving_) writeQueue_->Push(std::move(packet));
  };
  events.subscription = [this](bool subscribed) { OnSubscription(subscribed); };
  events.released = [this] {
    if (auto permit = releaseLog_.Next()) Log() << "[BLE] Advertisement released by BlueZ" << permit;
  };
  application = std::make_unique<bluez::BlueZApplication>(bus.get(), NextRoot(), std::move(events));
  const char* root = application->root().c_str();
  const char* advertisement = application->advertisementPath().c_str();

  CallOutcome app = loop.Call(adapter->path.c_str(), kGattManager, "RegisterApplication", {root, true},
                              options_.registerApplication, true);
  if (app.kind == CallOutcome::Kind::Stopped) return;
  if (app.kind != CallOutcome::Kind::Reply) {
    if (app.kind == CallOutcome::Kind::TimedOut) {
      LogTimeout("GattManager1::RegisterApplication", options_.registerApplication);
    } else {
      Log() << "[BLE] RegisterApplication failed: " << app.errorName << ": " << app.errorMessage;
    }
    return Fail(BleState::Unavailable, kSetupFailed);
  }
  const auto unregisterApplication = [&] {
    Unregister(loop, adapter->path, kGattManager, "UnregisterApplication", root);
  };
  Log() << "[BLE] GATT Service created with write + notify characteristics";
  if (stopRequested_) return unregisterApplication();

  CallOutcome adv = loop.Call(adapter->path.c_str(), kAdvertisingManager, "RegisterAdvertisement", {advertisement, true},
                              options_.registerAdvertisement, true);
  if (adv.kind == CallOutcome::Kind::Stopped) return unregisterApplication();
  if (adv.kind != CallOutcome::Kind::Reply) {
    if (adv.kind == CallOutcome::Kind::TimedOut) {
      LogTimeout("LEAdvertisingManager1::RegisterAdvertisement", options_.registerAdvertisement);
    } else {
      Log() << "[BLE] StartAdvertising failed (" << adv.errorName << "): " << adv.errorMessage;
    }
    Fail(BleState::Unavailable, kSetupFailed);
    return unregisterApplication();
  }
  const auto unregisterBoth = [&] {
    Unregister(loop, adapter->path, kAdvertisingManager, "UnregisterAdvertisement", advertisement);
    unregisterApplication();
  };

  running_ = true;
  state_ = BleState::Advertising;
  Log() << "[BLE] GATT Server started, advertising service " << kBleServiceUuid;
  if (stopRequested_) {
    running_ = false;
    return unregisterBoth();
  }
  serving_ = true;
  writeQueue_->Start(writeCallback);
  ReportStatus(BleStatusText(BleState::Advertising));
  loop.Serve();
  serving_ = false;
  unregisterBoth();
}

void BleGattServerBlueZ::Unregister(bluez::BusLoop& loop, const std::string& adapter, const char* interface,
                                    const char* method, const char* path) {
  try {
    // Refusals are ignored: bluetoothd forgets our objects anyway once we leave the bus.
    loop.Call(adapter.c_str(), interface, method, {path, false}, options_.unregister, false);
  } catch (const bluez::BusLost& e) {
    Log() << "[BLE] " << method << " skipped: lost the system bus: " << e.what();
  }
}

void BleGattServerBlueZ::OnSubscription(bool subscribed) {
  if (subscribed == centralConnected_) return;
  centralConnected_ = subscribed;
  if (auto permit = subscriptionLog_.Next()) {
    Log() << "[BLE] Subscribed clients changed, centralConnected=" << (subscribed ? 1 : 0) << permit;
  }
  ReportStatus(subscribed ? "BLE: Central connected" : "BLE: Central disconnected");
}

void BleGattServerBlueZ::SendNotifications(bluez::BlueZApplication* application) {
  if (!application || !serving_) return;
  std::deque<std::vector<std::uint8_t>> batch;
  {
    std::lock_guard lock(notifyMutex_);
    batch.swap(notifications_);
  }
  for (const auto& bytes : batch) {
    const int r = application->Notify(bytes);
    if (r >= 0) continue;
    if (auto permit = sendFailedLog_.Next()) Log() << "[BLE] Notify failed: " << std::strerror(-r) << permit;
  }
}

}  // namespace vandrel
