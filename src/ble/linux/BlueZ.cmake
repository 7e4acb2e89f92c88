# Bluetooth LE through BlueZ on the system bus, over sd-bus.
target_sources(vandrel_ble_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/PlatformBle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BleGattServerBlueZ.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BlueZAdapter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BlueZApplication.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BlueZBus.cpp
)
find_package(PkgConfig REQUIRED)
pkg_check_modules(BLUEZ_SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
target_link_libraries(vandrel_ble_platform PRIVATE PkgConfig::BLUEZ_SYSTEMD)
