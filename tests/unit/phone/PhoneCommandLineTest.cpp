#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "FakePc.h"
#include "RunPhoneWith.h"
#include "TempDir.h"
#include "protocol/PacketCodec.h"
#include "vandrel-phone/ByteText.h"
#include "vandrel-phone/Options.h"
#include "vandrel-phone/Commands.h"

namespace vandrel::phone {
namespace {

using testing::FakePc;
using testing::ReadExactly;
using testing::ReadFirst;
using testing::ReadUntilClosed;
using testing::ProgramRun;
using testing::RunWith;
using testing::Write;
using testing::awaitable;
using testing::tcp;

TEST(PhoneHexTest, ReadsTheTypedForms) {
  const std::vector<std::string> words = {"21", "2106", "21 06 ff", "0x21", " 0XaB\t"};
  EXPECT_EQ(ParseHexBytes(words), (Bytes{0x21, 0x21, 0x06, 0x21, 0x06, 0xff, 0x21, 0xab}));
}

TEST(PhoneHexTest, RejectsWhatIsNotWholeBytes) {
  for (const char* bad : {"2", "213", "0x", "zz", "2g", "21,06", "0x0x21", "", "   "}) {
    const std::vector<std::string> words = {bad};
    EXPECT_THROW(ParseHexBytes(words), HexError) << "'" << bad << "'";
  }
}

TEST(PhoneOptionsTest, ReadsGlobalOptionsAndLeavesTheRestToTheCommand) {
  const std::vector<std::string> words = {"--host", "pc.local", "--port=7000", "--password", "",
                                          "--timeout", "0.25", "raw", "--port", "21"};
  const Options options = ParseOptions(words);
  EXPECT_EQ(options.host, "pc.local");
  EXPECT_EQ(options.port, 7000);
  EXPECT_EQ(options.password, std::string());
  EXPECT_DOUBLE_EQ(options.timeout.count(), 0.25);
  EXPECT_EQ(options.hello, kDefaultHello);
  EXPECT_EQ(options.command, "raw");
  EXPECT_EQ(options.args, (std::vector<std::string>{"--port", "21"}));
}

TEST(PhoneOptionsTest, MalformedCommandLinesExitWithUsageStatus) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--port", "0", "ping"},
      {"--port", "65536", "ping"},
      {"--timeout", "0", "ping"},
      {"--timeout", "soon", "ping"},
      {"--hello", "Maker/Name/1", "ping"},
      {"--hello", "Maker/Name/Model/usb", "ping"},
      {"--hello", std::string(130, 'x') + "/a/b/1", "ping"},
      {"--bogus", "ping"},
      {"ping", "extra"},
      {"send-file"},
      {"raw", "zz"},
      {"fly"},
      {"--host"},
  };
  for (const auto& args : bad) {
    const ProgramRun run = RunWith(args);
    EXPECT_EQ(run.status, kExitUsage) << ::testing::PrintToString(args);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
}

TEST(PhoneCommandTest, PingReportsTheHandshakeAndThePong) {
  FakePc pc([](tcp::socket& s) -> awaitable<void> {
    co_await ReadFirst(s);
    co_await Write(s, packet::Simple(Command::AuthSuccess));
    co_await ReadExactly(s, 1);
    co_await Write(s, packet::Simple(Command::Pong));
  });
  const ProgramRun run = RunWith({"--port", std::to_string(pc.port()), "ping"});
  EXPECT_EQ(pc.Finish(), "");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("received AUTH_SUCCESS\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("PONG received in "), std::string::npos) << run.out;
}

TEST(PhoneCommandTest, RawSendsTheBytesAndNamesTheAnswers) {
  Bytes sent;
  FakePc pc([&](tcp::socket& s) -> awaitable<void> {
    co_await ReadFirst(s);
    co_await Write(s, packet::Simple(Command::AuthSuccess));
    sent = co_await ReadExactly(s, 3);
    co_await Write(s, packet::Simple(Command::Pong));
    co_await ReadUntilClosed(s);
  });
  const ProgramRun run = RunWith({"--port", std::to_string(pc.port()), "raw", "21", "0x06 ff"});
  EXPECT_EQ(pc.Finish(), "");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(sent, (Bytes{0x21, 0x06, 0xff}));
  EXPECT_NE(run.out.find("received PONG\n"), std::string::npos) << run.out;
}

TEST(PhoneCommandTest, AChallengeWithoutPasswordFailsWithOneLine) {
  FakePc pc([](tcp::socket& s) -> awaitable<void> {
    co_await ReadFirst(s);
    co_await Write(s, packet::AuthRequest(AuthNonce{}));
    co_await ReadUntilClosed(s);
  });
  const ProgramRun run = RunWith({"--port", std::to_string(pc.port()), "ping"});
  EXPECT_EQ(pc.Finish(), "");
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_EQ(run.err, "vandrel-phone: the PC asks for a password; pass --password\n");
}

TEST(PhoneCommandTest, SendFileStreamsChunksAndWaitsForThePcToConfirm) {
  vandrel::testing::TempDir dir;
  std::string content(200 * 1024, '\0');
  std::mt19937 random(7);
  for (char& c : content) c = static_cast<char>(random());
  vandrel::testing::WriteBinary(dir.File("photo.jpg"), content);

  std::optional<packet::FileTransferStartFields> start;
  std::string received;
  std::vector<std::size_t> chunkSizes;
  std::vector<std::uint8_t> after;  // commands that followed the chunks
  FakePc pc([&](tcp::socket& s) -> awaitable<void> {
    co_await ReadFirst(s);
    co_await Write(s, packet::Simple(Command::AuthSuccess));
    Bytes stream;
    std::array<std::uint8_t, 8192> buffer{};
    while (after.empty() || after.back() != ToByte(Command::Ping)) {
      const std::size_t n = co_await s.async_read_some(asio::buffer(buffer), testing::use_awaitable);
      stream.insert(stream.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
      // The server's own framing cuts the stream into packets.
      while (const auto length = TcpFrameLength(stream.data(), stream.size())) {
        const std::span<const std::uint8_t> frame(stream.data(), *length);
        if (const auto fields = packet::ReadFileTransferStart(frame)) {
          start = fields;
        } else if (const auto data = packet::ReadFileTransferChunk(frame); data && after.empty()) {
          chunkSizes.push_back(data->size());
          received.append(data->begin(), data->end());
        } else {
          after.push_back(frame[0]);
        }
        stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(*length));
      }
    }
    co_await Write(s, packet::Simple(Command::Pong));
  });
  const ProgramRun run = RunWith({"--port", std::to_string(pc.port()), "send-file", dir.File("photo.jpg")});
  ASSERT_EQ(pc.Finish(), "");
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_TRUE(start.has_value());
  EXPECT_EQ(start->name, "photo.jpg");
  EXPECT_EQ(start->size, content.size());
  EXPECT_TRUE(received == content);
  EXPECT_EQ(chunkSizes, (std::vector<std::size_t>{65535, 65535, 65535, 8195}));
  EXPECT_EQ(after, (std::vector<std::uint8_t>{ToByte(Command::FileTransferEnd), ToByte(Command::Ping)}));
  EXPECT_NE(run.out.find("204800 bytes"), std::string::npos) << run.out;
}

TEST(PhoneCommandTest, MissingFileFailsBeforeConnecting) {
  asio::io_context io;
  tcp::acceptor pc(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  pc.non_blocking(true);
  vandrel::testing::TempDir dir;
  const ProgramRun run = RunWith({"--port", std::to_string(pc.local_endpoint().port()), "send-file", dir.File("gone.txt")});
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_NE(run.err.find("no such file"), std::string::npos) << run.err;
  std::error_code ec;
  pc.accept(ec);
  EXPECT_EQ(ec, asio::error::would_block) << "the command connected anyway";
}

}  // namespace
}  // namespace vandrel::phone
