#include "ble/linux/BlueZApplication.h"

#include <cstring>
#include <exception>
#include <stdexcept>
#include <utility>

#include "ble/BleGattServer.h"
#include "ble/linux/BlueZBus.h"
#include "infra/LogLimiter.h"
#include "infra/Logger.h"

namespace vandrel::bluez {

struct BlueZApplication::State {
  sd_bus* bus = nullptr;
  std::string root;
  std::string servicePath;
  std::string writePath;
  std::string notifyPath;
  std::string advertisementPath;
  Events events;
  std::vector<std::uint8_t> value;
  bool notifying = false;
  LogLimiter failureLog;
  std::vector<Slot> slots;
};

namespace {

using State = BlueZApplication::State;

constexpr const char* kService = "org.bluez.GattService1";
constexpr const char* kCharacteristic = "org.bluez.GattCharacteristic1";
constexpr const char* kAdvertisement = "org.bluez.LEAdvertisement1";

State& Of(void* userdata) { return *static_cast<State*>(userdata); }

// No exception may cross sd-bus's C frames; the caller gets a failed call instead.
template <typename Body>
int Guarded(State& state, const char* method, Body&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    if (auto permit = state.failureLog.Next()) Log() << "[BLE] " << method << " failed (std): " << e.what() << permit;
  } catch (...) {
    if (auto permit = state.failureLog.Next()) Log() << "[BLE] " << method << " failed (unknown exception)." << permit;
  }
  return -EIO;
}

#define VANDREL_GETTER(name) \
  int name(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata, sd_bus_error*)

VANDREL_GETTER(ServiceUuid) { (void)userdata; return sd_bus_message_append(reply, "s", kBleServiceUuid); }
VANDREL_GETTER(WriteUuid) { (void)userdata; return sd_bus_message_append(reply, "s", kBleWriteUuid); }
VANDREL_GETTER(NotifyUuid) { (void)userdata; return sd_bus_message_append(reply, "s", kBleNotifyUuid); }
VANDREL_GETTER(Primary) { (void)userdata; return sd_bus_message_append(reply, "b", 1); }
VANDREL_GETTER(ServicePath) { return sd_bus_message_append(reply, "o", Of(userdata).servicePath.c_str()); }
VANDREL_GETTER(WriteFlags) {
  (void)userdata;
  return sd_bus_message_append(reply, "as", 2, "write", "write-without-response");
}
VANDREL_GETTER(NotifyFlags) { (void)userdata; return sd_bus_message_append(reply, "as", 2, "read", "notify"); }
VANDREL_GETTER(Value) {
  const auto& value = Of(userdata).value;
  return sd_bus_message_append_array(reply, 'y', value.data(), value.size());
}
VANDREL_GETTER(Notifying) { return sd_bus_message_append(reply, "b", Of(userdata).notifying ? 1 : 0); }
VANDREL_GETTER(AdvertisementType) { (void)userdata; return sd_bus_message_append(reply, "s", "peripheral"); }
VANDREL_GETTER(AdvertisedUuids) { (void)userdata; return sd_bus_message_append(reply, "as", 1, kBleServiceUuid); }

#undef VANDREL_GETTER

int WriteValue(sd_bus_message* call, void* userdata, sd_bus_error*) {
  State& state = Of(userdata);
  return Guarded(state, "WriteValue", [&] {
    const void* data = nullptr;
    std::size_t size = 0;
    if (const int r = sd_bus_message_read_array(call, 'y', &data, &size); r < 0) return r;
    // An empty write is refused rather than acknowledged: it carries no packet.
    if (size == 0) return sd_bus_reply_method_errorf(call, "org.bluez.Error.InvalidValueLength", "empty write");
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::vector<std::uint8_t> packet(bytes, bytes + size);
    // Acknowledged first: the queue may then hold this thread while it is full.
    if (const int r = sd_bus_reply_method_return(call, ""); r < 0) return r;
    if (state.events.write) state.events.write(std::move(packet));
    return 1;
  });
}

int ReadNothing(sd_bus_message* call, void*, sd_bus_error*) { return sd_bus_reply_method_return(call, "ay", 0); }

int ReadValue(sd_bus_message* call, void* userdata, sd_bus_error*) {
  State& state = Of(userdata);
  sd_bus_message* raw = nullptr;
  if (const int r = sd_bus_message_new_method_return(call, &raw); r < 0) return r;
  Message reply(raw);
  if (const int r = sd_bus_message_append_array(reply.get(), 'y', state.value.data(), state.value.size()); r < 0) {
    return r;
  }
  return sd_bus_send(nullptr, reply.get(), nullptr);
}

int SetNotifying(sd_bus_message* call, State& state, bool notifying, const char* method) {
  return Guarded(state, method, [&] {
    if (const int r = sd_bus_reply_method_return(call, ""); r < 0) return r;
    if (state.notifying != notifying) {
      state.notifying = notifying;
      sd_bus_emit_properties_changed(state.bus, state.notifyPath.c_str(), kCharacteristic, "Notifying", nullptr);
    }
    if (state.events.subscription) state.events.subscription(notifying);
    return 1;
  });
}

int StartNotify(sd_bus_message* call, void* userdata, sd_bus_error*) {
  return SetNotifying(call, Of(userdata), true, "StartNotify");
}
int StopNotify(sd_bus_message* call, void* userdata, sd_bus_error*) {
  return SetNotifying(call, Of(userdata), false, "StopNotify");
}

int Release(sd_bus_message* call, void* userdata, sd_bus_error*) {
  State& state = Of(userdata);
  return Guarded(state, "Release", [&] {
    if (const int r = sd_bus_reply_method_return(call, ""); r < 0) return r;
    if (state.events.released) state.events.released();
    return 1;
  });
}

const sd_bus_vtable kServiceTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("UUID", "s", ServiceUuid, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Primary", "b", Primary, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kWriteTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("UUID", "s", WriteUuid, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Service", "o", ServicePath, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Flags", "as", WriteFlags, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("WriteValue", "aya{sv}", "", WriteValue, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("ReadValue", "a{sv}", "ay", ReadNothing, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kNotifyTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("UUID", "s", NotifyUuid, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Service", "o", ServicePath, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Flags", "as", NotifyFlags, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Value", "ay", Value, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Notifying", "b", Notifying, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_METHOD("ReadValue", "a{sv}", "ay", ReadValue, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StartNotify", "", "", StartNotify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("StopNotify", "", "", StopNotify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kAdvertisementTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Type", "s", AdvertisementType, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("ServiceUUIDs", "as", AdvertisedUuids, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("Release", "", "", Release, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

void Export(State& state, const std::string& path, const char* interface, const sd_bus_vtable* table) {
  sd_bus_slot* slot = nullptr;
  const int r = sd_bus_add_object_vtable(state.bus, &slot, path.c_str(), interface, table, &state);
  if (r < 0) throw std::runtime_error("cannot export " + path + ": " + std::strerror(-r));
  state.slots.emplace_back(slot);
}

}  // namespace

BlueZApplication::BlueZApplication(sd_bus* bus, std::string root, Events events) : state_(std::make_unique<State>()) {
  State& state = *state_;
  state.bus = bus;
  state.root = std::move(root);
  state.servicePath = state.root + "/service0";
  state.writePath = state.servicePath + "/char0";
  state.notifyPath = state.servicePath + "/char1";
  state.advertisementPath = state.root + "/advertisement0";
  state.events = std::move(events);
  sd_bus_slot* manager = nullptr;
  if (const int r = sd_bus_add_object_manager(bus, &manager, state.root.c_str()); r < 0) {
    throw std::runtime_error("cannot export the object manager at " + state.root + ": " + std::strerror(-r));
  }
  state.slots.emplace_back(manager);
  Export(state, state.servicePath, kService, kServiceTable);
  Export(state, state.writePath, kCharacteristic, kWriteTable);
  Export(state, state.notifyPath, kCharacteristic, kNotifyTable);
  Export(state, state.advertisementPath, kAdvertisement, kAdvertisementTable);
}

BlueZApplication::~BlueZApplication() {
  // Objects go before the manager that lists them.
  while (!state_->slots.empty()) state_->slots.pop_back();
}

const std::string& BlueZApplication::root() const { return state_->root; }
const std::string& BlueZApplication::advertisementPath() const { return state_->advertisementPath; }

int BlueZApplication::Notify(std::span<const std::uint8_t> bytes) {
  state_->value.assign(bytes.begin(), bytes.end());
  return sd_bus_emit_properties_changed(state_->bus, state_->notifyPath.c_str(), kCharacteristic, "Value", nullptr);
}

}  // namespace vandrel::bluez
