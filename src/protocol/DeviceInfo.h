// What a session knows about its phone.
#pragma once

#include <cstdint>
#include <string>

namespace vandrel {

struct DeviceInfo {
  std::int32_t id = 0;
  std::string address;
  std::string manufacturer;
  std::string name;
  std::string model;
  std::int32_t isWifi = 0;  // non-zero: local network; 0: USB
};

}  // namespace vandrel
