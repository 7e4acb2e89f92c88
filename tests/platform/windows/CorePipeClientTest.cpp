#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "WaitUntil.h"
#include "app/CoreLink.h"
#include "infra/TextEncoding.h"

namespace vandrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string UniquePipeName() {
  static std::atomic<int> counter{0};
  return "VandrelPipeTest_" + std::to_string(::GetCurrentProcessId()) + "_" + std::to_string(counter++);
}

// The companion's end: one message-mode instance. Duplex, as the client asks
// for read and write access, which an inbound-only pipe refuses.
class TestPipeServer {
 public:
  enum class Mode { Reads, Stalls };

  TestPipeServer(const std::string& name, Mode mode) : path_(L"\\\\.\\Pipe\\" + Utf8ToWide(name)), mode_(mode) {
    handle_ = ::CreateNamedPipeW(path_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                 1, 64, 64, 0, nullptr);
    if (handle_ != INVALID_HANDLE_VALUE) thread_ = std::thread([this] { Serve(); });
  }
  // The client must be gone first: a server blocked in ReadFile only wakes when it leaves.
  ~TestPipeServer() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    // A server still waiting for its client is released by a client of our own.
    const HANDLE poke = ::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (poke != INVALID_HANDLE_VALUE) ::CloseHandle(poke);
    if (thread_.joinable()) thread_.join();
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }

  bool Created() const { return handle_ != INVALID_HANDLE_VALUE; }
  std::vector<Bytes> Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  void Serve() {
    if (!::ConnectNamedPipe(handle_, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) return;
    if (mode_ == Mode::Stalls) {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stop_; });
      return;
    }
    for (;;) {
      std::uint8_t buffer[4096];
      DWORD read = 0;
      if (!::ReadFile(handle_, buffer, sizeof buffer, &read, nullptr)) return;
      std::lock_guard lock(mutex_);
      messages_.emplace_back(buffer, buffer + read);
    }
  }

  const std::wstring path_;
  const Mode mode_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::vector<Bytes> messages_;
  std::thread thread_;
};

TEST(CorePipeClient, DeliversEachSendAsOneMessageAndStopsAfterDisconnect) {
  testing::LogCapture log;
  const std::string name = UniquePipeName();
  TestPipeServer server(name, TestPipeServer::Mode::Reads);
  ASSERT_TRUE(server.Created()) << ::GetLastError();
  auto pipe = PlatformCoreLink().makePipe(name);

  PipeConnectFailure failure;
  ASSERT_TRUE(pipe->TryConnect(failure)) << failure.code;
  EXPECT_TRUE(log.Contains("[IPC] Connected to pipe: \\\\.\\Pipe\\" + name));

  const Bytes move = {0x05, 0x00, 0x00};
  const Bytes seven = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  EXPECT_TRUE(pipe->Send(move.data(), move.size()));
  EXPECT_TRUE(pipe->Send(seven.data(), seven.size()));
  const Bytes four = {0x02, 0x00, 0x00, 0x00};
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(pipe->Send(four.data(), four.size()));
  ASSERT_TRUE(testing::WaitUntil([&] { return server.Messages().size() == 5; })) << server.Messages().size();
  EXPECT_EQ(server.Messages()[0], move);
  EXPECT_EQ(server.Messages()[1], seven);
  EXPECT_EQ(server.Messages()[4], four);
  EXPECT_EQ(log.Count("[IPC] Send: OK written=3 size=3"), 1u);
  EXPECT_EQ(log.Count("[IPC] Send: OK written=7 size=7"), 1u);
  EXPECT_EQ(log.Count("[IPC] Send: OK written=4 size=4"), 1u);
  EXPECT_EQ(log.Count("[IPC] Send: OK "), 3u);

  pipe->Disconnect();
  EXPECT_FALSE(pipe->Send(move.data(), move.size()));
  pipe.reset();
  // The destructor of a client already disconnected stays quiet.
  EXPECT_EQ(log.Count("[IPC] Disconnected from pipe"), 1u);
  EXPECT_EQ(server.Messages().size(), 5u);
}

TEST(CorePipeClient, ReportsAMissingServerAsNotFound) {
  auto pipe = PlatformCoreLink().makePipe(UniquePipeName());
  PipeConnectFailure failure;
  EXPECT_FALSE(pipe->TryConnect(failure));
  EXPECT_EQ(failure.code, 2u);
  EXPECT_EQ(failure.kind, PipeConnectFailure::Kind::NotFound);
  const std::uint8_t move[] = {0x05, 0x00, 0x00};
  EXPECT_FALSE(pipe->Send(move, sizeof move));
}

TEST(CorePipeClient, GivesUpOnAServerThatStopsReading) {
  testing::LogCapture log;
  const std::string name = UniquePipeName();
  TestPipeServer server(name, TestPipeServer::Mode::Stalls);
  ASSERT_TRUE(server.Created()) << ::GetLastError();
  auto pipe = PlatformCoreLink().makePipe(name);
  PipeConnectFailure failure;
  ASSERT_TRUE(pipe->TryConnect(failure)) << failure.code;

  // Far more than the pipe's buffers hold: some write has to wait for a reader.
  const Bytes message(1024, 0x05);
  bool timedOut = false;
  std::chrono::steady_clock::duration took{};
  for (int i = 0; i < 64 && !timedOut; ++i) {
    const auto start = std::chrono::steady_clock::now();
    timedOut = !pipe->Send(message.data(), message.size());
    took = std::chrono::steady_clock::now() - start;
  }
  if (!timedOut) GTEST_SKIP() << "this system's pipes never make a writer wait";
  EXPECT_TRUE(log.Contains("[IPC] Send: TIMEOUT (server not reading), size=1024"));
  EXPECT_GE(took, std::chrono::milliseconds(1500));
  EXPECT_LT(took, std::chrono::seconds(30));
  pipe.reset();
}

TEST(CoreLinkPlatform, SeesTheUserDesktopAndMissesAnAbsentCompanion) {
  const auto platform = PlatformCoreLink();
  EXPECT_FALSE(platform.secureDesktopActive());
  // No VandrelService.exe lies beside the test program.
  EXPECT_EQ(platform.startCompanion(), std::optional<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace vandrel
