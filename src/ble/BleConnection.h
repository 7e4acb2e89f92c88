// The phone session over Bluetooth LE. The GATT server does not tell
// centrals apart, so one session stands for whichever central writes, and
// every reply is a notification to all subscribed ones. Unlike TCP the PC
// cannot drop a central: a wrong password leaves the link up, a silent
// central resets the session, and window work waits for the GUI thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>

#include "infra/LogLimiter.h"
#include "protocol/FileReceiver.h"
#include "protocol/PacketCodec.h"

namespace vandrel {

class InputQueue;
class Settings;
namespace desktop {
class DesktopWorkers;
class LaserOverlay;
}  // namespace desktop

struct BleTiming {
  /// Silence after which the session is reset and the Bluetooth side restarted.
  std::chrono::steady_clock::duration idleLimit = std::chrono::seconds(20);
  /// An unanswered challenge is sent again at most this often.
  std::chrono::steady_clock::duration authResend = std::chrono::milliseconds(500);
};

class BleConnection {
 public:
  /// One packet to the centrals; must not wait for the radio.
  using SendFunction = std::function<void(std::span<const std::uint8_t>)>;

  /// Without `desktop` the desktop commands are refused with a line.
  BleConnection(InputQueue* inputQueue, Settings* settings, SendFunction send,
                desktop::DesktopWorkers* desktop = nullptr, BleTiming timing = {},
                FileReceiver::FolderProvider folder = GetDesktopFolder);
  /// Waits for nothing: desktop jobs still queued hold only what they need.
  ~BleConnection();
  BleConnection(const BleConnection&) = delete;
  BleConnection& operator=(const BleConnection&) = delete;

  /// One written packet; on the GATT write worker, one at a time.
  void HandlePacket(const std::uint8_t* bytes, std::size_t length);
  /// Starts the handshake, once per central; any thread.
  void OnCentralConnected();
  /// Resets the session for the next central; any thread.
  void OnCentralDisconnected();
  /// True when the central has been silent too long; the session is then reset.
  bool CheckHeartbeat();
  /// Shows or hides the laser as the last commands asked; GUI thread only.
  /// The overlay is the caller's, so that it outlives this session.
  void RunGuiWork(std::unique_ptr<desktop::LaserOverlay>& overlay);
  /// Ends any wait for a desktop worker at once; before the GATT server stops.
  void Shutdown();
  /// A central has started its handshake and not left since.
  bool IsActive() const { return authStarted_.load(); }

 private:
  // Desktop commands of the central queued or running at once; past this
  // many the write worker waits, which holds the central's next writes back.
  static constexpr int kMaxDesktopJobs = 8;
  struct DesktopSlots;

  /// True when this call started it.
  bool StartHandshake();
  void ResetLocked();
  void SendAuthRequestLocked(bool freshNonce);
  void HandleUnauthenticatedLocked(const std::uint8_t* bytes, std::size_t length);
  void HandleCommand(const std::uint8_t* bytes, std::size_t length);
  void HandleOpenUrl(const std::uint8_t* bytes, std::size_t length);
  void HandleSmartMedia(const std::uint8_t* bytes, std::size_t length);
  // Hands the work to the desktop workers, waiting for a free slot first.
  void RunOnDesktop(const char* command, std::function<void()> work);
  void Send(std::span<const std::uint8_t> packet) const;
  void Send(std::uint8_t singleByteCommand) const { Send(std::span<const std::uint8_t>(&singleByteCommand, 1)); }

  InputQueue* inputQueue_;
  Settings* settings_;
  SendFunction send_;
  desktop::DesktopWorkers* desktop_;
  BleTiming timing_;
  std::shared_ptr<DesktopSlots> slots_;

  // The handler on the worker shares these with the reset (a Bluetooth event
  // thread or the GUI thread).
  std::mutex mutex_;
  bool authenticated_ = false;
  bool haveNonce_ = false;
  AuthNonce nonce_{};
  std::chrono::steady_clock::time_point lastActivity_{};
  std::chrono::steady_clock::time_point lastAuthRequest_{};
  bool authRequested_ = false;
  FileReceiver fileReceiver_;
  LogLimiter resendLines_{5};

  std::atomic<bool> authStarted_{false};
  // The last laser command; pending work tells the GUI thread what changed.
  std::atomic<bool> laserWanted_{false};
  std::atomic<bool> showPending_{false};
  std::atomic<bool> hidePending_{false};

  // Write worker only: a central can send these at will.
  LogLimiter commandLines_{20};
  LogLimiter refusedLines_;
};

}  // namespace vandrel
