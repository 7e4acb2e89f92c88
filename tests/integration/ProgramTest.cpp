// The real programs: vandrel --headless in this namespace, driven by phones.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "PhoneRun.h"
#include "ServerFixture.h"
#include "VandrelProcess.h"
#include "protocol/PacketCodec.h"

namespace vandrel::testing {
namespace {

using phone::HandshakeResult;
using phone::ReceiveStatus;
using Packet = std::vector<std::uint8_t>;

std::unique_ptr<phone::PhoneClient> Connect(std::uint16_t port, const std::optional<std::string>& password,
                                            HandshakeResult expected = HandshakeResult::Success) {
  auto client = std::make_unique<phone::PhoneClient>(phone::Seconds(10));
  client->Connect("127.0.0.1", port, "Maker/Phone/Model-1/1");
  EXPECT_EQ(client->Handshake(password), expected);
  return client;
}

class ProgramTest : public ::testing::Test {
 protected:
  std::unique_ptr<VandrelProcess> Start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments = {"--headless", "--port", std::to_string(port_), "--no-ble", "--no-mdns",
                                          "--no-adb", "--discovery-port", std::to_string(NextTestPort())};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    auto process = std::make_unique<VandrelProcess>(home_, arguments);
    EXPECT_TRUE(process->Spawned());
    EXPECT_TRUE(process->WaitForLog("[SERVER] Started")) << process->Output();
    return process;
  }
  void WriteSettings(const std::string& text) {
    std::filesystem::create_directories(home_.path() / "config/Vandrel");
    WriteBinary(home_.path() / "config/Vandrel/settings.ini", text);
  }

  TempDir home_;
  std::uint16_t port_ = NextTestPort();
};

TEST_F(ProgramTest, PasswordFilesAndCleanExit) {
  WriteSettings("RunAtStartup=false\nMinimizeToTray=false\nConnectionPassword=pass=word\n");
  auto vandrel = Start();

  EXPECT_EQ(Phone("--port " + std::to_string(port_) + " ping").code, 1);
  const PhoneRun wrong = Phone("--port " + std::to_string(port_) + " --password nope ping");
  EXPECT_NE(wrong.code, 0);
  EXPECT_NE(wrong.output.find("AUTH_FAIL"), std::string::npos) << wrong.output;
  const PhoneRun right = Phone("--port " + std::to_string(port_) + " --password pass=word ping");
  EXPECT_EQ(right.code, 0) << right.output;
  EXPECT_NE(right.output.find("PONG"), std::string::npos);

  // A mebibyte lands whole; names reaching out of the folder stay in it.
  auto phone = Connect(port_, "pass=word");
  Packet data(1 << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>((i * 131) >> 3);
  phone->Send(packet::FileTransferStart("../../report.bin", data.size()));
  for (std::size_t at = 0; at < data.size(); at += 32768) {
    phone->Send(packet::FileTransferChunk(std::span(data).subspan(at, 32768)));
  }
  phone->Send(Packet{24});
  // Half a file, then END: kept, with a warning.
  phone->Send(packet::FileTransferStart("half.bin", 2000));
  phone->Send(packet::FileTransferChunk(std::span(data).first(1000)));
  phone->Send(Packet{24});
  phone->Ping();
  EXPECT_EQ(ReadBinary(vandrel->Desktop() / "report.bin"), std::string(data.begin(), data.end()));
  EXPECT_FALSE(std::filesystem::exists(vandrel->Desktop().parent_path() / "report.bin"));
  EXPECT_EQ(std::filesystem::file_size(vandrel->Desktop() / "half.bin"), 1000u);
  const std::string log = vandrel->Log();
  EXPECT_NE(log.find("[CONNECTION] File transfer progress: 524288 / 1048576 bytes (50%)"), std::string::npos);
  EXPECT_NE(log.find("[CONNECTION] File transfer progress: 1048576 / 1048576 bytes (100%)"), std::string::npos);
  EXPECT_NE(log.find("1048576 bytes received (verified)"), std::string::npos);
  EXPECT_NE(log.find("[CONNECTION] WARNING: File transfer size mismatch! Expected=2000, received=1000 bytes."),
            std::string::npos);

  // A transfer cut short by the exit is closed and kept.
  phone->Send(packet::FileTransferStart("cut.bin", 5000));
  phone->Send(packet::FileTransferChunk(std::span(data).first(100)));
  phone->Ping();
  EXPECT_EQ(vandrel->Signal(SIGINT), 0);
  EXPECT_EQ(phone->ReceivePacket().status, ReceiveStatus::Closed);
  EXPECT_EQ(std::filesystem::file_size(vandrel->Desktop() / "cut.bin"), 100u);
  const std::string finalLog = vandrel->Log();
  EXPECT_NE(finalLog.find("[CONNECTION] Closed file transfer due to connection close"), std::string::npos);
  EXPECT_NE(finalLog.find("[SERVER] Closed."), std::string::npos);
  EXPECT_NE(finalLog.find("[INPUT_QUEUE] Stopped. Enqueued: "), std::string::npos);
  EXPECT_EQ(ReadBinary(vandrel->SettingsFile()),
            "RunAtStartup=false\nMinimizeToTray=false\nConnectionPassword=pass=word\n");
  struct stat info {};
  ASSERT_EQ(::stat(vandrel->SettingsFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(ProgramTest, SecondInstanceQuitsWhileTheFirstServes) {
  auto first = Start();
  VandrelProcess second(home_, {"--headless", "--port", std::to_string(NextTestPort()), "--no-ble"});
  EXPECT_EQ(second.Exited(std::chrono::seconds(10)), 1);
  EXPECT_NE(second.Output().find("Vandrel 已经在运行中。"), std::string::npos) << second.Output();
  auto phone = Connect(port_, std::nullopt);
  phone->Ping();
  EXPECT_EQ(first->Signal(SIGTERM), 0);
}

TEST_F(ProgramTest, BusyPortIsReportedAndFatal) {
  asio::io_context io;
  asio::ip::tcp::acceptor taken(io, {asio::ip::address_v4::any(), port_});
  VandrelProcess vandrel(home_, {"--headless", "--port", std::to_string(port_), "--no-ble"});
  EXPECT_EQ(vandrel.Exited(std::chrono::seconds(10)), 1);
  EXPECT_NE(vandrel.Output().find("cannot serve on port"), std::string::npos) << vandrel.Output();
}

TEST_F(ProgramTest, UsbReversalRunsAdbAtStartAndClose) {
  std::filesystem::create_directories(home_.path() / "bin");
  const auto record = home_.path() / "adb-calls.txt";
  WriteBinary(home_.path() / "bin/adb", "#!/bin/sh\necho \"$*\" >> '" + record.string() + "'\n");
  std::filesystem::permissions(home_.path() / "bin/adb", std::filesystem::perms::owner_all);
  VandrelProcess vandrel(home_, {"--headless", "--port", std::to_string(port_), "--no-ble", "--no-mdns",
                                 "--discovery-port", std::to_string(NextTestPort())});
  ASSERT_TRUE(vandrel.WaitForLog("[SERVER] Started")) << vandrel.Output();
  EXPECT_EQ(ReadBinary(record), "reverse tcp:6969 tcp:" + std::to_string(port_) + "\n");
  EXPECT_EQ(vandrel.Signal(SIGTERM), 0);
  EXPECT_EQ(ReadBinary(record),
            "reverse tcp:6969 tcp:" + std::to_string(port_) + "\nreverse --remove tcp:6969\nkill-server\n");
  const std::string log = vandrel.Log();
  EXPECT_LT(log.find("[ADB:6969] Started"), log.find("[SERVER] Started"));
  EXPECT_GT(log.find("[ADB:6969] Stopped"), log.find("[SERVER] Closed."));
}

TEST_F(ProgramTest, FailingAdbDoesNotStopTheServer) {
  std::filesystem::create_directories(home_.path() / "bin");
  WriteBinary(home_.path() / "bin/adb", "#!/bin/sh\nexit 1\n");
  std::filesystem::permissions(home_.path() / "bin/adb", std::filesystem::perms::owner_all);
  VandrelProcess vandrel(home_, {"--headless", "--port", std::to_string(port_), "--no-ble", "--no-mdns",
                                 "--discovery-port", std::to_string(NextTestPort())});
  ASSERT_TRUE(vandrel.WaitForLog("[SERVER] Started")) << vandrel.Output();
  EXPECT_NE(vandrel.Log().find("[ADB:6969] Failed to start"), std::string::npos);
  auto phone = Connect(port_, std::nullopt);
  phone->Ping();
  EXPECT_EQ(vandrel.Signal(SIGTERM), 0);
  EXPECT_NE(vandrel.Log().find("[ADB:6969] Failed to stop"), std::string::npos);
}

TEST_F(ProgramTest, SilentPhoneIsClosedAfterTwentySeconds) {
  auto vandrel = Start();
  auto phone = Connect(port_, std::nullopt);
  const auto start = std::chrono::steady_clock::now();
  const auto result = phone->ReceivePacket(phone::Seconds(40));
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_EQ(result.status, ReceiveStatus::Closed);
  EXPECT_GE(waited.count(), 19900);
  EXPECT_LE(waited.count(), 27000);
  ASSERT_TRUE(vandrel->WaitForLog("s without data), closing connection"));
  const std::string log = vandrel->Log();
  const auto at = log.find("[CONNECTION] Heartbeat timeout (");
  ASSERT_NE(at, std::string::npos);
  const int seconds = std::stoi(log.substr(at + 32));
  EXPECT_GE(seconds, 20);
  EXPECT_LE(seconds, 26);
}

}  // namespace
}  // namespace vandrel::testing
