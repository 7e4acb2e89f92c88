#include "ble/linux/BlueZAdapter.h"

#include <cstring>
#include <map>
#include <stdexcept>

namespace vandrel::bluez {
namespace {

void Check(int result) {
  if (result < 0) throw std::runtime_error(std::string("malformed GetManagedObjects reply: ") + std::strerror(-result));
}

// Reads Adapter1's a{sv}; only Powered matters.
bool ReadPowered(sd_bus_message* m) {
  bool powered = false;
  Check(sd_bus_message_enter_container(m, 'a', "{sv}"));
  while (true) {
    const int entry = sd_bus_message_enter_container(m, 'e', "sv");
    Check(entry);
    if (entry == 0) break;
    const char* name = nullptr;
    Check(sd_bus_message_read(m, "s", &name));
    const char* contents = nullptr;
    if (std::strcmp(name, "Powered") == 0 && sd_bus_message_peek_type(m, nullptr, &contents) > 0 && contents &&
        std::strcmp(contents, "b") == 0) {
      int value = 0;
      Check(sd_bus_message_read(m, "v", "b", &value));
      powered = value != 0;
    } else {
      Check(sd_bus_message_skip(m, "v"));
    }
    Check(sd_bus_message_exit_container(m));
  }
  Check(sd_bus_message_exit_container(m));
  return powered;
}

}  // namespace

std::optional<AdapterInfo> FirstAdapter(sd_bus_message* m) {
  // Keyed by path, so the first one is the first in path order.
  std::map<std::string, AdapterInfo> adapters;
  Check(sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}"));
  while (true) {
    const int object = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}");
    Check(object);
    if (object == 0) break;
    const char* path = nullptr;
    Check(sd_bus_message_read(m, "o", &path));
    AdapterInfo info;
    info.path = path;
    bool isAdapter = false;
    Check(sd_bus_message_enter_container(m, 'a', "{sa{sv}}"));
    while (true) {
      const int entry = sd_bus_message_enter_container(m, 'e', "sa{sv}");
      Check(entry);
      if (entry == 0) break;
      const char* interface = nullptr;
      Check(sd_bus_message_read(m, "s", &interface));
      const std::string name = interface;
      if (name == "org.bluez.Adapter1") {
        isAdapter = true;
        info.powered = ReadPowered(m);
      } else {
        info.gattManager |= name == "org.bluez.GattManager1";
        info.advertisingManager |= name == "org.bluez.LEAdvertisingManager1";
        Check(sd_bus_message_skip(m, "a{sv}"));
      }
      Check(sd_bus_message_exit_container(m));
    }
    Check(sd_bus_message_exit_container(m));
    Check(sd_bus_message_exit_container(m));
    if (isAdapter) adapters.emplace(info.path, info);
  }
  Check(sd_bus_message_exit_container(m));
  if (adapters.empty()) return std::nullopt;
  return adapters.begin()->second;
}

}  // namespace vandrel::bluez
