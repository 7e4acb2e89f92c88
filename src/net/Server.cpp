#include "net/Server.h"

#include <future>
#include <system_error>

#include "desktop/DesktopWorkers.h"
#include "infra/Logger.h"
#include "infra/Settings.h"
#include "input/InputQueue.h"
#include "net/MdnsResponder.h"

namespace vandrel {
namespace {

constexpr std::size_t kHelloMax = 128;
constexpr auto kWatchdogPeriod = std::chrono::milliseconds(5);
constexpr auto kStallThreshold = std::chrono::milliseconds(50);
constexpr auto kUdpGapThreshold = std::chrono::milliseconds(80);
constexpr auto kUdpSlowThreshold = std::chrono::milliseconds(20);
constexpr auto kUdpDropLogInterval = std::chrono::seconds(5);
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

// The process or the system has no descriptor (or buffer) left for a new socket.
bool OutOfDescriptors(const asio::error_code& error) {
  return error == asio::error::no_descriptors || error == std::errc::too_many_files_open_in_system ||
         error == asio::error::no_buffer_space || error == asio::error::no_memory;
}

// Runs one socket set-up step, raising the error under the step's name.
template <typename Step>
void SetUp(const char* name, Step&& step) {
  asio::error_code ec;
  step(ec);
  if (ec) throw std::system_error(ec, name);
}

std::string EndpointText(const asio::ip::tcp::endpoint& endpoint) {
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

}  // namespace

// A connection accepted but not yet a session: its hello is read without
// holding up the acceptor, within a time limit.
struct Server::PendingHello {
  explicit PendingHello(asio::ip::tcp::socket s) : socket(std::move(s)), timer(socket.get_executor()) {}
  asio::ip::tcp::socket socket;
  asio::steady_timer timer;
  std::array<char, kHelloMax> buffer{};
  std::string peer;
  bool done = false;
};

Server::Server(Options options, ConnectionListener* listener, Settings* settings, InputQueue* inputQueue)
    : port_(options.port),
      options_(std::move(options)),
      settings_(settings),
      inputQueue_(inputQueue),
      listener_(listener),
      diagTimer_(ioContext_),
      acceptor_(ioContext_),
      acceptRetry_(ioContext_),
      acceptSocket_(ioContext_),
      udpSocket_(ioContext_),
      discoverySocket_(ioContext_),
      adb_(port_, options_.adbRunner) {
  const asio::ip::udp::endpoint udpEndpoint(asio::ip::address_v4::any(), port_);
  SetUp("open", [&](asio::error_code& ec) { udpSocket_.open(asio::ip::udp::v4(), ec); });
  SetUp("bind", [&](asio::error_code& ec) { udpSocket_.bind(udpEndpoint, ec); });

  const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::any(), port_);
  SetUp("open", [&](asio::error_code& ec) { acceptor_.open(asio::ip::tcp::v4(), ec); });
  SetUp("set_option",
        [&](asio::error_code& ec) { acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec); });
  SetUp("bind", [&](asio::error_code& ec) { acceptor_.bind(endpoint, ec); });
  SetUp("listen", [&](asio::error_code& ec) { acceptor_.listen(asio::socket_base::max_listen_connections, ec); });

  udpBuffer_.resize(65536);
  if (options_.desktop) desktopWorkers_ = std::make_unique<desktop::DesktopWorkers>(options_.desktop);
  StartAdbReverse();
  StartUdpReceive();
}

Server::~Server() {
  // Close() normally ran already; a thread left running would outlive the members.
  if (ioThread_.joinable()) {
    ioContext_.stop();
    if (ioThread_.get_id() != std::this_thread::get_id()) ioThread_.join();
    else ioThread_.detach();
  }
}

void Server::Start() {
  try {
    StartAccept();
    ioThread_ = std::thread([this] {
      try {
        ioContext_.run();
      } catch (const std::exception& e) {
        Log() << "[SERVER] Network thread ended by an error: " << e.what();
      }
    });
    started_ = true;
    StartMdns();
    StartUdpDiscovery();
    asio::post(ioContext_, [this] { StartBle(); });
    lastDiagTick_ = std::chrono::steady_clock::now();
    ArmWatchdog();
    Log() << "[SERVER] Started";
  } catch (const std::exception&) {
    Log() << "[SERVER] Start failed";
  }
}

void Server::Close() {
  Log() << "[SERVER] Closing...\n";
  // Everything that touches sockets and sessions runs on the network thread
  // while it lives, so nothing races a completion handler.
  StopBle();
  // The responder waits for its announcer and sends its goodbye; not on the network thread.
  StopMdns();
  auto closeAll = [this] {
    StopUdpDiscovery();
    asio::error_code ec;
    acceptor_.close(ec);
    if (ec) Log() << "[SERVER] Error closing acceptor: " << ec.message();
    acceptRetry_.cancel();
    udpSocket_.close(ec);
    diagTimer_.cancel();
    for (const auto& pending : pendingHellos_) {
      pending->timer.cancel();
      pending->socket.close(ec);
    }
    pendingHellos_.clear();
    std::vector<std::shared_ptr<Connection>> sessions;
    {
      std::lock_guard lock(sessionsMutex_);
      sessions.swap(sessions_);
    }
    for (const auto& session : sessions) session->Close(true);
  };
  if (ioThread_.joinable() && !ioContext_.stopped()) {
    std::promise<void> done;
    asio::post(ioContext_, [&] {
      closeAll();
      done.set_value();
    });
    // The thread may have stopped between the check and the post.
    if (done.get_future().wait_for(std::chrono::seconds(10)) != std::future_status::ready) closeAll();
  } else {
    closeAll();
  }
  ioContext_.stop();
  if (ioThread_.joinable()) ioThread_.join();
  // A job still running ends on a closed session; the queued ones are dropped.
  if (desktopWorkers_) desktopWorkers_->Stop();
  Log() << "[SERVER] Closed.\n";
  StopAdbReverse();
}

void Server::StartAccept() {
  acceptor_.async_accept(acceptSocket_, [this](const asio::error_code& error) { OnAccept(error); });
}

void Server::OnAccept(const asio::error_code& error) {
  if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
  if (OutOfDescriptors(error)) {
    // The waiting connection stays in the backlog and the acceptor stays
    // readable: accepting again at once would spin until a descriptor frees up.
    if (!acceptPaused_) {
      acceptPaused_ = true;
      Log() << "[SERVER] Accept failed: " << error.message() << "; retrying every "
            << std::chrono::duration_cast<std::chrono::milliseconds>(kAcceptRetry).count() << " ms";
    }
    acceptSocket_ = asio::ip::tcp::socket(ioContext_);
    acceptRetry_.expires_after(kAcceptRetry);
    acceptRetry_.async_wait([this](const asio::error_code& waitError) {
      if (!waitError && acceptor_.is_open()) StartAccept();
    });
    return;
  }
  if (!error) {
    if (acceptPaused_) {
      acceptPaused_ = false;
      Log() << "[SERVER] Accepting connections again";
    }
    asio::error_code ec;
    const auto remote = acceptSocket_.remote_endpoint(ec);
    auto pending = std::make_shared<PendingHello>(std::move(acceptSocket_));
    pending->peer = ec ? std::string("?") : EndpointText(remote);
    Log() << "[SERVER] Device connected: " << pending->peer;
    ReadHello(std::move(pending));
  }
  acceptSocket_ = asio::ip::tcp::socket(ioContext_);
  StartAccept();
}

void Server::ReadHello(std::shared_ptr<PendingHello> pending) {
  pendingHellos_.insert(pending);
  pending->timer.expires_after(options_.helloTimeout);
  pending->timer.async_wait([this, pending](const asio::error_code& error) {
    if (error || pending->done) return;
    pending->done = true;
    Log() << "[SERVER] No device hello from " << pending->peer << " within "
          << std::chrono::duration_cast<std::chrono::milliseconds>(options_.helloTimeout).count()
          << " ms; closing the connection";
    asio::error_code ignored;
    pending->socket.close(ignored);
    pendingHellos_.erase(pending);
  });
  pending->socket.async_read_some(asio::buffer(pending->buffer),
                                  [this, pending](const asio::error_code& error, std::size_t n) {
                                    OnHello(pending, error, n);
                                  });
}

void Server::OnHello(const std::shared_ptr<PendingHello>& pending, const asio::error_code& error, std::size_t n) {
  if (pending->done) return;
  pending->done = true;
  pending->timer.cancel();
  pendingHellos_.erase(pending);
  if (error) {
    if (error != asio::error::operation_aborted) {
      Log() << "[SERVER] Connection from " << pending->peer << " ended before its device hello: " << error.message();
    }
    return;
  }
  try {
    RegisterSession(std::move(pending->socket), std::string(pending->buffer.data(), n));
  } catch (const std::exception& e) {
    Log() << "[SERVER] Could not start a session for " << pending->peer << ": " << e.what();
  }
}

void Server::RegisterSession(asio::ip::tcp::socket socket, const std::string& hello) {
  auto session = Connection::Create(
      inputQueue_, std::move(socket), hello, settings_,
      [this](std::shared_ptr<Connection> closed) { OnConnectionClosed(closed); }, options_.sessionTiming,
      desktopWorkers_.get());
  {
    std::lock_guard lock(sessionsMutex_);
    sessions_.push_back(session);
  }
  bool stopBle = false;
  {
    std::lock_guard lock(bleMutex_);
    stopBle = bleServer_ != nullptr;
  }
  if (stopBle) {
    Log() << "[SERVER] TCP connection established; stopping BLE to save resources.";
    StopBle();
    Log() << "[SERVER] BLE stopped (TCP active)";
    try {
      if (listener_) listener_->OnStatus("BLE: Stopped (TCP active)");
    } catch (...) {
      // A failing window update must not cost the phone its session.
    }
  }
  if (listener_) listener_->OnDeviceConnected(session->Device().name);
}

void Server::OnConnectionClosed(const std::shared_ptr<Connection>& session) {
  bool last = false;
  {
    std::lock_guard lock(sessionsMutex_);
    std::erase(sessions_, session);
    last = sessions_.empty();
  }
  if (last && options_.ble && options_.bleFactory) {
    bool bleStopped = false;
    {
      std::lock_guard lock(bleMutex_);
      bleStopped = bleServer_ == nullptr;
    }
    if (bleStopped) {
      Log() << "[SERVER] Last TCP client disconnected; restarting BLE GATT Server.";
      StartBle();
    }
  }
  // Keys its phone held down must not stay pressed on this PC.
  if (inputQueue_) inputQueue_->EnqueueReleaseHeldKeys();
  if (listener_) listener_->OnDeviceDisconnected(session->Device().name);
}

bool Server::HasSessions() const {
  std::lock_guard lock(sessionsMutex_);
  return !sessions_.empty();
}

bool Server::HasAuthenticatedSessionFrom(const asio::ip::address& address) const {
  // The input socket is IPv4, as are the sessions' addresses.
  const std::string text = address.to_string();
  std::lock_guard lock(sessionsMutex_);
  for (const auto& session : sessions_) {
    if (session->IsAuthenticated() && !session->IsClosed() && session->Device().address == text) return true;
  }
  return false;
}

std::vector<DeviceInfo> Server::GetDevices() const {
  std::lock_guard lock(sessionsMutex_);
  std::vector<DeviceInfo> devices;
  devices.reserve(sessions_.size());
  for (const auto& session : sessions_) devices.push_back(session->GetDeviceInfo());
  return devices;
}

std::string Server::GetBleStatusText() const {
  if (!started_) return "BLE: Idle";
  if (!options_.ble) return "BLE: Off";
  if (!options_.bleFactory) return "BLE: Unavailable";
  std::lock_guard lock(bleMutex_);
  if (!bleServer_) return "BLE: Stopped (TCP active)";
  if (bleServer_->IsCentralConnected()) return "BLE: Central connected";
  switch (bleServer_->State()) {
    case BleState::Advertising: return "BLE: Advertising";
    case BleState::BluetoothOff: return "BLE: Bluetooth is off";
    case BleState::Unavailable: return "BLE: Unavailable";
    default: return "BLE: Starting...";
  }
}

void Server::ArmWatchdog() {
  diagTimer_.expires_after(kWatchdogPeriod);
  diagTimer_.async_wait([this](const asio::error_code& error) { OnWatchdog(error); });
}

void Server::OnWatchdog(const asio::error_code& error) {
  if (error == asio::error::operation_aborted) return;
  const auto now = std::chrono::steady_clock::now();
  const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastDiagTick_);
  if (gap > kStallThreshold) {
    Log() << "[DIAG] io_context stall " << gap.count() << "ms (network thread blocked in a handler)";
  }
  lastDiagTick_ = now;
  ArmWatchdog();
}

void Server::StartBle() {
  if (!options_.ble || !options_.bleFactory) return;
  std::unique_ptr<BleGattServer> server;
  try {
    server = options_.bleFactory();
    if (server) server->Start();
  } catch (const std::exception& e) {
    Log() << "[BLE] Start failed: " << e.what();
    server.reset();
  }
  std::lock_guard lock(bleMutex_);
  bleServer_ = std::move(server);
}

void Server::StopBle() {
  std::unique_ptr<BleGattServer> server;
  {
    std::lock_guard lock(bleMutex_);
    server.swap(bleServer_);
  }
  if (!server) return;
  try {
    server->Stop();
  } catch (const std::exception& e) {
    Log() << "[BLE] Stop failed: " << e.what();
  }
}

void Server::StartUdpReceive() {
  udpSocket_.async_receive_from(asio::buffer(udpBuffer_), udpRemote_,
                                [this](const asio::error_code& error, std::size_t n) { HandleUdpInput(error, n); });
}

void Server::HandleUdpInput(const asio::error_code& error, std::size_t n) {
  if (error == asio::error::operation_aborted || !udpSocket_.is_open()) return;
  if (error) {
    // Anything but a close leaves the channel listening, so it never goes deaf.
    if (auto permit = udpErrors_.Next()) Log() << "[SERVER] UDP input receive error: " << error.message() << permit;
    StartUdpReceive();
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  if (lastUdpRecv_ != std::chrono::steady_clock::time_point{}) {
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(start - lastUdpRecv_);
    // A phone pausing now and then is normal; one pacing its datagrams just
    // above the threshold must not write a line for each.
    if (gap > kUdpGapThreshold) {
      if (auto permit = udpGaps_.Next(start)) {
        Log() << "[DIAG] UDP recv gap " << gap.count() << "ms (prev handler " << lastUdpHandler_.count() << "ms)"
              << permit;
      }
    }
  }
  lastUdpRecv_ = start;

  // With a password, only a phone that proved it over TCP may type on this PC.
  const bool guarded = settings_ && settings_->HasConnectionPassword();
  if (guarded && !HasAuthenticatedSessionFrom(udpRemote_.address())) {
    ++udpDropped_;
    if (start - lastUdpDropLog_ >= kUdpDropLogInterval) {
      Log() << "[SERVER] UDP input from " << udpRemote_.address().to_string() << ":" << udpRemote_.port()
            << " dropped: no authenticated session from that address (" << udpDropped_ << " dropped so far)";
      lastUdpDropLog_ = start;
    }
  } else if (inputQueue_) {
    inputQueue_->Enqueue(udpBuffer_.data(), n);
  }

  lastUdpHandler_ = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  if (lastUdpHandler_ > kUdpSlowThreshold) Log() << "[DIAG] UDP handler slow " << lastUdpHandler_.count() << "ms";
  StartUdpReceive();
}

void Server::StartMdns() {
  if (!options_.mdns) return;
  // Without mDNS phones still find the PC by discovery or the QR code, so a
  // responder that cannot start costs only itself.
  try {
    mdns_ = std::make_unique<MdnsResponder>(ioContext_, "_vandrel", port_, options_.mdnsPort);
    mdns_->Start();
  } catch (const std::exception& e) {
    Log() << "[MDNS] Start failed: " << e.what();
    mdns_.reset();
  }
}

void Server::StopMdns() {
  if (!mdns_) return;
  mdns_->Stop();
  mdns_.reset();
}

void Server::StartAdbReverse() {
  if (options_.adb) adb_.Start();
}

void Server::StopAdbReverse() {
  if (options_.adb) adb_.Stop();
}

}  // namespace vandrel
