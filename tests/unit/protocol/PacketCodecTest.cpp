#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "protocol/PacketCodec.h"

namespace vandrel {
namespace {

// Reads `packet` whole, after checking the reader rejects every cut-short copy
// of it without reading past the end (the sanitizer build catches that).
template <typename Reader>
auto ReadWhole(const Bytes& packet, Reader read) {
  for (std::size_t count = 0; count < packet.size(); ++count) {
    EXPECT_FALSE(read(std::span(packet).first(count))) << "read from " << count << " bytes";
  }
  return read(std::span(packet));
}

TEST(PacketBuildTest, FixedLayouts) {
  EXPECT_EQ(packet::Simple(Command::Ping), Bytes({33}));
  EXPECT_EQ(packet::Move(-1, 127), Bytes({5, 0xFF, 0x7F}));
  EXPECT_EQ(packet::KeyUp(0x41, 0x05), Bytes({14, 0x41, 0x05}));
  EXPECT_EQ(packet::System(0x0C, 0xE9), Bytes({11, 0x0C, 0xE9}));
  EXPECT_EQ(packet::BrightnessStep(true), Bytes({27, 0}));
  EXPECT_EQ(packet::BrightnessStep(false), Bytes({27, 1}));
  EXPECT_EQ(packet::Clipboard("h\xC3\xA9"), Bytes({12, 'h', 0xC3, 0xA9}));
  EXPECT_EQ(packet::SwitchApp(0x0102030405060708u), Bytes({18, 8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(packet::FileTransferStart("ab", 0x1122334455667788u),
            Bytes({22, 2, 0, 'a', 'b', 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(packet::AppListData("[]"), Bytes({17, 2, 0, 0, 0, '[', ']'}));
  EXPECT_EQ(packet::AuthRequest({1, 2, 3, 4, 5, 6, 7, 8}), Bytes({29, 8, 1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_THROW(packet::Simple(Command::Move), std::invalid_argument);
}

TEST(PacketBuildTest, RejectsTextTooLongForItsLengthField) {
  const std::string path255(255, 'p');
  EXPECT_EQ(packet::LaunchApp(path255).size(), 257u);
  EXPECT_THROW(packet::LaunchApp(path255 + "p"), std::length_error);
  EXPECT_THROW(packet::OpenUrl(path255 + "p"), std::length_error);

  const std::string name(65535, 'n');
  EXPECT_EQ(packet::FileTransferStart(name, 1).size(), 3u + 65535u + 8u);
  EXPECT_THROW(packet::FileTransferStart(name + "n", 1), std::length_error);
  const Bytes chunk(65536, 0);
  EXPECT_THROW(packet::FileTransferChunk(chunk), std::length_error);
  EXPECT_EQ(packet::FileTransferChunk(std::span(chunk).first(65535)).size(), 3u + 65535u);
}

// What the phone builds must frame on the server exactly as one packet.
TEST(PacketBuildTest, StreamFramedPacketsMatchTheFramingRule) {
  const Bytes data(300, 7);
  const Bytes packets[] = {packet::SwitchApp(42), packet::LaunchApp("C:\\Tools\\app.exe"),
                           packet::OpenUrl(""), packet::FileTransferStart("report.pdf", 123456),
                           packet::FileTransferChunk(data), packet::AuthPassword(Sha256Digest{}),
                           packet::Scroll(1), packet::Simple(Command::LClick)};
  for (const Bytes& p : packets) {
    EXPECT_EQ(TcpFrameLength(p.data(), p.size()), p.size()) << CommandName(static_cast<Command>(p[0]));
  }
}

TEST(PacketReadTest, ReadsWhatTheBuildersWriteAndNoLess) {
  const auto start =
      ReadWhole(packet::FileTransferStart("h\xC3\xA9.txt", 1ull << 40), packet::ReadFileTransferStart);
  ASSERT_TRUE(start);
  EXPECT_EQ(start->name, "h\xC3\xA9.txt");
  EXPECT_EQ(start->size, 1ull << 40);

  const Bytes data = {0, 1, 2, 0xFF};
  const Bytes chunkPacket = packet::FileTransferChunk(data);
  const auto chunk = ReadWhole(chunkPacket, packet::ReadFileTransferChunk);
  ASSERT_TRUE(chunk);
  EXPECT_EQ(Bytes(chunk->begin(), chunk->end()), data);

  const Bytes listPacket = packet::AppListData("{\"apps\":[]}");
  const auto list = ReadWhole(listPacket, packet::ReadAppListData);
  ASSERT_TRUE(list);
  EXPECT_EQ(std::string(list->begin(), list->end()), "{\"apps\":[]}");

  EXPECT_EQ(ReadWhole(packet::LaunchApp("notepad.exe"), packet::ReadLengthPrefixedText), "notepad.exe");
  EXPECT_EQ(ReadWhole(packet::OpenUrl(""), packet::ReadLengthPrefixedText), "");
  EXPECT_EQ(ReadWhole(packet::SwitchApp(0xFEDCBA9876543210u), packet::ReadSwitchApp), 0xFEDCBA9876543210u);
  const AuthNonce nonce = {9, 8, 7, 6, 5, 4, 3, 2};
  EXPECT_EQ(ReadWhole(packet::AuthRequest(nonce), packet::ReadAuthRequest), nonce);
  const Sha256Digest digest = Sha256("any digest");
  EXPECT_EQ(ReadWhole(packet::AuthPassword(digest), packet::ReadAuthPassword), digest);
}

TEST(PacketReadTest, RejectsTheWrongCommandOrNonceLength) {
  Bytes switchApp = packet::SwitchApp(1);
  switchApp[0] = ToByte(Command::LaunchApp);
  EXPECT_FALSE(packet::ReadSwitchApp(switchApp));
  EXPECT_FALSE(packet::ReadLengthPrefixedText(packet::Clipboard("\x01x")));
  EXPECT_FALSE(packet::ReadFileTransferChunk(packet::FileTransferStart("", 0)));

  Bytes request = packet::AuthRequest({});
  request[1] = 7;
  EXPECT_FALSE(packet::ReadAuthRequest(request));
}

TEST(AppListDataFrameLengthTest, NeedsTheHeaderThenCountsThePayload) {
  const Bytes list = packet::AppListData(Bytes(1000, 'x'));
  EXPECT_EQ(packet::AppListDataFrameLength(list.data(), kAppListHeaderSize - 1), std::nullopt);
  EXPECT_EQ(packet::AppListDataFrameLength(list.data(), kAppListHeaderSize), 1005u);
  EXPECT_EQ(packet::AppListDataFrameLength(list.data(), list.size()), 1005u);

  const Bytes huge = {17, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(packet::AppListDataFrameLength(huge.data(), huge.size()), std::size_t{5} + 0xFFFFFFFFu);
  EXPECT_FALSE(packet::ReadAppListData(huge));
}

}  // namespace
}  // namespace vandrel
