#include "ble/BleConnection.h"

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "desktop/Desktop.h"
#include "desktop/DesktopWorkers.h"
#include "desktop/LaserOverlay.h"
#include "infra/Logger.h"
#include "infra/Platform.h"
#include "infra/PrintableText.h"
#include "infra/Settings.h"
#include "input/InputQueue.h"
#include "protocol/AuthDigest.h"
#include "protocol/Packet.h"

namespace vandrel {
namespace {

using Clock = std::chrono::steady_clock;

const char* Outcome(bool ok) { return ok ? "OK" : "FAILED"; }

}  // namespace

// Shared with the jobs, which may outlive the session.
struct BleConnection::DesktopSlots {
  std::mutex mutex;
  std::condition_variable freed;
  int used = 0;
  bool shutdown = false;
  LogLimiter droppedLines;
};

BleConnection::BleConnection(InputQueue* inputQueue, Settings* settings, SendFunction send,
                             desktop::DesktopWorkers* desktop, BleTiming timing, FileReceiver::FolderProvider folder)
    : inputQueue_(inputQueue),
      settings_(settings),
      send_(std::move(send)),
      desktop_(desktop),
      timing_(timing),
      slots_(std::make_shared<DesktopSlots>()),
      fileReceiver_(std::move(folder), FileReceiver::BleStyle()) {}

BleConnection::~BleConnection() { Shutdown(); }

void BleConnection::Send(std::span<const std::uint8_t> packet) const {
  if (send_) send_(packet);
}

void BleConnection::OnCentralConnected() { StartHandshake(); }

bool BleConnection::StartHandshake() {
  // Under the lock, so that a write racing the subscription finds the
  // handshake complete rather than half set up.
  std::lock_guard lock(mutex_);
  bool expected = false;
  if (!authStarted_.compare_exchange_strong(expected, true)) return false;
  lastActivity_ = Clock::now();
  const std::string password = settings_ ? settings_->GetConnectionPassword() : std::string();
  if (!password.empty()) {
    authenticated_ = false;
    SendAuthRequestLocked(true);
  } else {
    authenticated_ = true;
    Log() << "[BLE] No password set, central authenticated immediately";
    Send(ToByte(Command::AuthSuccess));
  }
  return true;
}

void BleConnection::SendAuthRequestLocked(bool freshNonce) {
  if (freshNonce || !haveNonce_) {
    platform::FillRandom(nonce_.data(), nonce_.size());
    haveNonce_ = true;
  }
  Log() << "[BLE] Sending AUTH_REQUEST (nonce=" << ToHex(nonce_) << ")";
  Send(packet::AuthRequest(nonce_));
  lastAuthRequest_ = Clock::now();
  authRequested_ = true;
}

void BleConnection::HandlePacket(const std::uint8_t* bytes, std::size_t length) {
  if (length == 0) return;
  // A central that writes before it subscribes starts the handshake this
  // way; its challenge has just gone out, so the write needs no second one.
  const bool started = !authStarted_ && StartHandshake();
  const auto code = static_cast<Command>(bytes[0]);
  const std::span<const std::uint8_t> packet(bytes, length);
  {
    std::lock_guard lock(mutex_);
    lastActivity_ = Clock::now();
    if (!authenticated_) {
      if (!started) HandleUnauthenticatedLocked(bytes, length);
      return;
    }
    // The transfer shares its state with the reset, so it runs under the lock.
    if (code == Command::FileTransferStart && length >= 4) return fileReceiver_.HandleStart(packet);
    if (code == Command::FileTransferChunk && length >= 3) return fileReceiver_.HandleChunk(packet);
    if (code == Command::FileTransferEnd) return fileReceiver_.HandleEnd();
  }
  HandleCommand(bytes, length);
}

void BleConnection::HandleUnauthenticatedLocked(const std::uint8_t* bytes, std::size_t length) {
  if (bytes[0] == ToByte(Command::AuthPassword) && length >= kAuthPasswordSize && haveNonce_) {
    // The password as it is now, so a change while the phone was connecting applies.
    const std::string password = settings_ ? settings_->GetConnectionPassword() : std::string();
    if (AuthDigestMatches(nonce_, password, bytes + 1)) {
      authenticated_ = true;
      Log() << "[BLE] Authentication successful";
      Send(ToByte(Command::AuthSuccess));
    } else {
      // The link stays and so does the nonce: the phone may answer it again.
      if (auto permit = resendLines_.Next()) Log() << "[BLE] Authentication failed (hash mismatch)" << permit;
      Send(ToByte(Command::AuthFail));
    }
    return;
  }
  // The first AUTH_REQUEST may have gone out before the central subscribed.
  if (!haveNonce_) return SendAuthRequestLocked(true);
  if (authRequested_ && Clock::now() - lastAuthRequest_ < timing_.authResend) return;
  if (auto permit = resendLines_.Next()) {
    Log() << "[BLE] Re-sending AUTH_REQUEST on unauthenticated write (initial notify may have been dropped)" << permit;
  }
  SendAuthRequestLocked(false);
}

void BleConnection::HandleCommand(const std::uint8_t* bytes, std::size_t length) {
  const auto code = static_cast<Command>(bytes[0]);
  switch (code) {
    case Command::Ping:
      Send(ToByte(Command::Pong));
      return;
    case Command::GetAppList:
    case Command::SwitchApp:
    case Command::LaunchApp:
      if (auto permit = refusedLines_.Next()) {
        Log() << "[BLE] App list command " << CommandName(code) << " ignored (not supported in BLE mode)" << permit;
      }
      return;
    case Command::OpenUrl:
      if (length >= 2) return HandleOpenUrl(bytes, length);
      break;
    case Command::SmartMedia:
      if (length >= 2) return HandleSmartMedia(bytes, length);
      break;
    case Command::LaserOn:
      laserWanted_ = true;
      showPending_ = true;
      if (auto permit = commandLines_.Next()) Log() << "[BLE] LASER_ON: deferred to GUI thread pump" << permit;
      return;
    case Command::LaserOff:
      laserWanted_ = false;
      hidePending_ = true;
      if (auto permit = commandLines_.Next()) Log() << "[BLE] LASER_OFF: deferred to GUI thread pump" << permit;
      return;
    default:
      break;
  }
  // Input, and what the input side ignores; a packet cut too short for its command lands here too.
  if (inputQueue_) inputQueue_->Enqueue(bytes, length);
}

void BleConnection::HandleOpenUrl(const std::uint8_t* bytes, std::size_t length) {
  const std::size_t n = bytes[1];
  if (length < n + 2 || n == 0) return;
  std::string url(reinterpret_cast<const char*>(bytes + 2), n);
  // Control bytes are escaped: a phone must not be able to write log lines of its own.
  if (auto permit = commandLines_.Next()) Log() << "[BLE] Handling OPEN_URL, url=" << Printable(url) << permit;
  RunOnDesktop("OPEN_URL", [workers = desktop_, url = std::move(url)] {
    auto& desktop = workers->desktop();
    const bool ok = desktop.OpenUrl(url);
    Log() << "[BLE] " << desktop.UrlOpenerName() << " result: " << Outcome(ok);
  });
}

void BleConnection::HandleSmartMedia(const std::uint8_t* bytes, std::size_t /*length*/) {
  const std::uint32_t action = bytes[1];
  if (auto permit = commandLines_.Next()) Log() << "[BLE] Handling SMART_MEDIA, action=" << action << permit;
  RunOnDesktop("SMART_MEDIA", [workers = desktop_, action] { workers->desktop().HandleSmartMedia(action); });
}

void BleConnection::RunOnDesktop(const char* command, std::function<void()> work) {
  if (!desktop_) {
    if (auto permit = refusedLines_.Next()) {
      Log() << "[BLE] " << command << " ignored: desktop commands are not available" << permit;
    }
    return;
  }
  {
    std::unique_lock lock(slots_->mutex);
    slots_->freed.wait(lock, [this] { return slots_->shutdown || slots_->used < kMaxDesktopJobs; });
    if (slots_->shutdown) {
      const auto permit = slots_->droppedLines.Next();
      lock.unlock();
      if (permit) Log() << "[BLE] " << command << " dropped: the Bluetooth side is stopping" << permit;
      return;
    }
    ++slots_->used;
  }
  // Frees the slot when the job has run, or when the workers drop it unrun.
  std::shared_ptr<void> slot(nullptr, [slots = slots_](void*) {
    {
      std::lock_guard lock(slots->mutex);
      --slots->used;
    }
    slots->freed.notify_one();
  });
  desktop_->Post([slot = std::move(slot), work = std::move(work)] { work(); });
}

void BleConnection::Shutdown() {
  {
    std::lock_guard lock(slots_->mutex);
    slots_->shutdown = true;
  }
  slots_->freed.notify_all();
}

void BleConnection::ResetLocked() {
  const bool wasActive = authStarted_.exchange(false);
  authenticated_ = false;
  haveNonce_ = false;
  nonce_ = {};
  authRequested_ = false;
  if (fileReceiver_.Active()) fileReceiver_.Abort();
  laserWanted_ = false;
  hidePending_ = true;
  // Keys the central held down must not stay pressed once it has gone.
  if (wasActive && inputQueue_) inputQueue_->EnqueueReleaseHeldKeys();
}

void BleConnection::OnCentralDisconnected() {
  std::lock_guard lock(mutex_);
  ResetLocked();
}

bool BleConnection::CheckHeartbeat() {
  if (!authStarted_) return false;
  std::lock_guard lock(mutex_);
  if (!authStarted_) return false;
  const auto idle = Clock::now() - lastActivity_;
  if (idle < timing_.idleLimit) return false;
  Log() << "[BLE] Heartbeat timeout (" << std::chrono::duration_cast<std::chrono::seconds>(idle).count()
        << "s without data), cleaning up";
  ResetLocked();
  return true;
}

void BleConnection::RunGuiWork(std::unique_ptr<desktop::LaserOverlay>& overlay) {
  // LASER_OFF then LASER_ON within one tick leaves the spot on: the last command wins.
  const bool show = showPending_.exchange(false);
  const bool hide = hidePending_.exchange(false) && !laserWanted_;
  if (show && desktop_) {
    try {
      if (!overlay) overlay = desktop_->desktop().MakeLaserOverlay();
      if (!overlay) throw std::runtime_error("no overlay on this desktop");
      // The overlay's own thread reads the pointer.
      overlay->Show(-1, -1);
      Log() << "[BLE] Laser overlay shown (GUI thread)";
    } catch (const std::exception& e) {
      Log() << "[BLE] LaserOverlay Show failed (GUI thread): " << e.what();
      overlay.reset();
    } catch (...) {
      Log() << "[BLE] LaserOverlay Show failed (GUI thread): unknown exception";
      overlay.reset();
    }
  }
  if (hide && overlay) {
    try {
      overlay->Hide();
      Log() << "[BLE] Laser overlay hidden (GUI thread)";
    } catch (const std::exception& e) {
      Log() << "[BLE] LaserOverlay Hide failed (GUI thread): " << e.what();
    } catch (...) {
      Log() << "[BLE] LaserOverlay Hide failed (GUI thread): unknown exception";
    }
  }
}

}  // namespace vandrel
