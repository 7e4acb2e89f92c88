// Command codes of the phone link, their log names, TCP stream framing and the
// little-endian byte helpers every packet layout is built from.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace vandrel {

using Bytes = std::vector<std::uint8_t>;

/// The first byte of every packet. The numbers are fixed by phones in the field;
/// never renumber or reorder.
enum class Command : std::uint8_t {
  LClick = 1,
  RClick,
  Down,
  Up,
  Move,
  Scroll,
  KeyClick,
  ScrollH,
  Zoom,
  Media,
  System,
  Clipboard,
  KeyDown,
  KeyUp,
  MClick,
  GetAppList,
  AppListData,
  SwitchApp,
  LaunchApp,
  SmartMedia,
  DblClick,
  FileTransferStart,
  FileTransferChunk,
  FileTransferEnd,
  LaserOn,
  LaserOff,
  BrightnessStep,
  OpenUrl,
  AuthRequest,
  AuthPassword,
  AuthSuccess,
  AuthFail,
  Ping,
  Pong,
};

/// The wire byte of a command.
constexpr std::uint8_t ToByte(Command command) noexcept {
  return static_cast<std::uint8_t>(command);
}

/// Log name of a received command byte ("LCLICK", "FILE_TRANSFER_START", ...).
/// Bytes of no known command read "UNKNOWN", and so do MCLICK and DBLCLICK: the
/// log has always shown them that way and log readers rely on it.
std::string_view CommandName(std::int8_t code) noexcept;

/// Same, for a command already decoded.
inline std::string_view CommandName(Command command) noexcept {
  return CommandName(static_cast<std::int8_t>(ToByte(command)));
}

/// Length of the packet at the head of a TCP byte stream, or nullopt while the
/// buffered `count` bytes are too few to tell it or to hold all of it.
///
/// The lengths are the ones phones send with. MOVE, KEYDOWN, KEYUP and
/// CLIPBOARD frame as one byte, KEYCLICK and SYSTEM as two, although their
/// payloads are longer; deployed phones depend on exactly this, so it stays.
/// Any byte without a rule of its own (unknown ones included) is a one-byte frame,
/// which lets the stream resynchronise after garbage.
std::optional<std::size_t> TcpFrameLength(const std::uint8_t* data, std::size_t count) noexcept;

// Little-endian integers as used in every multi-byte field.

/// Reads sizeof(T) bytes at `p`; the caller has checked they are there.
template <std::unsigned_integral T>
constexpr T LoadLe(const std::uint8_t* p) noexcept {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value = static_cast<T>(value | static_cast<T>(static_cast<T>(p[i]) << (8 * i)));
  }
  return value;
}

/// Writes `value` into the sizeof(T) bytes at `p`.
template <std::unsigned_integral T>
constexpr void StoreLe(std::uint8_t* p, T value) noexcept {
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    p[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

/// Appends `value` to `out`.
template <std::unsigned_integral T>
void AppendLe(Bytes& out, T value) {
  std::uint8_t bytes[sizeof(T)];
  StoreLe(bytes, value);
  out.insert(out.end(), bytes, bytes + sizeof(T));
}

}  // namespace vandrel
