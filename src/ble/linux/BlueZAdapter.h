// The adapter as bluetoothd's object tree describes it.
#pragma once

#include <systemd/sd-bus.h>

#include <optional>
#include <string>

namespace vandrel::bluez {

struct AdapterInfo {
  std::string path;
  bool powered = false;
  bool gattManager = false;
  bool advertisingManager = false;
};

/// The first adapter, in path order, of a GetManagedObjects reply; nothing
/// when there is none. Throws std::runtime_error on a malformed reply.
std::optional<AdapterInfo> FirstAdapter(sd_bus_message* managedObjects);

}  // namespace vandrel::bluez
