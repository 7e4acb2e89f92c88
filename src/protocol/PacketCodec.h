// Building and reading the packet layouts. Pure byte work, no I/O, shared by the
// server, the phone-side command line tool and the tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/Packet.h"
#include "protocol/Sha256.h"

namespace vandrel {

inline constexpr std::size_t kAuthNonceSize = 8;
using AuthNonce = std::array<std::uint8_t, kAuthNonceSize>;

/// Largest LAUNCH_APP path or OPEN_URL address: its length travels in one byte.
inline constexpr std::size_t kMaxShortTextBytes = 255;
/// Largest FILE_TRANSFER_START name or FILE_TRANSFER_CHUNK: 16-bit length field.
inline constexpr std::size_t kMaxFileFieldBytes = 65535;

/// Header of APP_LIST_DATA: the command byte and the 32-bit payload length.
inline constexpr std::size_t kAppListHeaderSize = 1 + 4;
inline constexpr std::size_t kAuthRequestSize = 1 + 1 + kAuthNonceSize;
inline constexpr std::size_t kAuthPasswordSize = 1 + kSha256DigestSize;

namespace packet {

// Builders. Each returns one whole packet, command byte first. A payload too long
// for its length field throws std::length_error; cutting it short would make the
// other side act on a different path, URL or file.

/// A command without payload: LCLICK, RCLICK, DOWN, UP, MCLICK, DBLCLICK,
/// GET_APP_LIST, FILE_TRANSFER_END, LASER_ON/OFF, AUTH_SUCCESS/FAIL, PING, PONG.
Bytes Simple(Command command);

Bytes Move(std::int8_t dx, std::int8_t dy);
Bytes Scroll(std::int8_t amount);
Bytes ScrollH(std::int8_t amount);
Bytes Zoom(std::int8_t step);

Bytes KeyClick(std::uint8_t key, std::uint8_t modifiers);
Bytes KeyDown(std::uint8_t key, std::uint8_t modifiers);
Bytes KeyUp(std::uint8_t key, std::uint8_t modifiers);

Bytes Media(std::uint8_t action);
Bytes SmartMedia(std::uint8_t action);
/// A HID consumer/system control: usage page and usage.
Bytes System(std::uint8_t usagePage, std::uint8_t usage);
/// True brightens, false darkens.
Bytes BrightnessStep(bool brighter);

/// The UTF-8 text runs to the end of the packet; there is no length field.
Bytes Clipboard(std::string_view text);

Bytes SwitchApp(std::uint64_t windowHandle);
/// At most kMaxShortTextBytes of UTF-8.
Bytes LaunchApp(std::string_view path);
/// At most kMaxShortTextBytes of UTF-8.
Bytes OpenUrl(std::string_view url);

/// `name` at most kMaxFileFieldBytes of UTF-8; `size` is the whole file's.
Bytes FileTransferStart(std::string_view name, std::uint64_t size);
/// At most kMaxFileFieldBytes.
Bytes FileTransferChunk(std::span<const std::uint8_t> data);

/// Server to phone: the window list payload behind a 32-bit length.
Bytes AppListData(std::span<const std::uint8_t> payload);
Bytes AppListData(std::string_view payload);

/// Server to phone: the challenge, as a length byte (always 8) and the nonce.
Bytes AuthRequest(const AuthNonce& nonce);
/// Phone to server: the answer, see ComputeAuthDigest.
Bytes AuthPassword(const Sha256Digest& digest);

// Readers. `bytes` starts at the command byte and may run past the packet. Each
// returns nullopt when the command byte is not the expected one or the bytes
// end before the packet does; none reads outside `bytes`.

struct FileTransferStartFields {
  std::string name;
  std::uint64_t size = 0;
};

std::optional<FileTransferStartFields> ReadFileTransferStart(std::span<const std::uint8_t> bytes);
/// The chunk's data, a view into `bytes`.
std::optional<std::span<const std::uint8_t>> ReadFileTransferChunk(std::span<const std::uint8_t> bytes);
/// The text of LAUNCH_APP or OPEN_URL.
std::optional<std::string> ReadLengthPrefixedText(std::span<const std::uint8_t> bytes);
std::optional<std::uint64_t> ReadSwitchApp(std::span<const std::uint8_t> bytes);
/// Also nullopt when the length byte is not 8.
std::optional<AuthNonce> ReadAuthRequest(std::span<const std::uint8_t> bytes);
std::optional<Sha256Digest> ReadAuthPassword(std::span<const std::uint8_t> bytes);
/// The payload, a view into `bytes`; needs the header and all of the payload.
std::optional<std::span<const std::uint8_t>> ReadAppListData(std::span<const std::uint8_t> bytes);

/// Whole length of the APP_LIST_DATA packet at `data` (header plus payload) once
/// its header is buffered, so a phone can tell how much more to read from its
/// stream; nullopt while fewer than kAppListHeaderSize bytes are there. Does not
/// look at the command byte.
std::optional<std::size_t> AppListDataFrameLength(const std::uint8_t* data, std::size_t count) noexcept;

}  // namespace packet
}  // namespace vandrel
