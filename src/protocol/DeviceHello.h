// The text a phone sends first on a new connection, naming itself and how it
// is attached: "Maker/Phone/Model-1/1" = manufacturer/name/model/kind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vandrel {

struct DeviceHello {
  std::string manufacturer;
  std::string name;
  std::string model;
  /// Non-zero for a phone on the network (Wi-Fi), zero for one on USB.
  std::int32_t kind = 0;

  bool IsNetwork() const noexcept { return kind != 0; }
};

/// Splits `text` at every '/'. Fields one to four fill manufacturer, name, model
/// and kind; missing ones stay empty (kind 0) and any beyond the fourth are
/// ignored. The kind is read as a decimal integer the way std::stoi reads it
/// (leading blanks, optional sign, leading digits) but never throws: no digits,
/// or a value outside the 32-bit range, give 0.
DeviceHello ParseDeviceHello(std::string_view text);

/// The hello text for `hello`, as the phone side sends it. A '/' inside
/// manufacturer, name or model would shift the fields on the other side, so it
/// throws std::invalid_argument instead.
std::string FormatDeviceHello(const DeviceHello& hello);

}  // namespace vandrel
