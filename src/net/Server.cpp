#include "net/Server.h"

#include <future>
#include <system_error>

#include "desktop/DesktopWorkers.h"
#include "desktop/LaserOverlay.h"
#include "infra/Logger.h"
#include "infra/Settings.h"
#include "input/InputQueue.h"
#include "net/MdnsResponder.h"
#include "protocol/Packet.h"

namespace vandrel {
namespace {

constexpr std::size_t kHelloMax = 128;
constexpr auto kWatchdogPeriod = std::chrono::milliseconds(5);
constexpr auto kStallThreshold = std::chrono::milliseconds(50);
constexpr auto kUdpGapThreshold = std::chrono::milliseconds(80);
constexpr auto kUdpSlowThreshold = std::chrono::milliseconds(20);
constexpr int kUdpReceiveBufferBytes = 4 << 20;
constexpr int kUdpDrainPerWake = 256;
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

  // A phone's burst of moves must wait in the kernel, not be dropped by it, while
  // the network thread is busy; the kernel caps the size at its own maximum.
  asio::error_code ignored;
  udpSocket_.set_option(asio::socket_base::receive_buffer_size(kUdpReceiveBufferBytes), ignored);
  asio::error_code nonBlocking;
  udpSocket_.non_blocking(true, nonBlocking);
  udpDrain_ = !nonBlocking;
  udpBuffer_.resize(65536);
  if (options_.desktop) desktopWorkers_ = std::make_unique<desktop::DesktopWorkers>(options_.desktop);
  StartAdbReverse();
}

void Server::DetachUdpInput() {
  if (!udpOnInjectionThread_) return;
  udpOnInjectionThread_ = false;
  inputQueue_->DetachSource();
}

Server::~Server() {
  DetachUdpInput();
  // Close() normally ran already; a thread left running would outlive the members.
  if (ioThread_.joinable()) {
    ioContext_.stop();
    if (ioThread_.get_id() != std::this_thread::get_id()) ioThread_.join();
    else ioThread_.detach();
  }
  // The session must not go before the GATT server's threads that call it.
  closing_ = true;
  bleControl_.join();
  std::lock_guard life(bleLifecycle_);
  StopBle(false);
}

void Server::Start() {
  try {
    StartAccept();
    // Where the injection thread can read the input socket itself, a move
    // skips the hand-over from this thread to that one.
    udpOnInjectionThread_ = udpDrain_ && inputQueue_ &&
                            inputQueue_->AttachSource(static_cast<std::intptr_t>(udpSocket_.native_handle()),
                                                      [this] { ReadUdpInput(); });
    if (udpOnInjectionThread_) {
      Log() << "[SERVER] Input datagrams are read by the injection thread";
    } else {
      StartUdpReceive();
    }
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
    PostBle([this] { StartBle(); });
    lastDiagTick_ = std::chrono::steady_clock::now();
    ArmWatchdog();
    Log() << "[SERVER] Started";
  } catch (const std::exception&) {
    Log() << "[SERVER] Start failed";
  }
}

void Server::Close() {
  Log() << "[SERVER] Closing...\n";
  // Starts and stops already asked for are skipped from now on; the network
  // thread may still ask for some until it ends.
  closing_ = true;
  // Before the input socket closes below.
  DetachUdpInput();
  // Everything that touches sockets and sessions runs on the network thread
  // while it lives, so nothing races a completion handler.
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
    SessionList sessions;
    {
      std::lock_guard lock(sessionsMutex_);
      sessions.swap(sessions_);
      sessionPlaces_.clear();
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
  bleControl_.join();
  {
    std::lock_guard life(bleLifecycle_);
    StopBle();
  }
  {
    std::lock_guard pump(pumpMutex_);
    bleLaser_.reset();
  }
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
    if (auto permit = connectedLines_.Next()) Log() << "[SERVER] Device connected: " << pending->peer << permit;
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
    if (auto permit = noHelloLines_.Next()) {
      Log() << "[SERVER] No device hello from " << pending->peer << " within "
            << std::chrono::duration_cast<std::chrono::milliseconds>(options_.helloTimeout).count()
            << " ms; closing the connection" << permit;
    }
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
      if (auto permit = endedBeforeHelloLines_.Next()) {
        Log() << "[SERVER] Connection from " << pending->peer << " ended before its device hello: " << error.message()
              << permit;
      }
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
    sessionPlaces_.emplace(session.get(), sessions_.insert(sessions_.end(), session));
  }
  if (bleWanted_ && options_.ble) {
    bleWanted_ = false;
    Log() << "[SERVER] TCP connection established; stopping BLE to save resources.";
    PostBle([this] {
      {
        std::lock_guard lock(bleMutex_);
        if (!bleServer_) return;
      }
      StopBle(false);
      Log() << "[SERVER] BLE stopped (TCP active)";
      try {
        if (listener_) listener_->OnStatus("BLE: Stopped (TCP active)");
      } catch (...) {
        // A failing window update must not cost the Bluetooth side its stop.
      }
    });
  }
  if (listener_) listener_->OnDeviceConnected(session->Device().name);
}

void Server::OnConnectionClosed(const std::shared_ptr<Connection>& session) {
  bool last = false;
  {
    std::lock_guard lock(sessionsMutex_);
    if (const auto place = sessionPlaces_.find(session.get()); place != sessionPlaces_.end()) {
      sessions_.erase(place->second);
      sessionPlaces_.erase(place);
    }
    last = sessions_.empty();
  }
  if (last && !bleWanted_ && options_.ble && !closing_) {
    bleWanted_ = true;
    Log() << "[SERVER] Last TCP client disconnected; restarting BLE GATT Server.";
    PostBle([this] { StartBle(); });
  }
  // Keys its phone held down must not stay pressed on this PC.
  if (inputQueue_) inputQueue_->EnqueueReleaseHeldKeys();
  if (listener_) listener_->OnDeviceDisconnected(session->Device().name);
}

bool Server::HasSessions() const {
  {
    std::lock_guard lock(bleMutex_);
    if (bleConnection_ && bleConnection_->IsActive()) return true;
  }
  std::lock_guard lock(sessionsMutex_);
  return !sessions_.empty();
}

bool Server::HasAuthenticatedSessionFrom(const asio::ip::address& address) const {
  // The input socket is IPv4, as are the sessions' addresses. Asked for every
  // datagram, so it compares addresses, not their texts.
  std::lock_guard lock(sessionsMutex_);
  for (const auto& session : sessions_) {
    if (session->IsAuthenticated() && !session->IsClosed() && session->PeerAddress() == address) return true;
  }
  return false;
}

std::size_t Server::SessionCount() const {
  std::lock_guard lock(sessionsMutex_);
  return sessions_.size();
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
  if (bleUnsupported_) return "BLE: Unavailable";
  // A start or a stop asked for may not have happened yet.
  if (!bleServer_) return bleWanted_ ? "BLE: Starting..." : "BLE: Stopped (TCP active)";
  if (bleServer_->isCentralConnected()) return "BLE: Central connected";
  return BleStatusText(bleServer_->getState());
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

void Server::PostBle(std::function<void()> work) {
  asio::post(bleControl_, [this, work = std::move(work)] {
    if (closing_) return;
    std::lock_guard life(bleLifecycle_);
    try {
      work();
    } catch (const std::exception& e) {
      Log() << "[SERVER] BLE control failed: " << e.what();
    }
  });
}

// With bleLifecycle_ held.
void Server::StartBle() {
  if (!options_.ble) return;
  std::unique_ptr<BleGattServer> gatt;
  try {
    if (options_.bleFactory) gatt = options_.bleFactory();
  } catch (const std::exception& e) {
    Log() << "[SERVER] BLE GATT server could not be made: " << e.what();
  }
  if (!gatt) {
    {
      std::lock_guard lock(bleMutex_);
      bleUnsupported_ = true;
    }
    Log() << "[SERVER] BLE not supported on this platform, skipping BLE setup";
    return;
  }
  BleGattServer* target = gatt.get();
  // The session and the GATT server live and die together: the server's
  // threads have ended before the session goes (StopBle).
  auto session = std::make_shared<BleConnection>(
      inputQueue_, settings_, [target](std::span<const std::uint8_t> packet) { target->notify(packet); },
      desktopWorkers_.get(), options_.bleTiming);
  BleConnection* raw = session.get();
  gatt->writeCallback = [this, raw](const std::vector<std::uint8_t>& packet) { OnBleWrite(*raw, packet); };
  gatt->statusCallback = [this, raw](const std::string& text) { OnBleStatus(*raw, text); };
  {
    std::lock_guard lock(bleMutex_);
    bleUnsupported_ = false;
    bleServer_ = std::move(gatt);
    bleConnection_ = std::move(session);
  }
  if (target->start()) {
    Log() << "[SERVER] BLE GATT Server starting (async setup in background)";
  } else {
    Log() << "[SERVER] BLE start failed (see previous BLE log entries)";
  }
}

// With bleLifecycle_ held.
void Server::StopBle(bool logStopped) {
  BleGattServer* gatt = nullptr;
  std::shared_ptr<BleConnection> session;
  {
    std::lock_guard lock(bleMutex_);
    gatt = bleServer_.get();
    session = bleConnection_;
  }
  if (session) {
    session->OnCentralDisconnected();
    session->Shutdown();
  }
  if (gatt) {
    try {
      gatt->stop();
    } catch (const std::exception& e) {
      Log() << "[SERVER] BLE stop failed: " << e.what();
    }
  }
  std::unique_ptr<BleGattServer> ended;
  {
    std::lock_guard lock(bleMutex_);
    ended = std::move(bleServer_);
    bleConnection_.reset();
  }
  ended.reset();
  if (logStopped && (gatt || session)) Log() << "[SERVER] BLE stopped";
}

void Server::OnBleWrite(BleConnection& session, const std::vector<std::uint8_t>& packet) {
  if (auto permit = bleWriteLines_.Next()) {
    const auto code = static_cast<std::int8_t>(packet[0]);
    Log() << "[SERVER] BLE write: len=" << packet.size() << " cmd=0x" << std::hex << static_cast<unsigned>(packet[0])
          << std::dec << " (" << CommandName(code) << ")" << permit;
  }
  try {
    session.HandlePacket(packet.data(), packet.size());
  } catch (const std::exception& e) {
    Log() << "[SERVER][CRITICAL] BLE write dispatch crashed: " << e.what() << " (packet len=" << packet.size()
          << "). Packet ignored to keep the server alive.";
  }
}

void Server::OnBleStatus(BleConnection& session, const std::string& text) {
  try {
    if (listener_) listener_->OnStatus(text);
    if (text == "BLE: Central connected") {
      session.OnCentralConnected();
    } else if (text == "BLE: Central disconnected") {
      Log() << "[SERVER] BLE central disconnected, cleaning up";
      session.OnCentralDisconnected();
    }
  } catch (...) {
    // A Bluetooth event thread must not end over a status line.
  }
}

void Server::PumpBleGuiWork() {
  std::lock_guard pump(pumpMutex_);
  if (closing_) return;
  std::shared_ptr<BleConnection> session;
  {
    std::lock_guard lock(bleMutex_);
    session = bleConnection_;
  }
  // A session stopped or restarted meanwhile cannot hide its spot any more.
  if (bleLaser_ && bleLaserFor_.lock() != session) {
    bleLaser_->Hide();
    bleLaserFor_.reset();
  }
  if (!session) return;
  session->RunGuiWork(bleLaser_);
  if (bleLaser_) bleLaserFor_ = session;
  if (!session->CheckHeartbeat()) return;
  Log() << "[SERVER] Restarting BLE after heartbeat timeout";
  PostBle([this, stale = std::weak_ptr<BleConnection>(session)] {
    {
      std::lock_guard lock(bleMutex_);
      // Stopped for a TCP phone, or restarted, in the meantime.
      if (!bleConnection_ || bleConnection_ != stale.lock()) return;
    }
    StopBle(false);
    StartBle();
  });
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
  HandleUdpDatagram(n);
  ReadUdpInput();
  StartUdpReceive();
}

void Server::ReadUdpInput() {
  // What else has arrived is taken now, without a trip through the reactor
  // each; a bounded number, so that the other sockets get their turn. An error
  // other than "nothing there" ends the round: the next receive reports it.
  for (int i = 0; udpDrain_ && i < kUdpDrainPerWake; ++i) {
    asio::error_code again;
    const std::size_t size = udpSocket_.receive_from(asio::buffer(udpBuffer_), udpRemote_, 0, again);
    if (again) {
      // Read by the injection thread, this is the only place that sees errors.
      if (udpOnInjectionThread_ && again != asio::error::would_block && again != asio::error::try_again) {
        if (auto permit = udpErrors_.Next()) Log() << "[SERVER] UDP input receive error: " << again.message() << permit;
      }
      break;
    }
    HandleUdpDatagram(size);
  }
}

void Server::HandleUdpDatagram(std::size_t n) {
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
