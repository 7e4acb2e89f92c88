#include "ble/BleConnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "FakeAutoStart.h"
#include "FakeDesktop.h"
#include "LogCapture.h"
#include "TempDir.h"
#include "WaitUntil.h"
#include "desktop/DesktopWorkers.h"
#include "desktop/LaserOverlay.h"
#include "infra/Settings.h"
#include "input/InputQueue.h"
#include "protocol/AuthDigest.h"
#include "protocol/PacketCodec.h"

namespace vandrel {
namespace {

using namespace std::chrono_literals;
using testing::FakeAutoStart;
using testing::FakeDesktop;
using testing::LogCapture;
using testing::ReadBinary;
using testing::TempDir;
using testing::WaitUntil;
using Packet = std::vector<std::uint8_t>;

class BleSessionTest : public ::testing::Test {
 protected:
  BleSessionTest()
      : settings_([this] { return dir_.File("settings.ini"); }, std::make_shared<FakeAutoStart>()),
        queue_([this](const std::uint8_t* bytes, std::size_t length) {
          std::lock_guard lock(mutex_);
          injected_.emplace_back(bytes, bytes + length);
        }),
        workers_(&desktop_) {
    std::filesystem::create_directories(dir_.path() / "Desktop");
    queue_.Start();
  }
  ~BleSessionTest() override {
    session_.reset();
    workers_.Stop();
    queue_.Stop();
  }

  BleConnection& Session(BleTiming timing = {}) {
    session_ = std::make_unique<BleConnection>(
        &queue_, &settings_,
        [this](std::span<const std::uint8_t> packet) {
          std::lock_guard lock(mutex_);
          sent_.emplace_back(packet.begin(), packet.end());
        },
        &workers_, timing, [this] { return (dir_.path() / "Desktop").string(); });
    return *session_;
  }
  void Write(const Packet& packet) { session_->HandlePacket(packet.data(), packet.size()); }
  std::vector<Packet> Sent() {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  std::vector<Packet> Injected() {
    queue_.Stop();  // injects what is queued
    std::lock_guard lock(mutex_);
    return injected_;
  }
  static AuthNonce NonceOf(const Packet& request) {
    auto nonce = packet::ReadAuthRequest(request);
    EXPECT_TRUE(nonce.has_value());
    return nonce.value_or(AuthNonce{});
  }
  static Packet Answer(const AuthNonce& nonce, const std::string& password) {
    return packet::AuthPassword(ComputeAuthDigest(nonce, password));
  }

  LogCapture log_;
  TempDir dir_;
  Settings settings_;
  std::mutex mutex_;
  std::vector<Packet> sent_;
  std::vector<Packet> injected_;
  InputQueue queue_;
  FakeDesktop desktop_;
  desktop::DesktopWorkers workers_;
  std::unique_ptr<BleConnection> session_;
};

TEST_F(BleSessionTest, AChallengeIsSentOnceAndResentWithTheSameNonceAtMostEveryInterval) {
  settings_.SetConnectionPassword("secret");
  auto& session = Session({.idleLimit = 1h, .authResend = 1h});
  session.OnCentralConnected();
  session.OnCentralConnected();
  ASSERT_EQ(Sent().size(), 1u);
  const AuthNonce nonce = NonceOf(Sent()[0]);
  EXPECT_TRUE(log_.Contains("[BLE] Sending AUTH_REQUEST (nonce=" + ToHex(nonce) + ")"));

  // Within the interval nothing goes out again, and the packet itself is dropped.
  Write({33});
  Write({5, 1, 0, 1, 0});
  EXPECT_EQ(Sent().size(), 1u);
  EXPECT_TRUE(Injected().empty());
}

TEST_F(BleSessionTest, AWriteBeforeSubscribingStartsTheHandshakeAndLaterWritesResendTheSameNonce) {
  settings_.SetConnectionPassword("secret");
  auto& session = Session({.idleLimit = 1h, .authResend = 0ms});
  Write({33});
  ASSERT_EQ(Sent().size(), 1u);
  const AuthNonce nonce = NonceOf(Sent()[0]);
  EXPECT_TRUE(session.IsActive());
  Write({33});
  Write({33});
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 3u) << "the write that started the handshake asks for no second challenge";
  EXPECT_EQ(NonceOf(sent[1]), nonce);
  EXPECT_EQ(NonceOf(sent[2]), nonce);
  EXPECT_EQ(log_.Count("[BLE] Re-sending AUTH_REQUEST on unauthenticated write (initial notify may have been dropped)"),
            2u);
}

TEST_F(BleSessionTest, AWrongPasswordKeepsTheLinkAndTheNonceForARightOne) {
  settings_.SetConnectionPassword("secret");
  auto& session = Session({.idleLimit = 1h, .authResend = 1h});
  session.OnCentralConnected();
  const AuthNonce nonce = NonceOf(Sent()[0]);
  Write(Answer(nonce, "guess"));
  Write(Answer(nonce, "secret"));
  Write({33});
  EXPECT_EQ(Sent(), (std::vector<Packet>{Sent()[0], {32}, {31}, {34}}));
  EXPECT_TRUE(log_.Contains("[BLE] Authentication failed (hash mismatch)"));
  EXPECT_TRUE(log_.Contains("[BLE] Authentication successful"));
}

TEST_F(BleSessionTest, WithoutAPasswordTheFirstWriteIsAuthenticatedAndHandledAtOnce) {
  Session();
  Write({33});
  EXPECT_EQ(Sent(), (std::vector<Packet>{{31}, {34}}));
  EXPECT_TRUE(log_.Contains("[BLE] No password set, central authenticated immediately"));
}

TEST_F(BleSessionTest, CommandsGoToTheDesktopTheInputQueueOrAreRefused) {
  Session();
  Write({16});
  Write({18, 1, 0, 0, 0, 0, 0, 0, 0});
  Write({19, 1, 'x'});
  Write(packet::OpenUrl("https://example.org/a"));
  Write({28, 9, 'h', 't'});  // the length byte promises more than arrived
  Write({28});               // too short for OPEN_URL: the input side decides
  Write(packet::SmartMedia(3));
  Write({5, 4, 0, 2, 0});
  EXPECT_EQ(log_.Count("[BLE] App list command GET_APP_LIST ignored (not supported in BLE mode)"), 1u);
  EXPECT_EQ(log_.Count("[BLE] App list command SWITCH_APP ignored"), 1u);
  EXPECT_EQ(log_.Count("[BLE] App list command LAUNCH_APP ignored"), 1u);
  EXPECT_EQ(log_.Count("[BLE] Handling OPEN_URL, url="), 1u);
  EXPECT_TRUE(log_.Contains("[BLE] Handling SMART_MEDIA, action=3"));
  ASSERT_TRUE(WaitUntil([&] { return desktop_.Calls().size() == 2; }));
  // Two workers take them, so they may finish in either order.
  auto calls = desktop_.Calls();
  std::sort(calls.begin(), calls.end());
  EXPECT_EQ(calls, (std::vector<std::string>{"media 3", "open https://example.org/a"}));
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[BLE] TestOpener result: OK"); }));
  EXPECT_EQ(Sent(), (std::vector<Packet>{{31}})) << "refused commands send nothing back";
  EXPECT_EQ(Injected(), (std::vector<Packet>{{28}, {5, 4, 0, 2, 0}}));
}

TEST_F(BleSessionTest, AFileArrivesWithItsChunkLinesAndADisconnectKeepsThePartReceived) {
  Session();
  const Packet data(3000, 0x5a);
  Write(packet::FileTransferStart("notes.txt", data.size()));
  for (std::size_t at = 0; at < data.size(); at += 1000) {
    Write(packet::FileTransferChunk(std::span(data).subspan(at, 1000)));
  }
  Write({24});
  EXPECT_EQ(ReadBinary(dir_.path() / "Desktop" / "notes.txt"), std::string(data.begin(), data.end()));
  EXPECT_TRUE(log_.Contains("[BLE] FILE_TRANSFER_START: notes.txt, size=3000"));
  EXPECT_TRUE(log_.Contains("[BLE] CHUNK #1 len=1000 total=1000/3000"));
  EXPECT_TRUE(log_.Contains("[BLE] CHUNK #3 len=1000 total=3000/3000"));
  EXPECT_TRUE(log_.Contains("[BLE] File transfer completed OK: notes.txt"));

  Write(packet::FileTransferStart("part.bin", 5000));
  Write(packet::FileTransferChunk(std::span(data).subspan(0, 1200)));
  session_->OnCentralDisconnected();
  EXPECT_TRUE(log_.Contains("[BLE] Closed file transfer due to central disconnect"));
  EXPECT_EQ(ReadBinary(dir_.path() / "Desktop" / "part.bin").size(), 1200u);
  EXPECT_FALSE(session_->IsActive());

  // The next central starts over; a short transfer reports its chunks.
  Write(packet::FileTransferStart("short.bin", 10));
  Write(packet::FileTransferChunk(std::span(data).subspan(0, 4)));
  Write({24});
  EXPECT_TRUE(log_.Contains(
      "[BLE] WARNING: File transfer size mismatch! Expected=10, received=4 bytes (1 chunks). File may be incomplete."));
}

TEST_F(BleSessionTest, SilenceAfterTheHandshakeResetsTheSessionButAnIdleCentralNever) {
  settings_.SetConnectionPassword("secret");
  auto& session = Session({.idleLimit = 50ms, .authResend = 1h});
  std::this_thread::sleep_for(80ms);
  EXPECT_FALSE(session.CheckHeartbeat()) << "nothing started, nothing to time out";

  session.OnCentralConnected();
  const AuthNonce first = NonceOf(Sent()[0]);
  ASSERT_TRUE(WaitUntil([&] { return session.CheckHeartbeat(); }));
  EXPECT_TRUE(log_.Contains("[BLE] Heartbeat timeout ("));
  EXPECT_TRUE(log_.Contains("s without data), cleaning up"));
  EXPECT_FALSE(session.IsActive());
  EXPECT_FALSE(session.CheckHeartbeat());

  // The next write is a new central's: a new challenge with a new nonce.
  Write({33});
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_NE(NonceOf(Sent()[1]), first);
}

TEST_F(BleSessionTest, TheLaserWaitsForThePumpAndTheLastCommandWins) {
  Session();
  std::unique_ptr<desktop::LaserOverlay> overlay;
  Write({25});
  EXPECT_EQ(desktop_.overlaysMade, 0) << "nothing happens off the GUI thread";
  session_->RunGuiWork(overlay);
  ASSERT_TRUE(overlay);
  EXPECT_TRUE(log_.Contains("[BLE] Laser overlay shown (GUI thread)"));
  ASSERT_TRUE(WaitUntil([&] { return desktop_.laser->windows == 1; }));

  // On and off within one tick: shown, then hidden.
  Write({26});
  Write({25});
  Write({26});
  session_->RunGuiWork(overlay);
  EXPECT_EQ(desktop_.laser->windows, 0);
  // Off and on within one tick: on.
  Write({26});
  Write({25});
  session_->RunGuiWork(overlay);
  ASSERT_TRUE(WaitUntil([&] { return desktop_.laser->windows == 1; }));
  // The central leaving hides it at the next tick; the overlay stays for the next one.
  session_->OnCentralDisconnected();
  session_->RunGuiWork(overlay);
  EXPECT_EQ(desktop_.laser->windows, 0);
  EXPECT_TRUE(overlay);
  EXPECT_EQ(desktop_.overlaysMade, 1);
}

TEST_F(BleSessionTest, AFloodOfDesktopCommandsWaitsForTheDesktopAndShutdownEndsTheWait) {
  Session();
  Write({33});
  desktop_.Hold();
  std::atomic<int> written{0};
  std::thread central([&] {
    for (int i = 0; i < 20; ++i) {
      Write(packet::SmartMedia(1));
      ++written;
    }
  });
  // Eight commands are taken, the ninth waits.
  ASSERT_TRUE(WaitUntil([&] { return written == 8; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(written, 8);
  session_->Shutdown();
  central.join();
  EXPECT_TRUE(log_.Contains("[BLE] SMART_MEDIA dropped: the Bluetooth side is stopping"));
  desktop_.Release();
  ASSERT_TRUE(WaitUntil([&] { return desktop_.Calls().size() == 8; }));
}

TEST_F(BleSessionTest, ASubscriptionRacingTheFirstWritesStartsOneHandshake) {
  settings_.SetConnectionPassword("secret");
  auto& session = Session({.idleLimit = 1h, .authResend = 1h});
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&session, i] {
      for (int j = 0; j < 50; ++j) {
        if (i % 2 == 0) {
          session.OnCentralConnected();
        } else {
          const std::uint8_t ping = 33;
          session.HandlePacket(&ping, 1);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(Sent().size(), 1u);
  EXPECT_EQ(log_.Count("[BLE] Sending AUTH_REQUEST"), 1u);
}

}  // namespace
}  // namespace vandrel
