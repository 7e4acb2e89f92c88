#include "protocol/PacketCodec.h"

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <stdexcept>

namespace vandrel::packet {
namespace {

bool HasPayload(Command command) noexcept {
  switch (command) {
    case Command::LClick:
    case Command::RClick:
    case Command::Down:
    case Command::Up:
    case Command::MClick:
    case Command::GetAppList:
    case Command::DblClick:
    case Command::FileTransferEnd:
    case Command::LaserOn:
    case Command::LaserOff:
    case Command::AuthSuccess:
    case Command::AuthFail:
    case Command::Ping:
    case Command::Pong:
      return false;
    default:
      return true;
  }
}

std::uint8_t AsByte(std::int8_t value) noexcept { return static_cast<std::uint8_t>(value); }

Bytes WithBytes(Command command, std::initializer_list<std::uint8_t> payload) {
  Bytes out;
  out.reserve(1 + payload.size());
  out.push_back(ToByte(command));
  out.insert(out.end(), payload);
  return out;
}

void Append(Bytes& out, std::span<const std::uint8_t> data) {
  out.insert(out.end(), data.begin(), data.end());
}

void Append(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

void CheckLength(std::size_t length, std::size_t limit, const char* what) {
  if (length > limit) {
    throw std::length_error(std::string(what) + " is " + std::to_string(length) +
                            " bytes, the packet holds at most " + std::to_string(limit));
  }
}

Bytes ShortText(Command command, std::string_view text, const char* what) {
  CheckLength(text.size(), kMaxShortTextBytes, what);
  Bytes out = WithBytes(command, {static_cast<std::uint8_t>(text.size())});
  Append(out, text);
  return out;
}

bool Starts(std::span<const std::uint8_t> bytes, Command command, std::size_t minimumSize) noexcept {
  return bytes.size() >= minimumSize && bytes[0] == ToByte(command);
}

}  // namespace

Bytes Simple(Command command) {
  if (HasPayload(command)) {
    throw std::invalid_argument("packet::Simple used for " + std::string(CommandName(command)) +
                                ", which carries a payload");
  }
  return WithBytes(command, {});
}

Bytes Move(std::int8_t dx, std::int8_t dy) { return WithBytes(Command::Move, {AsByte(dx), AsByte(dy)}); }
Bytes Scroll(std::int8_t amount) { return WithBytes(Command::Scroll, {AsByte(amount)}); }
Bytes ScrollH(std::int8_t amount) { return WithBytes(Command::ScrollH, {AsByte(amount)}); }
Bytes Zoom(std::int8_t step) { return WithBytes(Command::Zoom, {AsByte(step)}); }

Bytes KeyClick(std::uint8_t key, std::uint8_t modifiers) {
  return WithBytes(Command::KeyClick, {key, modifiers});
}
Bytes KeyDown(std::uint8_t key, std::uint8_t modifiers) {
  return WithBytes(Command::KeyDown, {key, modifiers});
}
Bytes KeyUp(std::uint8_t key, std::uint8_t modifiers) {
  return WithBytes(Command::KeyUp, {key, modifiers});
}

Bytes Media(std::uint8_t action) { return WithBytes(Command::Media, {action}); }
Bytes SmartMedia(std::uint8_t action) { return WithBytes(Command::SmartMedia, {action}); }
Bytes System(std::uint8_t usagePage, std::uint8_t usage) {
  return WithBytes(Command::System, {usagePage, usage});
}
// The receiver treats any non-zero direction as darker.
Bytes BrightnessStep(bool brighter) {
  return WithBytes(Command::BrightnessStep, {static_cast<std::uint8_t>(brighter ? 0 : 1)});
}

Bytes Clipboard(std::string_view text) {
  Bytes out = WithBytes(Command::Clipboard, {});
  Append(out, text);
  return out;
}

Bytes SwitchApp(std::uint64_t windowHandle) {
  Bytes out = WithBytes(Command::SwitchApp, {});
  AppendLe(out, windowHandle);
  return out;
}

Bytes LaunchApp(std::string_view path) { return ShortText(Command::LaunchApp, path, "LAUNCH_APP path"); }
Bytes OpenUrl(std::string_view url) { return ShortText(Command::OpenUrl, url, "OPEN_URL address"); }

Bytes FileTransferStart(std::string_view name, std::uint64_t size) {
  CheckLength(name.size(), kMaxFileFieldBytes, "file name");
  Bytes out = WithBytes(Command::FileTransferStart, {});
  out.reserve(3 + name.size() + 8);
  AppendLe(out, static_cast<std::uint16_t>(name.size()));
  Append(out, name);
  AppendLe(out, size);
  return out;
}

Bytes FileTransferChunk(std::span<const std::uint8_t> data) {
  CheckLength(data.size(), kMaxFileFieldBytes, "file chunk");
  Bytes out = WithBytes(Command::FileTransferChunk, {});
  out.reserve(3 + data.size());
  AppendLe(out, static_cast<std::uint16_t>(data.size()));
  Append(out, data);
  return out;
}

Bytes AppListData(std::span<const std::uint8_t> payload) {
  CheckLength(payload.size(), std::numeric_limits<std::uint32_t>::max(), "app list");
  Bytes out = WithBytes(Command::AppListData, {});
  out.reserve(kAppListHeaderSize + payload.size());
  AppendLe(out, static_cast<std::uint32_t>(payload.size()));
  Append(out, payload);
  return out;
}

Bytes AppListData(std::string_view payload) {
  return AppListData(std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()));
}

Bytes AuthRequest(const AuthNonce& nonce) {
  Bytes out = WithBytes(Command::AuthRequest, {static_cast<std::uint8_t>(kAuthNonceSize)});
  Append(out, nonce);
  return out;
}

Bytes AuthPassword(const Sha256Digest& digest) {
  Bytes out = WithBytes(Command::AuthPassword, {});
  Append(out, digest);
  return out;
}

std::optional<FileTransferStartFields> ReadFileTransferStart(std::span<const std::uint8_t> bytes) {
  if (!Starts(bytes, Command::FileTransferStart, 3)) return std::nullopt;
  const std::size_t nameLength = LoadLe<std::uint16_t>(&bytes[1]);
  if (bytes.size() < 3 + nameLength + 8) return std::nullopt;
  const auto name = bytes.subspan(3, nameLength);
  return FileTransferStartFields{std::string(name.begin(), name.end()),
                                 LoadLe<std::uint64_t>(&bytes[3 + nameLength])};
}

std::optional<std::span<const std::uint8_t>> ReadFileTransferChunk(std::span<const std::uint8_t> bytes) {
  if (!Starts(bytes, Command::FileTransferChunk, 3)) return std::nullopt;
  const std::size_t length = LoadLe<std::uint16_t>(&bytes[1]);
  if (bytes.size() < 3 + length) return std::nullopt;
  return bytes.subspan(3, length);
}

std::optional<std::string> ReadLengthPrefixedText(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 2) return std::nullopt;
  if (bytes[0] != ToByte(Command::LaunchApp) && bytes[0] != ToByte(Command::OpenUrl)) return std::nullopt;
  const std::size_t length = bytes[1];
  if (bytes.size() < 2 + length) return std::nullopt;
  const auto text = bytes.subspan(2, length);
  return std::string(text.begin(), text.end());
}

std::optional<std::uint64_t> ReadSwitchApp(std::span<const std::uint8_t> bytes) {
  if (!Starts(bytes, Command::SwitchApp, 1 + 8)) return std::nullopt;
  return LoadLe<std::uint64_t>(&bytes[1]);
}

std::optional<AuthNonce> ReadAuthRequest(std::span<const std::uint8_t> bytes) {
  if (!Starts(bytes, Command::AuthRequest, kAuthRequestSize)) return std::nullopt;
  if (std::size_t{bytes[1]} != kAuthNonceSize) return std::nullopt;
  AuthNonce nonce{};
  std::copy_n(bytes.begin() + 2, kAuthNonceSize, nonce.begin());
  return nonce;
}

std::optional<Sha256Digest> ReadAuthPassword(std::span<const std::uint8_t> bytes) {
  if (!Starts(bytes, Command::AuthPassword, kAuthPasswordSize)) return std::nullopt;
  Sha256Digest digest{};
  std::copy_n(bytes.begin() + 1, kSha256DigestSize, digest.begin());
  return digest;
}

std::optional<std::span<const std::uint8_t>> ReadAppListData(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes[0] != ToByte(Command::AppListData)) return std::nullopt;
  const auto length = AppListDataFrameLength(bytes.data(), bytes.size());
  if (!length || bytes.size() < *length) return std::nullopt;
  return bytes.subspan(kAppListHeaderSize, *length - kAppListHeaderSize);
}

std::optional<std::size_t> AppListDataFrameLength(const std::uint8_t* data, std::size_t count) noexcept {
  if (data == nullptr || count < kAppListHeaderSize) return std::nullopt;
  const std::uint32_t payload = LoadLe<std::uint32_t>(data + 1);
  // Only a 32-bit size_t could overflow here; such a packet could never be held anyway.
  if (payload > std::numeric_limits<std::size_t>::max() - kAppListHeaderSize) return std::nullopt;
  return kAppListHeaderSize + payload;
}

}  // namespace vandrel::packet
