#include "app/CoreLink.h"

#include <utility>

#include "infra/Logger.h"
#include "protocol/Packet.h"

namespace vandrel {
namespace {

constexpr std::uint32_t kDebugLines = 30;
// A MOVE by 0, 0: harmless wherever it lands.
constexpr std::uint8_t kTestMessage[] = {0x05, 0x00, 0x00};

const char* ReportFor(PipeConnectFailure::Kind kind) {
  switch (kind) {
    case PipeConnectFailure::Kind::AccessDenied:
      return "[IPC] Connect failed: ACCESS_DENIED - pipe security descriptor may not allow write access for current user";
    case PipeConnectFailure::Kind::NotFound:
      return "[IPC] Connect failed: FILE_NOT_FOUND - pipe server not running or pipe name incorrect";
    case PipeConnectFailure::Kind::Busy: return "[IPC] Connect failed: PIPE_BUSY - all pipe instances are busy";
    default: return nullptr;
  }
}

}  // namespace

void CorePipe::LogSendOk(std::size_t written, std::size_t length) {
  if (okLines_.load() >= 3 || okLines_.fetch_add(1) >= 3) return;
  Log() << "[IPC] Send: OK written=" << written << " size=" << length;
}

CoreLink::CoreLink(Platform platform, CoreLinkTiming timing) : platform_(std::move(platform)), timing_(timing) {}

CoreLink::~CoreLink() { Stop(); }

void CoreLink::Start() {
  {
    std::lock_guard lock(stopMutex_);
    if (running_ || connectThread_.joinable()) return;
    running_ = true;
  }
  {
    std::lock_guard lock(pipeMutex_);
    pipe_ = platform_.makePipe ? platform_.makePipe(kCorePipeName) : nullptr;
  }
  secureDesktopActive_ = platform_.secureDesktopActive && platform_.secureDesktopActive();
  connectThread_ = std::thread([this] { CoreConnectLoop(); });
  monitorThread_ = std::thread([this] { SecureDesktopMonitorLoop(); });
}

void CoreLink::Stop() {
  {
    std::lock_guard lock(stopMutex_);
    running_ = false;
  }
  stopWake_.notify_all();
  if (connectThread_.joinable()) connectThread_.join();
  if (monitorThread_.joinable()) monitorThread_.join();
  std::lock_guard lock(pipeMutex_);
  if (pipe_) {
    coreAvailable_ = false;
    pipe_->Disconnect();
    pipe_.reset();
  }
}

bool CoreLink::Sleep(std::chrono::milliseconds time) {
  std::unique_lock lock(stopMutex_);
  return !stopWake_.wait_for(lock, time, [this] { return !running_; });
}

void CoreLink::CoreConnectLoop() {
  bool firstRound = true;
  for (;;) {
    if (coreAvailable_) {
      if (!Sleep(timing_.availablePoll)) return;
      continue;
    }
    {
      std::lock_guard lock(stopMutex_);
      if (!running_) return;
    }
    // The companion is started once per run; afterwards the link is only reconnected.
    if (std::exchange(firstRound, false)) {
      Log() << "[VANDREL] Core process not available, trying to connect...";
      const auto error = platform_.startCompanion ? platform_.startCompanion() : std::optional<std::uint32_t>(0);
      if (!error) {
        Log() << "[VANDREL] Service process started, waiting for Core...";
      } else {
        Log() << "[VANDREL] Failed to start service: " << *error;
      }
    }
    if (Connect()) {
      coreAvailable_ = true;
      Log() << "[VANDREL] Connected to Core";
      bool sent = false;
      {
        std::lock_guard lock(pipeMutex_);
        sent = pipe_ && pipe_->Send(kTestMessage, sizeof kTestMessage);
      }
      Log() << "[VANDREL] IPC test packet sent: " << (sent ? "OK" : "FAILED");
    } else if (!Sleep(timing_.connectRetry)) {
      return;
    }
  }
}

bool CoreLink::Connect() {
  PipeConnectFailure failure;
  for (int attempt = 0; attempt < timing_.connectTries; ++attempt) {
    {
      std::lock_guard lock(pipeMutex_);
      if (!pipe_) return false;
      if (pipe_->TryConnect(failure)) return true;
    }
    if (!Sleep(timing_.connectTryGap)) return false;
  }
  // Once per run: the loop retries every few seconds for as long as the companion is away.
  if (connectFailureReported_.exchange(true)) return false;
  Log() << "[IPC] Failed to connect to pipe: " << failure.code;
  if (const char* report = ReportFor(failure.kind)) Log() << report;
  return false;
}

void CoreLink::SecureDesktopMonitorLoop() {
  bool firstRound = true;
  bool last = false;
  do {
    const bool active = platform_.secureDesktopActive && platform_.secureDesktopActive();
    secureDesktopActive_ = active;
    if (std::exchange(firstRound, false) || active != last) {
      const bool core = coreAvailable_;
      Log() << "[VANDREL] Secure desktop state: " << (active ? "YES (lock screen)" : "NO (user desktop)")
            << " coreAvailable=" << (core ? 1 : 0) << " crossSession=" << (core && active ? 1 : 0);
    }
    last = active;
  } while (Sleep(timing_.monitorPeriod));
}

bool CoreLink::ForwardToCore(const std::uint8_t* bytes, std::size_t length) {
  if (length == 0) return false;
  const std::uint32_t n = forwards_.fetch_add(1);
  const bool core = coreAvailable_;
  const bool secure = secureDesktopActive_;
  const bool crossSession = core && secure;
  bool haveClient = false;
  {
    std::lock_guard lock(pipeMutex_);
    haveClient = pipe_ != nullptr;
  }
  if (n < kDebugLines) {
    Log() << "[INJECT_DEBUG] #" << n << " cmd=" << CommandName(static_cast<std::int8_t>(bytes[0]))
          << " crossSession=" << (crossSession ? 1 : 0) << " coreAvail=" << (core ? 1 : 0)
          << " secureDesktop=" << (secure ? 1 : 0) << " ipcClient=" << (haveClient ? 1 : 0);
  }
  if (!crossSession || !haveClient) return false;
  bool sent = false;
  {
    std::lock_guard lock(pipeMutex_);
    sent = pipe_ && pipe_->Send(bytes, length);
  }
  if (n < kDebugLines) Log() << "[INJECT_DEBUG] #" << n << " FORWARDED sent=" << (sent ? 1 : 0);
  if (sent) return true;
  {
    std::lock_guard lock(pipeMutex_);
    coreAvailable_ = false;
    if (pipe_) pipe_->Disconnect();
  }
  // Injected here instead: the caller falls back for this same command.
  Log() << "[VANDREL] IPC send failed, marking core as unavailable";
  return false;
}

}  // namespace vandrel
