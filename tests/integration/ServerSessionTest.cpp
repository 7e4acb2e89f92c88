#include <gtest/gtest.h>

#include <sstream>

#include "ServerFixture.h"
#include "protocol/AuthDigest.h"
#include "protocol/PacketCodec.h"

namespace vandrel::testing {
namespace {

using phone::ReceiveStatus;
using Packet = std::vector<std::uint8_t>;

Packet Digest(const Packet& authRequest, const std::string& password, bool passwordFirst = false) {
  const std::span<const std::uint8_t> nonce(authRequest.data() + 2, 8);
  if (!passwordFirst) {
    const auto digest = ComputeAuthDigest(nonce, password);
    return packet::AuthPassword(digest);
  }
  std::string data = password;
  data.append(reinterpret_cast<const char*>(nonce.data()), nonce.size());
  return packet::AuthPassword(Sha256(data.data(), data.size()));
}

class SessionTest : public ServerFixture {};

TEST_F(SessionTest, WithoutPasswordTheFirstByteIsAuthSuccessAndPingIsAnswered) {
  StartServer();
  auto phone = Connect();
  const auto first = phone->ReceivePacket();
  ASSERT_EQ(first.status, ReceiveStatus::Packet);
  EXPECT_EQ(first.packet, Packet{31});
  phone->Send(Packet{33});
  EXPECT_EQ(phone->ReceivePacket().packet, Packet{34});
  EXPECT_EQ(phone->ReceivePacket(phone::Seconds(0.2)).status, ReceiveStatus::TimedOut) << "exactly one PONG";
  EXPECT_TRUE(log_.Contains("[CONNECTION] No password set, connection authenticated immediately"));
}

TEST_F(SessionTest, PasswordHandshake) {
  StartServer();
  settings_->SetConnectionPassword("s3cret=");

  // A PING before the answer is dropped and logged; the session stays open.
  auto phone = Connect();
  const auto request = phone->ReceivePacket();
  ASSERT_EQ(request.packet.size(), 10u);
  EXPECT_EQ(request.packet[0], 29);
  EXPECT_EQ(request.packet[1], 8);
  phone->Send(Packet{33});
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[CONNECTION] Command PING dropped: client not authenticated (size=1)"); }));
  EXPECT_EQ(phone->ReceivePacket(phone::Seconds(0.2)).status, ReceiveStatus::TimedOut);
  phone->Send(Digest(request.packet, "s3cret="));
  EXPECT_EQ(phone->ReceivePacket().packet, Packet{31});
  phone->Send(Packet{33});
  EXPECT_EQ(phone->ReceivePacket().packet, Packet{34});
  // Once authenticated, another AUTH_PASSWORD is just input.
  phone->Send(Digest(request.packet, "wrong"));
  phone->Send(Packet{33});
  EXPECT_EQ(phone->ReceivePacket().packet, Packet{34});

  // Wrong password, and the right one in the wrong order: AUTH_FAIL, then closed.
  for (const bool passwordFirst : {false, true}) {
    auto other = Connect();
    const auto challenge = other->ReceivePacket();
    ASSERT_EQ(challenge.packet.size(), 10u);
    EXPECT_NE(challenge.packet, request.packet) << "every connection gets a new nonce";
    other->Send(Digest(challenge.packet, passwordFirst ? "s3cret=" : "S3cret=", passwordFirst));
    EXPECT_EQ(other->ReceivePacket().packet, Packet{32});
    EXPECT_EQ(other->ReceivePacket().status, ReceiveStatus::Closed);
  }
  EXPECT_EQ(log_.Count("[CONNECTION] Authentication failed (hash mismatch)"), 2u);

  // The password in force when the answer arrives is the one checked.
  auto late = Connect();
  const auto challenge = late->ReceivePacket();
  settings_->SetConnectionPassword("new one");
  late->Send(Digest(challenge.packet, "new one"));
  EXPECT_EQ(late->ReceivePacket().packet, Packet{31});
  EXPECT_EQ(log_.Count("[CONNECTION] Sending AUTH_REQUEST (nonce="), 4u);
}

TEST_F(SessionTest, FramesAreCutFromTheStreamWhateverTheReads) {
  StartServer();
  auto phone = Connect();
  ASSERT_EQ(phone->ReceivePacket().packet, Packet{31});

  phone->Send(Packet{33, 6, 5, 8});  // PING, SCROLL 5, and half of SCROLL_H
  EXPECT_EQ(phone->ReceivePacket().packet, Packet{34});
  std::this_thread::sleep_for(50ms);
  phone->Send(Packet{0xFD, 200, 7, 1});  // the rest of SCROLL_H, an unknown byte, half a KEYCLICK
  std::this_thread::sleep_for(50ms);
  phone->Send(Packet{2, 33});
  EXPECT_EQ(phone->ReceivePacket().packet, Packet{34});
  ASSERT_TRUE(WaitUntil([&] { return Input().size() >= 5; }));
  EXPECT_EQ(Input(), (std::vector<Packet>{{6, 5}, {8, 0xFD}, {200}, {7, 1}, {2}}));
}

TEST_F(SessionTest, ReceiveBufferDoublesBehindAPartialFrame) {
  StartServer();
  auto phone = Connect();
  ASSERT_EQ(phone->ReceivePacket().packet, Packet{31});
  phone->Send(Packet{22});  // one byte of a FILE_TRANSFER_START, read on its own
  std::this_thread::sleep_for(100ms);
  Packet rest(65536, 0xFF);  // a name length of 65,535: the frame needs 65,546 bytes
  phone->Send(rest);
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[CONNECTION] Receive buffer grown to 131072 bytes"); }));
  EXPECT_FALSE(log_.Contains("grown to 262144"));
  EXPECT_EQ(phone->ReceivePacket(phone::Seconds(0.2)).status, ReceiveStatus::TimedOut) << "nothing was framed";
}

TEST_F(SessionTest, SilentPhoneIsClosedByTheHeartbeat) {
  Server::Options options;
  options.sessionTiming.heartbeatPeriod = 100ms;
  options.sessionTiming.idleLimit = 1s;
  StartServer(options);
  auto silent = Connect("Maker/Silent/M/1");
  auto chatty = Connect("Maker/Chatty/M/1");
  ASSERT_EQ(silent->ReceivePacket().packet, Packet{31});
  ASSERT_EQ(chatty->ReceivePacket().packet, Packet{31});
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < 1800ms) {
    chatty->Send(Packet{33});
    ASSERT_EQ(chatty->ReceivePacket().packet, Packet{34});
    std::this_thread::sleep_for(200ms);
  }
  EXPECT_EQ(silent->ReceivePacket().status, ReceiveStatus::Closed);
  EXPECT_TRUE(log_.Contains("[CONNECTION] Heartbeat timeout (1s without data), closing connection"));
  ASSERT_TRUE(listener_.WaitForEvents(3));
  EXPECT_EQ(listener_.Events()[2], "disconnected:Silent");
  EXPECT_EQ(server_->GetDevices().size(), 1u);
}

TEST_F(SessionTest, DevicesAreListedBeforeConnectedAndGoneBeforeDisconnected) {
  StartServer();
  std::vector<std::size_t> counts;
  listener_.onEvent = [&](const std::string&) { counts.push_back(server_->GetDevices().size()); };
  auto phone = Connect("Maker/Phone/Model-1/0/extra");
  ASSERT_EQ(phone->ReceivePacket().packet, Packet{31});
  ASSERT_TRUE(listener_.WaitForEvents(1));
  const auto devices = server_->GetDevices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].address, "127.0.0.1");
  EXPECT_EQ(devices[0].manufacturer, "Maker");
  EXPECT_EQ(devices[0].name, "Phone");
  EXPECT_EQ(devices[0].model, "Model-1");
  EXPECT_EQ(devices[0].isWifi, 0);
  phone->Close();
  ASSERT_TRUE(listener_.WaitForEvents(2));
  EXPECT_EQ(listener_.Events(), (std::vector<std::string>{"connected:Phone", "disconnected:Phone"}));
  EXPECT_EQ(counts, (std::vector<std::size_t>{1, 0}));
  EXPECT_TRUE(log_.Contains("[CONNECTION@127.0.0.1:"));
}

// The window numbers the rows: a phone leaving in the middle keeps the others in order.
TEST_F(SessionTest, DevicesStayInTheOrderTheyConnectedWhenOneLeaves) {
  StartServer();
  std::vector<std::unique_ptr<phone::PhoneClient>> phones;
  for (const char* name : {"A", "B", "C", "D"}) {
    phones.push_back(Connect(std::string("Maker/") + name + "/Model/0"));
    ASSERT_EQ(phones.back()->ReceivePacket().packet, Packet{31});
  }
  ASSERT_TRUE(listener_.WaitForEvents(4));
  phones[1]->Close();
  phones[3]->Close();
  ASSERT_TRUE(listener_.WaitForEvents(6));
  std::string names;
  for (const auto& device : server_->GetDevices()) names += device.name;
  EXPECT_EQ(names, "AC");
  phones.push_back(Connect("Maker/E/Model/0"));
  ASSERT_EQ(phones.back()->ReceivePacket().packet, Packet{31});
  ASSERT_TRUE(listener_.WaitForEvents(7));
  names.clear();
  for (const auto& device : server_->GetDevices()) names += device.name;
  EXPECT_EQ(names, "ACE");
}

TEST_F(SessionTest, CloseEndsEverySessionWithoutNotifications) {
  auto ble = std::make_shared<BleCounters>();
  Server::Options options;
  options.bleFactory = FakeBleFactory(ble);
  StartServer(options);
  std::vector<std::unique_ptr<phone::PhoneClient>> phones;
  for (int i = 0; i < 3; ++i) {
    phones.push_back(Connect());
    ASSERT_EQ(phones.back()->ReceivePacket().packet, Packet{31});
  }
  ASSERT_TRUE(listener_.WaitForEvents(4));  // the BLE stop and three connections
  const int startsBefore = ble->started;
  server_->Close();
  for (auto& phone : phones) EXPECT_EQ(phone->ReceivePacket().status, ReceiveStatus::Closed);
  EXPECT_EQ(listener_.Events().size(), 4u);
  EXPECT_EQ(ble->started, startsBefore) << "closing must not restart Bluetooth";
  EXPECT_TRUE(log_.Contains("[SERVER] Closed.\n"));
  server_.reset();
}

TEST_F(SessionTest, APhoneWithoutHelloDelaysNoOne) {
  Server::Options options;
  options.helloTimeout = 2s;
  StartServer(options);
  asio::io_context io;
  asio::ip::tcp::socket mute(io);
  mute.connect({asio::ip::make_address("127.0.0.1"), server_->Port()});
  asio::ip::tcp::socket quitter(io);
  quitter.connect({asio::ip::make_address("127.0.0.1"), server_->Port()});
  quitter.close();

  auto phone = Connect();
  ASSERT_EQ(phone->ReceivePacket().packet, Packet{31});
  EXPECT_FALSE(log_.Contains("No device hello")) << "the second phone had to wait for the first";

  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[SERVER] No device hello from 127.0.0.1:"); }));
  std::array<char, 1> byte{};
  asio::error_code ec;
  mute.read_some(asio::buffer(byte), ec);
  EXPECT_EQ(ec, asio::error::eof);
  EXPECT_TRUE(log_.Contains("ended before its device hello"));
  auto another = Connect();
  EXPECT_EQ(another->ReceivePacket().packet, Packet{31});
}

TEST_F(SessionTest, TcpPhonesStopBluetoothAndTheLastOneRestartsIt) {
  auto ble = std::make_shared<BleCounters>();
  Server::Options options;
  options.bleFactory = FakeBleFactory(ble);
  StartServer(options);
  ASSERT_TRUE(WaitUntil([&] { return ble->started == 1; }));
  EXPECT_EQ(server_->GetBleStatusText(), "BLE: Advertising");

  auto first = Connect("M/First/X/1");
  ASSERT_EQ(first->ReceivePacket().packet, Packet{31});
  auto second = Connect("M/Second/X/1");
  ASSERT_EQ(second->ReceivePacket().packet, Packet{31});
  ASSERT_TRUE(listener_.WaitForEvents(3));
  // The Bluetooth side stops on its own thread, so the phone's session does not wait for it.
  auto events = listener_.Events();
  std::erase(events, "status:BLE: Stopped (TCP active)");
  EXPECT_EQ(events, (std::vector<std::string>{"connected:First", "connected:Second"}));
  EXPECT_EQ(listener_.Events().size(), 3u);
  EXPECT_EQ(log_.Count("[SERVER] TCP connection established; stopping BLE to save resources."), 1u);
  EXPECT_EQ(log_.Count("[SERVER] BLE stopped (TCP active)"), 1u);
  EXPECT_EQ(server_->GetBleStatusText(), "BLE: Stopped (TCP active)");

  first->Close();
  ASSERT_TRUE(listener_.WaitForEvents(4));
  EXPECT_EQ(log_.Count("restarting BLE"), 0u);
  second->Close();
  ASSERT_TRUE(listener_.WaitForEvents(5));
  EXPECT_EQ(log_.Count("[SERVER] Last TCP client disconnected; restarting BLE GATT Server."), 1u);
  // The restart runs on the Bluetooth side's own thread.
  ASSERT_TRUE(WaitUntil([&] { return ble->started == 2; }));
  EXPECT_EQ(server_->GetBleStatusText(), "BLE: Advertising");
  ble->centralConnected = true;
  EXPECT_EQ(server_->GetBleStatusText(), "BLE: Central connected");
}

TEST_F(SessionTest, BlockedNetworkThreadIsReported) {
  StartServer();
  EXPECT_EQ(server_->GetBleStatusText(), "BLE: Unavailable");
  listener_.onEvent = [](const std::string&) { std::this_thread::sleep_for(120ms); };
  auto phone = Connect();
  ASSERT_EQ(phone->ReceivePacket().packet, Packet{31});
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[DIAG] io_context stall "); }));
  // A busy machine may add stalls of its own; the blocked handler must be among them.
  bool reported = false;
  for (const auto& line : log_.Lines()) {
    if (line.find("[DIAG] io_context stall ") == std::string::npos) continue;
    reported = reported || std::stoi(line.substr(line.find("stall ") + 6)) >= 115;
    EXPECT_NE(line.find("ms (network thread blocked in a handler)"), std::string::npos);
  }
  EXPECT_TRUE(reported);
}

TEST_F(SessionTest, FileArrivesOnTheDesktopFolder) {
  ::setenv("XDG_DESKTOP_DIR", dir_.path().c_str(), 1);
  StartServer();
  auto phone = Connect();
  ASSERT_EQ(phone->ReceivePacket().packet, Packet{31});
  Packet data(1 << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  phone->Send(packet::FileTransferStart("..\\..\\report.pdf", data.size()));
  // Chunks that divide 512 KiB, so progress is reported exactly at the half and the end.
  for (std::size_t at = 0; at < data.size(); at += 32768) {
    phone->Send(packet::FileTransferChunk(std::span(data).subspan(at, 32768)));
  }
  phone->Send(Packet{24});
  phone->Ping();
  EXPECT_EQ(ReadBinary(dir_.path() / "report.pdf"), std::string(data.begin(), data.end()));
  EXPECT_EQ(log_.Count("[CONNECTION] File transfer progress: "), 2u);
  EXPECT_TRUE(log_.Contains("[CONNECTION] File transfer progress: 524288 / 1048576 bytes (50%)"));
  EXPECT_TRUE(log_.Contains(", 1048576 bytes received (verified)"));
  ::unsetenv("XDG_DESKTOP_DIR");
}

TEST_F(SessionTest, WithoutABluetoothBackendTheServerSaysSoAndServesTcp) {
  Server::Options options;
  options.bleFactory = [] { return std::unique_ptr<BleGattServer>(); };
  StartServer(options);
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[SERVER] BLE not supported on this platform, skipping BLE setup"); }));
  EXPECT_EQ(server_->GetBleStatusText(), "BLE: Unavailable");
  auto phone = Connect();
  EXPECT_EQ(phone->ReceivePacket().packet, Packet{31});
  server_->PumpBleGuiWork();
}

TEST_F(SessionTest, WithBluetoothSwitchedOffItNeverStarts) {
  auto ble = std::make_shared<BleCounters>();
  Server::Options options;
  options.bleFactory = FakeBleFactory(ble);
  options.ble = false;
  StartServer(options);
  EXPECT_EQ(server_->GetBleStatusText(), "BLE: Off");
  auto phone = Connect();
  ASSERT_EQ(phone->ReceivePacket().packet, Packet{31});
  phone->Close();
  ASSERT_TRUE(listener_.WaitForEvents(2));
  EXPECT_EQ(ble->started, 0);
  EXPECT_EQ(log_.Count("BLE"), 0u);
  EXPECT_EQ(server_->GetBleStatusText(), "BLE: Off");
}

// Resident memory of this process, in bytes.
std::size_t ResidentBytes() {
  std::istringstream status(ReadBinary("/proc/self/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

TEST_F(SessionTest, APhoneThatNeverReadsIsClosedBeforeItsRepliesPileUp) {
  StartServer();
  auto reader = Connect("M/Reader/X/1");
  ASSERT_EQ(reader->ReceivePacket().packet, Packet{31});
  auto phone = Connect("M/Deaf/X/1");
  ASSERT_EQ(phone->ReceivePacket().packet, Packet{31});
  const std::size_t before = ResidentBytes();
  // 64 MiB of PINGs, each answered with a PONG the phone never reads.
  const Packet pings(1 << 20, 33);
  bool closed = false;
  for (int i = 0; i < 64 && !closed; ++i) {
    try {
      phone->Send(pings);
    } catch (const phone::PhoneError&) {
      closed = true;
    }
  }
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("bytes wait to be sent and the phone reads none of them"); }));
  ASSERT_TRUE(WaitUntil([&] { return listener_.Events().size() >= 3; }));
  EXPECT_EQ(listener_.Events().back(), "disconnected:Deaf");
  EXPECT_LT(ResidentBytes(), before + (32u << 20));
  EXPECT_EQ(log_.Count("bytes wait to be sent"), 1u);
  // The other phone was never held up.
  reader->Ping();
  EXPECT_EQ(server_->GetDevices().size(), 1u);
}

TEST_F(SessionTest, GarbageWritesOnlyAFewLinesPerKind) {
  StartServer();
  settings_->SetConnectionPassword("pw");
  auto stranger = Connect();
  ASSERT_EQ(stranger->ReceivePacket().packet.size(), 10u);  // AUTH_REQUEST
  // Single-byte frames of every kind but AUTH_PASSWORD, dropped before authentication.
  Packet garbage;
  for (int i = 0; i < 20000; ++i) {
    const auto code = static_cast<std::uint8_t>(i % 256);
    if (code != 30 && code != 22 && code != 23 && code != 28 && code != 18 && code != 19 && code != 20) {
      garbage.push_back(code == 0 ? 1 : code);
    }
  }
  stranger->Send(garbage);

  settings_->SetConnectionPassword("");
  auto phone = Connect();
  ASSERT_EQ(phone->ReceivePacket().packet, Packet{31});
  Packet stray;
  for (int i = 0; i < 5000; ++i) {
    stray.push_back(24);  // FILE_TRANSFER_END without a transfer
    stray.push_back(25);  // LASER_ON, not available here
  }
  phone->Send(stray);
  phone->Ping();
  ASSERT_TRUE(WaitUntil([&] { return log_.Count("dropped: client not authenticated") >= 3; }));
  // Five seconds have not passed, so there is no summary line yet.
  EXPECT_LE(log_.Count("dropped: client not authenticated"), 4u);
  EXPECT_LE(log_.Count("FILE_TRANSFER_END: no active file transfer"), 4u);
  EXPECT_LE(log_.Count("LASER_ON is not available"), 4u);
  EXPECT_LT(log_.Lines().size(), 60u);
}

TEST_F(SessionTest, PipelinedPingsAreEachAnsweredAndAWrongPasswordStillGetsItsAnswer) {
  StartServer();
  auto phone = Connect();
  ASSERT_EQ(phone->ReceivePacket().packet, Packet{31});
  // Replies to one read go out together; none may be lost or added.
  phone->Send(Packet(20000, 33));
  for (int i = 0; i < 20000; ++i) {
    const auto reply = phone->ReceivePacket();
    ASSERT_EQ(reply.packet, Packet{34}) << "reply " << i;
  }
  EXPECT_EQ(phone->ReceivePacket(phone::Seconds(0.2)).status, ReceiveStatus::TimedOut);

  // AUTH_FAIL is written in the same read that closes the session.
  settings_->SetConnectionPassword("pw");
  auto stranger = Connect();
  const auto challenge = stranger->ReceivePacket();
  ASSERT_EQ(challenge.packet.size(), 10u);
  Packet wrong = Digest(challenge.packet, "nope");
  wrong.insert(wrong.end(), 100, 33);
  stranger->Send(wrong);
  EXPECT_EQ(stranger->ReceivePacket().packet, Packet{32});
  EXPECT_EQ(stranger->ReceivePacket().status, ReceiveStatus::Closed);
}

TEST_F(SessionTest, PhonesComingAndGoingWriteABoundedLog) {
  StartServer();
  for (int i = 0; i < 40; ++i) {
    auto phone = Connect();
    ASSERT_EQ(phone->ReceivePacket().packet, Packet{31});
  }
  auto last = Connect();
  ASSERT_EQ(last->ReceivePacket().packet, Packet{31});
  // Within five seconds of the first, only the first few of each kind are written.
  EXPECT_EQ(log_.Count("[SERVER] Device connected: "), 20u);
  EXPECT_EQ(log_.Count("[CONNECTION] No password set, connection authenticated immediately"), 20u);
  EXPECT_LE(log_.Count("Closed with error code"), 20u);
  EXPECT_EQ(server_->SessionCount(), 1u) << "yet every phone was served";
}

}  // namespace
}  // namespace vandrel::testing
