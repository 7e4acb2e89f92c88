#include "protocol/Packet.h"

namespace vandrel {
namespace {

// Negative codes become bytes >= 128, which match no enumerator and fall to the
// default branches below.
constexpr Command AsCommand(std::int8_t code) noexcept {
  return static_cast<Command>(static_cast<std::uint8_t>(code));
}

}  // namespace

std::string_view CommandName(std::int8_t code) noexcept {
  switch (AsCommand(code)) {
    case Command::LClick:
      return "LCLICK";
    case Command::RClick:
      return "RCLICK";
    case Command::Down:
      return "DOWN";
    case Command::Up:
      return "UP";
    case Command::Move:
      return "MOVE";
    case Command::Scroll:
      return "SCROLL";
    case Command::KeyClick:
      return "KEYCLICK";
    case Command::ScrollH:
      return "SCROLL_H";
    case Command::Zoom:
      return "ZOOM";
    case Command::Media:
      return "MEDIA";
    case Command::System:
      return "SYSTEM";
    case Command::Clipboard:
      return "CLIPBOARD";
    case Command::KeyDown:
      return "KEYDOWN";
    case Command::KeyUp:
      return "KEYUP";
    case Command::GetAppList:
      return "GET_APP_LIST";
    case Command::AppListData:
      return "APP_LIST_DATA";
    case Command::SwitchApp:
      return "SWITCH_APP";
    case Command::LaunchApp:
      return "LAUNCH_APP";
    case Command::SmartMedia:
      return "SMART_MEDIA";
    case Command::FileTransferStart:
      return "FILE_TRANSFER_START";
    case Command::FileTransferChunk:
      return "FILE_TRANSFER_CHUNK";
    case Command::FileTransferEnd:
      return "FILE_TRANSFER_END";
    case Command::LaserOn:
      return "LASER_ON";
    case Command::LaserOff:
      return "LASER_OFF";
    case Command::BrightnessStep:
      return "BRIGHTNESS_STEP";
    case Command::OpenUrl:
      return "OPEN_URL";
    case Command::AuthRequest:
      return "AUTH_REQUEST";
    case Command::AuthPassword:
      return "AUTH_PASSWORD";
    case Command::AuthSuccess:
      return "AUTH_SUCCESS";
    case Command::AuthFail:
      return "AUTH_FAIL";
    case Command::Ping:
      return "PING";
    case Command::Pong:
      return "PONG";
    case Command::MClick:    // unnamed in the log on purpose, see the header
    case Command::DblClick:
    default:
      return "UNKNOWN";
  }
}

std::optional<std::size_t> TcpFrameLength(const std::uint8_t* data, std::size_t count) noexcept {
  if (count == 0 || data == nullptr) return std::nullopt;

  std::size_t length = 1;
  switch (AsCommand(static_cast<std::int8_t>(data[0]))) {
    case Command::Scroll:
    case Command::KeyClick:
    case Command::ScrollH:
    case Command::Zoom:
    case Command::Media:
    case Command::System:
    case Command::SmartMedia:
    case Command::BrightnessStep:
      length = 2;
      break;
    case Command::SwitchApp:
      length = 1 + 8;
      break;
    case Command::LaunchApp:
    case Command::OpenUrl:
      // One length byte, then the text.
      if (count < 2) return std::nullopt;
      length = 2 + std::size_t{data[1]};
      break;
    case Command::FileTransferStart:
      // 16-bit name length, the name, then the 64-bit file size.
      if (count < 3) return std::nullopt;
      length = 3 + std::size_t{LoadLe<std::uint16_t>(data + 1)} + 8;
      break;
    case Command::FileTransferChunk:
      if (count < 3) return std::nullopt;
      length = 3 + std::size_t{LoadLe<std::uint16_t>(data + 1)};
      break;
    case Command::AuthPassword:
      length = 1 + 32;
      break;
    default:
      length = 1;
      break;
  }
  if (count < length) return std::nullopt;
  return length;
}

}  // namespace vandrel
