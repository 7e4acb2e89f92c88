// The Bluetooth LE backend of this platform; empty where there is none.
#pragma once

#include "ble/BleGattServer.h"

namespace vandrel {

BleGattServerFactory MakePlatformBleFactory();

}  // namespace vandrel
