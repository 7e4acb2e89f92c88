// Our objects on the bus as bluetoothd reads them: the service, the write
// characteristic (ff61), the notify characteristic (ff62) and the
// advertisement, under one object manager. Bus thread only.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vandrel::bluez {

class BlueZApplication {
 public:
  struct Events {
    /// One non-empty write, after it was acknowledged.
    std::function<void(std::vector<std::uint8_t>)> write;
    /// StartNotify (true) or StopNotify (false), repeated ones included.
    std::function<void(bool)> subscription;
    /// bluetoothd dropped the advertisement.
    std::function<void()> released;
  };

  /// Exports the objects under `root`; throws std::runtime_error when sd-bus refuses.
  BlueZApplication(sd_bus* bus, std::string root, Events events);
  /// Removes the objects from the bus.
  ~BlueZApplication();
  BlueZApplication(const BlueZApplication&) = delete;
  BlueZApplication& operator=(const BlueZApplication&) = delete;

  const std::string& root() const;
  const std::string& advertisementPath() const;
  /// Sets ff62's value and announces it; sd-bus's negative errno on failure.
  int Notify(std::span<const std::uint8_t> bytes);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace vandrel::bluez
