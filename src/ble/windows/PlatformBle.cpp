#include "ble/PlatformBle.h"

namespace vandrel {

// The Windows Runtime's Bluetooth headers are not available to this tool
// chain; a WinRT backend would stand here beside the BlueZ one.
BleGattServerFactory MakePlatformBleFactory() { return {}; }

}  // namespace vandrel
