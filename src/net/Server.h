// The one object through which phones reach the PC: the network thread, the
// TCP acceptor and session registry, and the arbitration with Bluetooth LE.
#pragma once

#include <array>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ble/BleConnection.h"
#include "ble/BleGattServer.h"
#include "infra/LogLimiter.h"
#include "net/AdbReverse.h"
#include "net/NetworkInfo.h"
#include "protocol/Connection.h"
#include "protocol/DeviceInfo.h"

namespace vandrel {

class InputQueue;
class MdnsResponder;
namespace desktop {
class Desktop;
class DesktopWorkers;
class LaserOverlay;
}  // namespace desktop
class Settings;

class Server {
 public:
  /// What the server tells the application; called on the network thread.
  class ConnectionListener {
   public:
    virtual void OnDeviceConnected(std::string deviceName) = 0;
    virtual void OnDeviceDisconnected(std::string deviceName) = 0;
    virtual void OnStatus(std::string status) = 0;

   protected:
    ~ConnectionListener() = default;
  };

  struct Options {
    std::uint16_t port = 6969;
    /// A phone that sends no device hello within this time is dropped.
    std::chrono::steady_clock::duration helloTimeout = std::chrono::seconds(5);
    Connection::Timing sessionTiming{};
    std::uint16_t discoveryPort = 6970;
    std::uint16_t mdnsPort = 5353;
    bool mdns = true;
    bool adb = true;
    /// Runs adb; tests put a stand-in here.
    AdbReverse::Runner adbRunner = AdbReverse::RunProgram;
    /// False keeps the Bluetooth LE side off whatever the factory (--no-ble).
    bool ble = true;
    /// Empty where Bluetooth LE is absent.
    BleGattServerFactory bleFactory;
    BleTiming bleTiming{};
    /// What the phones' desktop commands act on; without it they are refused.
    /// Outlives the server.
    desktop::Desktop* desktop = nullptr;
  };

  /// Binds TCP and UDP on the port; throws std::system_error naming the failed
  /// step ("open", "set_option", "bind", "listen").
  Server(Options options, ConnectionListener* listener, Settings* settings, InputQueue* inputQueue);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  void Start();
  /// Closes every socket and session and joins the network thread. Not on the network thread.
  void Close();

  /// Port, address and host name as phones see them; asks the system afresh. Any thread.
  NetworkInfo GetNetworkInfo() const;
  std::vector<DeviceInfo> GetDevices() const;
  /// The number of TCP sessions, without copying their details.
  std::size_t SessionCount() const;
  /// TCP sessions, or a Bluetooth central that has started its handshake.
  bool HasSessions() const;
  std::string GetBleStatusText() const;
  /// The Bluetooth side's window work (the laser) and its heartbeat; on the
  /// GUI thread (or the headless program's pump), every 200 ms.
  void PumpBleGuiWork();
  std::uint16_t Port() const { return port_; }

 private:
  struct PendingHello;

  void StartAccept();
  void OnAccept(const asio::error_code& error);
  void ReadHello(std::shared_ptr<PendingHello> pending);
  void OnHello(const std::shared_ptr<PendingHello>& pending, const asio::error_code& error, std::size_t n);
  void RegisterSession(asio::ip::tcp::socket socket, const std::string& hello);
  void OnConnectionClosed(const std::shared_ptr<Connection>& session);
  void ArmWatchdog();
  void OnWatchdog(const asio::error_code& error);
  void StartUdpReceive();
  void HandleUdpInput(const asio::error_code& error, std::size_t n);
  void HandleUdpDatagram(std::size_t n);
  // Takes what has arrived on the input socket, a bounded number at a time.
  void ReadUdpInput();
  void DetachUdpInput();
  bool HasAuthenticatedSessionFrom(const asio::ip::address& address) const;
  void StartUdpDiscovery();
  void StopUdpDiscovery();
  /// With `logged` false the send is silent (its probe's lines are being limited).
  void SendIdentity(const asio::ip::udp::endpoint& target, bool logged = true);
  void StartDiscoveryReceive();
  void OnDiscoveryReceive(const asio::error_code& error, std::size_t n);
  void HandleDiscoveryDatagram(std::size_t n);
  void StartMdns();
  void StopMdns();
  void StartAdbReverse();
  void StopAdbReverse();
  // The Bluetooth side starts and stops on a thread of its own, in the order
  // asked, so that its set-up and tear-down never hold up the network thread.
  void PostBle(std::function<void()> work);
  void StartBle();
  void StopBle(bool logStopped = true);
  void OnBleWrite(BleConnection& session, const std::vector<std::uint8_t>& packet);
  void OnBleStatus(BleConnection& session, const std::string& text);

  std::uint16_t port_;
  Options options_;
  Settings* settings_;
  InputQueue* inputQueue_;
  ConnectionListener* listener_;
  std::vector<std::uint8_t> udpBuffer_;
  bool udpDrain_ = false;  // the socket is non-blocking, so a drain never waits
  // Set at Start, before the injection thread reads the socket; cleared
  // before it closes. The reading thread alone touches the udp members below.
  std::atomic<bool> udpOnInjectionThread_{false};
  asio::io_context ioContext_;
  asio::steady_timer diagTimer_;
  std::chrono::steady_clock::time_point lastDiagTick_{};
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer acceptRetry_;
  bool acceptPaused_ = false;  // network thread only
  asio::ip::tcp::socket acceptSocket_;
  asio::ip::udp::socket udpSocket_;
  asio::ip::udp::endpoint udpRemote_;
  std::chrono::steady_clock::time_point lastUdpRecv_{};
  std::chrono::milliseconds lastUdpHandler_{0};
  std::chrono::steady_clock::time_point lastUdpDropLog_{};
  std::uint64_t udpDropped_ = 0;
  std::thread ioThread_;
  std::atomic<bool> started_{false};

  mutable std::mutex sessionsMutex_;
  // In the order they connected, for the device list; the index finds one
  // to remove without a scan, so that closing thousands stays linear.
  using SessionList = std::list<std::shared_ptr<Connection>>;
  SessionList sessions_;
  std::unordered_map<const Connection*, SessionList::iterator> sessionPlaces_;
  std::set<std::shared_ptr<PendingHello>> pendingHellos_;  // network thread only

  asio::ip::udp::socket discoverySocket_;
  asio::ip::udp::endpoint discoveryRemote_;
  // One byte more than a probe may have, to tell a longer datagram that the
  // system cut short from one that fits.
  std::array<char, 257> discoveryBuffer_{};
  // Lines a peer's datagrams cause, limited; network thread only.
  LogLimiter discoveryErrors_;
  LogLimiter discoveryProbes_;
  LogLimiter discoveryIgnored_;
  LogLimiter udpErrors_;
  LogLimiter udpGaps_;
  // Every connection writes these; network thread only.
  LogLimiter connectedLines_{20};
  LogLimiter noHelloLines_{20};
  LogLimiter endedBeforeHelloLines_{20};
  std::unique_ptr<MdnsResponder> mdns_;
  AdbReverse adb_;
  // Whether the network thread wants the Bluetooth side on (no TCP phones); network thread only.
  // Written on the network thread only; the status query reads it.
  std::atomic<bool> bleWanted_{true};
  std::atomic<bool> closing_{false};
  // Held across a start or a stop of the Bluetooth side.
  std::mutex bleLifecycle_;
  // Guards the two pointers for the readers (status, pump, session probe).
  mutable std::mutex bleMutex_;
  std::unique_ptr<BleGattServer> bleServer_;
  std::shared_ptr<BleConnection> bleConnection_;
  bool bleUnsupported_ = false;
  // Write worker only: every packet would be a line.
  LogLimiter bleWriteLines_{10};
  // GUI thread only (the pump): the spot outlives the sessions that show it,
  // and is hidden when the session that showed it is gone.
  std::mutex pumpMutex_;
  std::unique_ptr<desktop::LaserOverlay> bleLaser_;
  std::weak_ptr<BleConnection> bleLaserFor_;
  asio::thread_pool bleControl_{1};
  // Stopped after the sessions closed; their jobs hold them.
  std::unique_ptr<desktop::DesktopWorkers> desktopWorkers_;
};

}  // namespace vandrel
