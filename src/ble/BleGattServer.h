// The Bluetooth LE peripheral as the server sees it; the platform backends
// stand behind this interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace vandrel {

enum class BleState : std::int32_t { Starting = 0, Advertising = 1, BluetoothOff = 2, Unavailable = 3 };

class BleGattServer {
 public:
  virtual ~BleGattServer() = default;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual BleState State() const = 0;
  virtual bool IsCentralConnected() const = 0;
};

/// Makes a GATT server, or nothing where this machine has no Bluetooth LE.
using BleGattServerFactory = std::function<std::unique_ptr<BleGattServer>()>;

}  // namespace vandrel
