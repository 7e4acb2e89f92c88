// Input for the lock screen. While the secure desktop is shown, input
// injected from the user's session does not reach it; a privileged companion
// process ("Core") can. This keeps a message pipe to it open, watches which
// desktop takes input, and meanwhile hands it every input command instead of
// injecting it here. Nothing here needs the window toolkit.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vandrel {

inline constexpr const char* kCorePipeName = "Vandrel_CorePipe";

/// Why one try at opening the pipe failed, as far as the report cares.
struct PipeConnectFailure {
  enum class Kind { AccessDenied, NotFound, Busy, Other };
  std::uint32_t code = 0;  // the system's error number
  Kind kind = Kind::Other;
};

/// The program's end of the pipe: it only writes, one input command a message.
class CorePipe {
 public:
  virtual ~CorePipe() = default;
  /// One try; on success logs "[IPC] Connected to pipe: " and the path.
  virtual bool TryConnect(PipeConnectFailure& failure) = 0;
  /// One whole message; false (after a line) when it was not written within 2 s.
  virtual bool Send(const std::uint8_t* bytes, std::size_t length) = 0;
  /// Logs "[IPC] Disconnected from pipe".
  virtual void Disconnect() = 0;

 protected:
  /// "[IPC] Send: OK written=N size=M", for the first three sends only.
  void LogSendOk(std::size_t written, std::size_t length);

 private:
  std::atomic<int> okLines_{0};
};

struct CoreLinkTiming {
  std::chrono::milliseconds monitorPeriod{200};
  std::chrono::milliseconds connectRetry{2000};
  std::chrono::milliseconds connectTryGap{500};
  int connectTries = 10;
  std::chrono::milliseconds availablePoll{500};
};

class CoreLink {
 public:
  /// What a platform provides.
  struct Platform {
    std::function<std::unique_ptr<CorePipe>(const std::string& name)> makePipe;
    /// Whether the secure desktop takes input now.
    std::function<bool()> secureDesktopActive;
    /// Starts the companion beside this program; the error number when it cannot.
    std::function<std::optional<std::uint32_t>()> startCompanion;
  };

  explicit CoreLink(Platform platform, CoreLinkTiming timing = {});
  /// Stops.
  ~CoreLink();
  CoreLink(const CoreLink&) = delete;
  CoreLink& operator=(const CoreLink&) = delete;

  /// Creates the pipe client, takes a first sample and starts the connect
  /// thread and the secure-desktop monitor.
  void Start();
  /// Ends both threads (at once, not after their sleeps) and disconnects.
  void Stop();

  /// The input queue's inject handler: true when the command went to Core
  /// and must not be injected here. Injection thread.
  bool ForwardToCore(const std::uint8_t* bytes, std::size_t length);

  bool CoreAvailable() const { return coreAvailable_; }
  bool SecureDesktopActive() const { return secureDesktopActive_; }

 private:
  void CoreConnectLoop();
  void SecureDesktopMonitorLoop();
  bool Connect();
  /// Sleeps unless stopped meanwhile; false once stopping.
  bool Sleep(std::chrono::milliseconds time);

  Platform platform_;
  CoreLinkTiming timing_;
  std::atomic<bool> coreAvailable_{false};
  std::atomic<bool> secureDesktopActive_{false};
  std::atomic<std::uint32_t> forwards_{0};
  std::atomic<bool> connectFailureReported_{false};

  // The connect thread and the injection thread both use the client.
  std::mutex pipeMutex_;
  std::unique_ptr<CorePipe> pipe_;

  std::mutex stopMutex_;
  std::condition_variable stopWake_;
  bool running_ = false;
  std::thread connectThread_;
  std::thread monitorThread_;
};

/// This platform's pipe client, secure-desktop test and companion start.
CoreLink::Platform PlatformCoreLink();

}  // namespace vandrel
