// The GATT peripheral on BlueZ: our service, its two characteristics and an
// advertisement exported on the system bus and registered with bluetoothd.
// One bus thread owns the connection; other threads only hand it work.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "ble/BleGattServer.h"
#include "ble/BleWriteQueue.h"
#include "infra/LogLimiter.h"

namespace vandrel {

/// How long each set-up step may wait for bluetoothd; tests shorten them.
struct BleBlueZOptions {
  std::chrono::milliseconds getManagedObjects{4000};
  std::chrono::milliseconds registerApplication{5000};
  std::chrono::milliseconds registerAdvertisement{3000};
  /// Each of the two unregister calls at stop.
  std::chrono::milliseconds unregister{2000};
};

namespace bluez {
class BlueZApplication;
class BusLoop;
}

class BleGattServerBlueZ final : public BleGattServer {
 public:
  using Options = BleBlueZOptions;
  /// Past this many notifications waiting for the bus thread, notify drops.
  static constexpr std::size_t kMaxPendingNotifications = 256;

  explicit BleGattServerBlueZ(Options options = Options());
  /// Stops.
  ~BleGattServerBlueZ() override;

  bool start() override;
  void stop() override;
  bool isRunning() const override { return running_; }
  bool isCentralConnected() const override { return centralConnected_; }
  BleState getState() const override { return state_; }
  bool notify(std::span<const std::uint8_t> bytes) override;

 private:
  void BusThread();
  /// The set-up steps, then serving until stop; throws bluez::BusLost.
  void Run();
  void Fail(BleState state, const char* text);
  /// Bus thread: one unregister call, its refusal ignored.
  void Unregister(bluez::BusLoop& loop, const std::string& adapter, const char* interface, const char* method,
                  const char* path);
  /// The central subscribed to (true) or left (false) the notify characteristic.
  void OnSubscription(bool subscribed);
  /// Wakes the bus thread.
  void Wake();
  /// Bus thread: sends the queued notifications in order.
  void SendNotifications(bluez::BlueZApplication* application);

  const Options options_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> centralConnected_{false};
  std::atomic<bool> serving_{false};
  std::atomic<BleState> state_{BleState::Starting};
  int wakeFd_ = -1;

  // start and stop, against each other.
  std::mutex lifecycleMutex_;
  std::thread busThread_;
  bool started_ = false;
  std::unique_ptr<BleWriteQueue> writeQueue_;

  std::mutex notifyMutex_;
  std::deque<std::vector<std::uint8_t>> notifications_;
  LogLimiter queueFullLog_;
  // Bus thread only.
  LogLimiter sendFailedLog_;
  LogLimiter subscriptionLog_;
  LogLimiter releaseLog_;
};

}  // namespace vandrel
