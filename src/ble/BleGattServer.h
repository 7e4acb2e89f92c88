// The Bluetooth LE peripheral as the server sees it: one service whose write
// characteristic carries the phone's packets in (one write, one packet) and
// whose notify characteristic carries the replies out. Platform backends
// stand behind this interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vandrel {

enum class BleState : std::int32_t { Starting = 0, Advertising = 1, BluetoothOff = 2, Unavailable = 3 };

inline constexpr const char* kBleServiceUuid = "0000ff60-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kBleWriteUuid = "0000ff61-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kBleNotifyUuid = "0000ff62-0000-1000-8000-00805f9b34fb";

/// The status line that goes with a state ("BLE: Advertising", ...).
const char* BleStatusText(BleState state);

class BleGattServer {
 public:
  using WriteCallback = std::function<void(const std::vector<std::uint8_t>&)>;
  using StatusCallback = std::function<void(const std::string&)>;

  /// One received packet, on the write worker; set before start.
  WriteCallback writeCallback;
  /// A status text ("BLE: Advertising", "BLE: Central connected", ...), on a
  /// backend thread; set before start.
  StatusCallback statusCallback;

  BleGattServer() = default;
  virtual ~BleGattServer() = default;
  BleGattServer(const BleGattServer&) = delete;
  BleGattServer& operator=(const BleGattServer&) = delete;

  /// Begins the set-up in the background and returns at once; its outcome
  /// arrives through statusCallback and getState. Called once per object.
  virtual bool start() = 0;
  /// Ends the set-up (within its current step's limit), unregisters, stops
  /// the worker after it delivered what was queued. Safe at any point and twice.
  virtual void stop() = 0;
  /// Service registered and advertising.
  virtual bool isRunning() const = 0;
  /// A central has subscribed to the notify characteristic.
  virtual bool isCentralConnected() const = 0;
  virtual BleState getState() const { return BleState::Advertising; }
  /// Hands one packet to the subscribed centrals without waiting for the
  /// radio; false when none is subscribed or it cannot be sent.
  virtual bool notify(std::span<const std::uint8_t> bytes) = 0;

 protected:
  /// Calls statusCallback with `text`, swallowing what it throws.
  void ReportStatus(const std::string& text) const;
};

/// Makes a GATT server, or nothing where this machine has no Bluetooth LE.
using BleGattServerFactory = std::function<std::unique_ptr<BleGattServer>()>;

}  // namespace vandrel
