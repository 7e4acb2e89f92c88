#include "app/CoreLink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "LogCapture.h"
#include "WaitUntil.h"

namespace vandrel {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;
using testing::WaitUntil;
using Packet = std::vector<std::uint8_t>;

// What the companion's end saw, and how the pipe behaves; shared with the link's client.
struct PipeState {
  std::mutex mutex;
  std::vector<Packet> messages;
  std::atomic<bool> serving{false};
  std::atomic<bool> reading{true};
  std::atomic<int> connects{0};
  std::atomic<int> disconnects{0};
  std::atomic<int> pipesMade{0};
  PipeConnectFailure failure{2, PipeConnectFailure::Kind::NotFound};

  std::vector<Packet> Messages() {
    std::lock_guard lock(mutex);
    return messages;
  }
};

class FakePipe final : public CorePipe {
 public:
  explicit FakePipe(std::shared_ptr<PipeState> state) : state_(std::move(state)) {}
  bool TryConnect(PipeConnectFailure& failure) override {
    if (!state_->serving) {
      failure = state_->failure;
      return false;
    }
    ++state_->connects;
    connected_ = true;
    return true;
  }
  bool Send(const std::uint8_t* bytes, std::size_t length) override {
    if (!connected_ || !state_->reading) return false;
    std::lock_guard lock(state_->mutex);
    state_->messages.emplace_back(bytes, bytes + length);
    LogSendOk(length, length);
    return true;
  }
  void Disconnect() override {
    connected_ = false;
    ++state_->disconnects;
  }

 private:
  std::shared_ptr<PipeState> state_;
  bool connected_ = false;
};

class CoreLinkTest : public ::testing::Test {
 protected:
  CoreLink::Platform Platform() {
    CoreLink::Platform platform;
    platform.makePipe = [state = pipe_](const std::string& name) {
      EXPECT_EQ(name, "Vandrel_CorePipe");
      ++state->pipesMade;
      return std::make_unique<FakePipe>(state);
    };
    platform.secureDesktopActive = [this] { return secure_.load(); };
    platform.startCompanion = [this]() -> std::optional<std::uint32_t> {
      ++companionStarts_;
      return companionError_;
    };
    return platform;
  }
  static CoreLinkTiming Fast() {
    CoreLinkTiming timing;
    timing.monitorPeriod = 10ms;
    timing.connectRetry = 20ms;
    timing.connectTryGap = 1ms;
    timing.connectTries = 3;
    timing.availablePoll = 10ms;
    return timing;
  }
  bool Forward(CoreLink& link, const Packet& packet) { return link.ForwardToCore(packet.data(), packet.size()); }

  LogCapture log_;
  std::shared_ptr<PipeState> pipe_ = std::make_shared<PipeState>();
  std::atomic<bool> secure_{false};
  std::atomic<int> companionStarts_{0};
  std::optional<std::uint32_t> companionError_;
};

TEST_F(CoreLinkTest, OnTheUserDesktopNothingIsForwardedAndOnlyTheFirstThirtyAreTraced) {
  pipe_->serving = true;
  CoreLink link(Platform(), Fast());
  link.Start();
  ASSERT_TRUE(WaitUntil([&] { return link.CoreAvailable(); }));
  // The connection test goes out just after the link reports itself available.
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[VANDREL] IPC test packet sent:"); }));
  for (int i = 0; i < 40; ++i) EXPECT_FALSE(Forward(link, {5, 1, 0, 1, 0}));
  EXPECT_EQ(log_.Count("[INJECT_DEBUG] #"), 30u);
  EXPECT_TRUE(log_.Contains("[INJECT_DEBUG] #0 cmd=MOVE crossSession=0 coreAvail=1 secureDesktop=0 ipcClient=1"));
  EXPECT_TRUE(log_.Contains("[INJECT_DEBUG] #29 cmd=MOVE"));
  // Only the connection test reached the companion.
  EXPECT_EQ(pipe_->Messages(), (std::vector<Packet>{{5, 0, 0}}));
  EXPECT_TRUE(log_.Contains("[VANDREL] Connected to Core"));
  EXPECT_TRUE(log_.Contains("[VANDREL] IPC test packet sent: OK"));
}

TEST_F(CoreLinkTest, OnTheLockScreenCommandsGoToTheCompanionAndAFailedSendFallsBackAndReconnects) {
  pipe_->serving = true;
  CoreLink link(Platform(), Fast());
  link.Start();
  ASSERT_TRUE(WaitUntil([&] { return link.CoreAvailable(); }));
  secure_ = true;
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[VANDREL] Secure desktop state: YES (lock screen) coreAvailable=1 crossSession=1"); }));
  EXPECT_TRUE(Forward(link, {5, 3, 0, 4, 0}));
  EXPECT_TRUE(log_.Contains("FORWARDED sent=1"));
  EXPECT_EQ(pipe_->Messages().back(), (Packet{5, 3, 0, 4, 0}));

  // The companion stops reading: this command is injected here, the core is marked away.
  pipe_->reading = false;
  EXPECT_FALSE(Forward(link, {7, 65, 0}));
  EXPECT_TRUE(log_.Contains("FORWARDED sent=0"));
  EXPECT_TRUE(log_.Contains("[VANDREL] IPC send failed, marking core as unavailable"));
  EXPECT_EQ(pipe_->disconnects, 1);
  // The connect thread brings the link back once the companion serves again.
  pipe_->reading = true;
  ASSERT_TRUE(WaitUntil([&] { return link.CoreAvailable() && pipe_->connects == 2; }));
  EXPECT_TRUE(Forward(link, {5, 1, 0, 1, 0}));
  EXPECT_EQ(companionStarts_, 1) << "started once per run";
  EXPECT_EQ(pipe_->pipesMade, 1);
  EXPECT_EQ(log_.Count("[IPC] Send: OK"), 3u) << "the OK line only for the first three sends";
}

TEST_F(CoreLinkTest, AMissingCompanionIsReportedOnceAndRetriedQuietly) {
  companionError_ = 2;
  CoreLink link(Platform(), Fast());
  link.Start();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[IPC] Failed to connect to pipe: 2"); }));
  std::this_thread::sleep_for(150ms);  // several more rounds of the connect loop
  link.Stop();
  EXPECT_EQ(log_.Count("[VANDREL] Core process not available, trying to connect..."), 1u);
  EXPECT_EQ(log_.Count("[VANDREL] Failed to start service: 2"), 1u);
  EXPECT_EQ(log_.Count("[IPC] Failed to connect to pipe:"), 1u);
  EXPECT_EQ(log_.Count("[IPC] Connect failed: FILE_NOT_FOUND - pipe server not running or pipe name incorrect"), 1u);
  EXPECT_EQ(companionStarts_, 1);
  EXPECT_FALSE(link.CoreAvailable());
  EXPECT_FALSE(Forward(link, {5, 1, 0, 1, 0}));
}

TEST_F(CoreLinkTest, EachKindOfConnectFailureHasItsReport) {
  const std::pair<PipeConnectFailure, const char*> cases[] = {
      {{5, PipeConnectFailure::Kind::AccessDenied}, "[IPC] Connect failed: ACCESS_DENIED"},
      {{231, PipeConnectFailure::Kind::Busy}, "[IPC] Connect failed: PIPE_BUSY - all pipe instances are busy"},
  };
  for (const auto& [failure, line] : cases) {
    pipe_->failure = failure;
    CoreLink link(Platform(), Fast());
    link.Start();
    EXPECT_TRUE(WaitUntil([&] { return log_.Contains(line); })) << line;
  }
  pipe_->failure = {13, PipeConnectFailure::Kind::Other};
  CoreLink link(Platform(), Fast());
  link.Start();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[IPC] Failed to connect to pipe: 13"); }));
  link.Stop();
  EXPECT_EQ(log_.Count("[IPC] Connect failed:"), 2u) << "other errors add no line";
}

TEST_F(CoreLinkTest, TheMonitorLogsTheFirstSampleAndEveryChange) {
  CoreLink link(Platform(), Fast());
  link.Start();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[VANDREL] Secure desktop state: NO (user desktop)"); }));
  secure_ = true;
  ASSERT_TRUE(WaitUntil([&] { return link.SecureDesktopActive(); }));
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[VANDREL] Secure desktop state: YES (lock screen) coreAvailable=0 crossSession=0"); }));
  secure_ = false;
  ASSERT_TRUE(WaitUntil([&] { return log_.Count("[VANDREL] Secure desktop state: NO") == 2; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(log_.Count("[VANDREL] Secure desktop state:"), 3u);
}

TEST_F(CoreLinkTest, StopEndsTheThreadsAtOnceWhateverTheyWaitFor) {
  CoreLinkTiming slow;
  slow.connectRetry = 1h;
  slow.monitorPeriod = 1h;
  slow.connectTryGap = 1h;
  CoreLink link(Platform(), slow);
  link.Start();
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains("[VANDREL] Core process not available"); }));
  link.Stop();  // would hang for an hour if a sleep were not cut short
  EXPECT_FALSE(link.CoreAvailable());
  link.Stop();
}

}  // namespace
}  // namespace vandrel
