// One phone's TCP session: handshake, framing, the authentication gate,
// routing, PING, heartbeat and file transfer.
#pragma once

#include <array>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "infra/LogLimiter.h"
#include "protocol/DeviceInfo.h"
#include "protocol/FileReceiver.h"
#include "protocol/PacketCodec.h"

namespace vandrel {

class InputQueue;
class Settings;
namespace desktop {
class Desktop;
class DesktopWorkers;
class LaserOverlay;
}  // namespace desktop

/// How often a session checks for silence, and how much silence ends it.
struct ConnectionTiming {
  std::chrono::steady_clock::duration heartbeatPeriod = std::chrono::seconds(5);
  std::chrono::steady_clock::duration idleLimit = std::chrono::seconds(20);
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using CloseCallback = std::function<void(std::shared_ptr<Connection>)>;
  using Timing = ConnectionTiming;

  /// Sends AUTH_REQUEST or AUTH_SUCCESS and starts reading. Network thread.
  /// Without `desktop` the desktop commands are refused with a line.
  static std::shared_ptr<Connection> Create(InputQueue* inputQueue, asio::ip::tcp::socket socket,
                                            const std::string& hello, Settings* settings, CloseCallback onClose,
                                            Timing timing = {}, desktop::DesktopWorkers* desktop = nullptr);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  DeviceInfo GetDeviceInfo() const { return deviceInfo_; }
  /// Set at construction and never changed, so any thread may read it.
  const DeviceInfo& Device() const { return deviceInfo_; }

  /// Sends one whole packet from any thread without ever blocking on the peer:
  /// what the socket cannot take at once is written in the background. A failed
  /// send closes the session.
  void Send(std::span<const std::uint8_t> packet);
  void Send(std::uint8_t singleByteCommand) { Send(std::span<const std::uint8_t>(&singleByteCommand, 1)); }

  /// Acts once. With serverClosing the close callback is not called. Call it on
  /// the network thread, or while that thread does not run; other threads post it.
  void Close(bool serverClosing);
  bool IsClosed() const { return closed_.load(); }
  bool IsAuthenticated() const { return authenticated_.load(); }
  /// Set at construction and never changed, so any thread may read it.
  asio::ip::address PeerAddress() const { return peer_.address(); }
  /// The receive buffer's nominal size: 64 KiB, doubled whenever a read would not fit.
  std::size_t ReceiveBufferSize() const { return recvCapacity_; }

 private:
  struct Private {};
  // Desktop commands of one session queued or running at once; at this many
  // the session stops reading.
  static constexpr int kMaxDesktopJobs = 8;

 public:
  Connection(Private, InputQueue* inputQueue, asio::ip::tcp::socket socket, const std::string& hello,
             Settings* settings, CloseCallback onClose, Timing timing, desktop::DesktopWorkers* desktop);

 private:
  void Begin();
  void StartRead();
  void OnReadable(const asio::error_code& error);
  void OnRead(const asio::error_code& error, std::span<const std::uint8_t> bytes);
  void Dispatch();
  void HandlePacket(const std::uint8_t* bytes, std::size_t length);
  void SendAuthRequest();
  void HandleAuthPassword(const std::uint8_t* bytes, std::size_t length);
  void HandleDesktopCommand(const std::uint8_t* bytes, std::size_t length);
  void HandleUnavailableCommand(const std::uint8_t* bytes, std::size_t length);
  void HandleGetAppList();
  void HandleSwitchApp(const std::uint8_t* bytes, std::size_t length);
  void HandleLaunchApp(const std::uint8_t* bytes, std::size_t length);
  void HandleOpenUrl(const std::uint8_t* bytes, std::size_t length);
  void HandleSmartMedia(const std::uint8_t* bytes, std::size_t length);
  void HandleLaserOn();
  void HandleLaserOff();
  // Hands the work to the desktop workers with this session held. Past a few
  // unfinished jobs the session stops reading until one ends: the phone
  // waits, its commands stay in order. Work `onlyForReply` is skipped once
  // the phone has gone.
  void RunOnDesktop(std::function<void(desktop::Desktop&)> work, bool onlyForReply = false);
  void DesktopJobDone();
  void ResumeReading();
  void ArmHeartbeat();
  void OnHeartbeat(const asio::error_code& error);
  void WritePending();
  void FailSend(const asio::error_code& error);
  // Replies to the frames of one read wait and go out in one write: a burst
  // of pipelined pings costs one system call, not one each.
  void Cork();
  void Uncork();
  // Called with sendMutex_ held and nothing being written: writes what the
  // socket takes at once and leaves the rest to the network thread.
  void WriteNow();
  std::string PeerText() const;

  CloseCallback onClose_;
  asio::ip::tcp::socket socket_;
  InputQueue* inputQueue_;
  Settings* settings_;
  Timing timing_;
  std::atomic<bool> authenticated_{false};
  AuthNonce nonce_{};
  std::chrono::steady_clock::time_point lastActivity_;
  asio::steady_timer heartbeatTimer_;
  // Holds only bytes not yet framed, so an idle session costs almost nothing;
  // reads go through one chunk shared by all sessions of the network thread.
  std::vector<std::uint8_t> recvBuffer_;
  std::size_t recvCapacity_;
  DeviceInfo deviceInfo_;
  asio::ip::tcp::endpoint peer_;
  FileReceiver fileReceiver_;
  desktop::DesktopWorkers* desktop_;
  std::atomic<int> desktopJobs_{0};
  bool readPaused_ = false;  // network thread only
  LogLimiter desktopCommands_{20};  // network thread only
  // Network thread only; the overlay draws on a thread of its own.
  bool laserOn_ = false;
  std::unique_ptr<desktop::LaserOverlay> laserOverlay_;
  std::atomic<bool> closed_{false};
  // A peer can send these at will; network thread only.
  LogLimiter unauthenticatedDrops_;
  LogLimiter unavailableCommands_;

  // Guards the socket against a worker's send racing the close, and the output
  // that waits for the socket.
  std::mutex sendMutex_;
  std::vector<std::uint8_t> pending_;
  std::vector<std::uint8_t> inFlight_;
  bool writing_ = false;
  bool corked_ = false;
  bool sendFailed_ = false;  // the close is on its way; later sends are dropped
};

}  // namespace vandrel
