#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

#include "protocol/Packet.h"

namespace vandrel {
namespace {

using Stream = std::vector<std::uint8_t>;

// Cuts whole frames off the front of `stream` the way the server's reader does
// and leaves the incomplete rest in it.
std::vector<Stream> TakeFrames(Stream& stream) {
  std::vector<Stream> frames;
  std::size_t offset = 0;
  while (auto length = TcpFrameLength(stream.data() + offset, stream.size() - offset)) {
    frames.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(offset),
                        stream.begin() + static_cast<std::ptrdiff_t>(offset + *length));
    offset += *length;
  }
  stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(offset));
  return frames;
}

TEST(CommandNameTest, NamesEveryLoggedCommand) {
  const std::map<int, std::string_view> expected = {
      {1, "LCLICK"}, {2, "RCLICK"}, {3, "DOWN"}, {4, "UP"}, {5, "MOVE"}, {6, "SCROLL"},
      {7, "KEYCLICK"}, {8, "SCROLL_H"}, {9, "ZOOM"}, {10, "MEDIA"}, {11, "SYSTEM"},
      {12, "CLIPBOARD"}, {13, "KEYDOWN"}, {14, "KEYUP"}, {16, "GET_APP_LIST"},
      {17, "APP_LIST_DATA"}, {18, "SWITCH_APP"}, {19, "LAUNCH_APP"}, {20, "SMART_MEDIA"},
      {22, "FILE_TRANSFER_START"}, {23, "FILE_TRANSFER_CHUNK"}, {24, "FILE_TRANSFER_END"},
      {25, "LASER_ON"}, {26, "LASER_OFF"}, {27, "BRIGHTNESS_STEP"}, {28, "OPEN_URL"},
      {29, "AUTH_REQUEST"}, {30, "AUTH_PASSWORD"}, {31, "AUTH_SUCCESS"}, {32, "AUTH_FAIL"},
      {33, "PING"}, {34, "PONG"}};
  for (int byte = 0; byte < 256; ++byte) {
    const auto code = static_cast<std::int8_t>(byte);
    const auto it = expected.find(byte);
    EXPECT_EQ(CommandName(code), it == expected.end() ? "UNKNOWN" : it->second) << "byte " << byte;
  }
  EXPECT_EQ(CommandName(Command::DblClick), "UNKNOWN");
}

// Independent statement of the framing table. Bytes 1 and 2 of the variable
// frames are set by FrameFor below.
std::size_t ExpectedLength(int code) {
  switch (code) {
    case 6: case 7: case 8: case 9: case 10: case 11: case 20: case 27:
      return 2;
    case 18:
      return 9;
    case 19: case 28:
      return 2 + 3;
    case 22:
      return 11 + 258;
    case 23:
      return 3 + 261;
    case 30:
      return 33;
    default:
      return 1;
  }
}

// A frame of `code` followed by four extra bytes. Filler is 0xFF so a code
// wrongly read as length-prefixed would ask for far more bytes.
Stream FrameFor(int code) {
  Stream frame(ExpectedLength(code) + 4, 0xFF);
  frame[0] = static_cast<std::uint8_t>(code);
  if (code == 19 || code == 28) frame[1] = 3;
  if (code == 22) {  // name of 258 bytes
    frame[1] = 2;
    frame[2] = 1;
  }
  if (code == 23) {  // chunk of 261 bytes
    frame[1] = 5;
    frame[2] = 1;
  }
  return frame;
}

TEST(TcpFrameLengthTest, EveryByteValueWaitsForItsWholeFrame) {
  EXPECT_EQ(TcpFrameLength(nullptr, 0), std::nullopt);
  for (int code = 0; code < 256; ++code) {
    const Stream frame = FrameFor(code);
    const std::size_t length = ExpectedLength(code);
    for (std::size_t have = 0; have < length; ++have) {
      EXPECT_EQ(TcpFrameLength(frame.data(), have), std::nullopt) << "code " << code << " with " << have;
    }
    for (std::size_t have = length; have <= frame.size(); ++have) {
      EXPECT_EQ(TcpFrameLength(frame.data(), have), length) << "code " << code << " with " << have;
    }
  }
}

TEST(TcpFrameLengthTest, SplitsAStreamIntoPackets) {
  Stream stream = {33, 6, 5, 19, 0, 200, 18, 1, 2, 3, 4, 5, 6, 7, 8, 22, 9, 0, 'x', 'y'};
  const auto frames = TakeFrames(stream);
  const std::vector<Stream> expected = {{33}, {6, 5}, {19, 0}, {200}, {18, 1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(frames, expected);
  EXPECT_EQ(stream, Stream({22, 9, 0, 'x', 'y'}));
}

TEST(TcpFrameLengthTest, FileStartWaitsForNameAndSize) {
  Stream stream = {22, 3, 0};
  for (std::uint8_t next = 0; stream.size() < 14; ++next) {
    EXPECT_TRUE(TakeFrames(stream).empty()) << stream.size() << " bytes";
    stream.push_back(next);
  }
  const auto frames = TakeFrames(stream);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].size(), 14u);
  EXPECT_TRUE(stream.empty());
}

}  // namespace
}  // namespace vandrel
