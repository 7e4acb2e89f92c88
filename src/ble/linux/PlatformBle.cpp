#include "ble/PlatformBle.h"

#include <memory>

#include "ble/linux/BleGattServerBlueZ.h"

namespace vandrel {

BleGattServerFactory MakePlatformBleFactory() {
  return []() -> std::unique_ptr<BleGattServer> { return std::make_unique<BleGattServerBlueZ>(); };
}

}  // namespace vandrel
