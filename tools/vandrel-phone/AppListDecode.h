// Reading the PC's window list (the APP_LIST_DATA payload) back into entries.
// Pure byte work: the payload comes from the network, so every length is
// checked against what is left and the decoder is fit to be fuzzed.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/Packet.h"

namespace vandrel::phone {

/// One application as the PC lists it.
struct AppEntry {
  std::string name;     // UTF-8 as sent, not checked
  std::string process;  // UTF-8 as sent, not checked
  Bytes icon;           // PNG bytes, empty when the PC has none
  std::uint64_t hwnd = 0;
  bool running = false;
  std::string path;

  bool operator==(const AppEntry&) const = default;
};

/// A payload that is not exactly one well-formed list; what() says at which
/// record and field it went wrong.
class AppListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The entries of an APP_LIST_DATA payload: a u16 count, then per record a u8
/// name length and name, u8 process length and process, u16 icon length and
/// icon, u64 window handle, u8 running flag (0 or 1), u16 path length and path,
/// all little-endian. Throws AppListError when a field runs past the end, the
/// running flag is neither 0 nor 1, or bytes follow the last record.
std::vector<AppEntry> DecodeAppList(std::span<const std::uint8_t> payload);

}  // namespace vandrel::phone
