# The Bluetooth LE peripheral on BlueZ, against a fake bluetoothd on a private bus.
target_sources(vandrel_unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/BleGattServerBlueZTest.cpp)
find_package(PkgConfig REQUIRED)
# The test drives the fake over sd-bus too.
pkg_check_modules(BLE_TEST_SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
target_link_libraries(vandrel_unit_tests PRIVATE vandrel_ble_platform PkgConfig::BLE_TEST_SYSTEMD)
