#include "protocol/Connection.h"

#include <array>
#include <cstring>

#include "desktop/AppInfo.h"
#include "desktop/Desktop.h"
#include "desktop/DesktopWorkers.h"
#include "desktop/LaserOverlay.h"
#include "infra/LogLimiter.h"
#include "infra/Logger.h"
#include "infra/Platform.h"
#include "infra/PrintableText.h"
#include "infra/Settings.h"
#include "input/InputQueue.h"
#include "protocol/AuthDigest.h"
#include "protocol/DeviceHello.h"
#include "protocol/Packet.h"

namespace vandrel {
namespace {

constexpr std::size_t kChunkSize = 65536;
// A phone that stops reading while replies keep coming would otherwise make
// the PC hold them all. The largest reply (an application list with icons)
// fits many times over.
constexpr std::size_t kMaxSendBacklog = 4 * 1024 * 1024;

// Frames dispatched by all sessions together; only the first few are logged.
std::atomic<std::int32_t> g_dispatchCount{0};

// Lines each session writes once or twice. A peer that connects over and over
// must not fill the log with them: a burst in full, then one line per interval
// per kind. Per thread, since the limiters take no lock; sessions live on the
// network thread.
enum class SessionLine { Open, AuthRequest, AuthSuccess, AuthFail, Closed, Count };
LogPermit NextSessionLine(SessionLine kind) {
  thread_local std::array<LogLimiter, static_cast<std::size_t>(SessionLine::Count)> limiters{
      LogLimiter(20), LogLimiter(20), LogLimiter(20), LogLimiter(20), LogLimiter(20)};
  return limiters[static_cast<std::size_t>(kind)].Next();
}

}  // namespace

std::shared_ptr<Connection> Connection::Create(InputQueue* inputQueue, asio::ip::tcp::socket socket,
                                               const std::string& hello, Settings* settings, CloseCallback onClose,
                                               Timing timing, desktop::DesktopWorkers* desktop) {
  auto connection = std::make_shared<Connection>(Private{}, inputQueue, std::move(socket), hello, settings,
                                                 std::move(onClose), timing, desktop);
  connection->Begin();
  return connection;
}

Connection::Connection(Private, InputQueue* inputQueue, asio::ip::tcp::socket socket, const std::string& hello,
                       Settings* settings, CloseCallback onClose, Timing timing,
                       desktop::DesktopWorkers* desktop)
    : onClose_(std::move(onClose)),
      socket_(std::move(socket)),
      inputQueue_(inputQueue),
      settings_(settings),
      timing_(timing),
      heartbeatTimer_(socket_.get_executor()),
      recvCapacity_(kChunkSize),
      desktop_(desktop) {
  const DeviceHello parsed = ParseDeviceHello(hello);
  deviceInfo_.manufacturer = parsed.manufacturer;
  deviceInfo_.name = parsed.name;
  deviceInfo_.model = parsed.model;
  deviceInfo_.isWifi = parsed.kind;
  asio::error_code ec;
  peer_ = socket_.remote_endpoint(ec);
  deviceInfo_.address = ec ? std::string() : peer_.address().to_string();
  // Sends then never wait for a slow phone; see Send.
  socket_.non_blocking(true, ec);
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
}

Connection::~Connection() = default;

void Connection::Begin() {
  const std::string password = settings_ ? settings_->GetConnectionPassword() : std::string();
  if (!password.empty()) {
    authenticated_ = false;
    SendAuthRequest();
  } else {
    authenticated_ = true;
    if (auto permit = NextSessionLine(SessionLine::Open)) {
      Log() << "[CONNECTION] No password set, connection authenticated immediately" << permit;
    }
    Send(ToByte(Command::AuthSuccess));
  }
  lastActivity_ = std::chrono::steady_clock::now();
  ArmHeartbeat();
  StartRead();
}

std::string Connection::PeerText() const { return peer_.address().to_string() + ":" + std::to_string(peer_.port()); }

void Connection::StartRead() {
  socket_.async_wait(asio::socket_base::wait_read,
                     [self = shared_from_this()](const asio::error_code& error) { self->OnReadable(error); });
}

void Connection::OnReadable(const asio::error_code& error) {
  if (error) {
    OnRead(error, {});
    return;
  }
  // Sessions are read one at a time on the network thread, so they can share it.
  thread_local std::vector<std::uint8_t> chunk(kChunkSize);
  asio::error_code readError;
  const std::size_t n = socket_.read_some(asio::buffer(chunk), readError);
  if (readError == asio::error::would_block || readError == asio::error::try_again) {
    StartRead();
    return;
  }
  OnRead(readError, std::span<const std::uint8_t>(chunk.data(), n));
}

void Connection::OnRead(const asio::error_code& error, std::span<const std::uint8_t> bytes) {
  if (error) {
    // After a local close the read ends quietly; otherwise the phone went away.
    if (!closed_) {
      if (auto permit = NextSessionLine(SessionLine::Closed)) {
        Log() << "[CONNECTION@" << PeerText() << "] Closed with error code: " << error.message() << permit;
      }
      Close(false);
    }
    return;
  }
  if (recvBuffer_.size() + bytes.size() > recvCapacity_) {
    recvCapacity_ *= 2;
    Log() << "[CONNECTION] Receive buffer grown to " << recvCapacity_ << " bytes";
  }
  recvBuffer_.insert(recvBuffer_.end(), bytes.begin(), bytes.end());
  Dispatch();
  if (!readPaused_) StartRead();
}

void Connection::Dispatch() {
  // Frames are handled in place; the unframed rest moves to the front once per
  // read rather than once per frame, so a burst of one-byte frames stays linear.
  std::size_t used = 0;
  Cork();
  while (used < recvBuffer_.size()) {
    const std::uint8_t* head = recvBuffer_.data() + used;
    const auto length = TcpFrameLength(head, recvBuffer_.size() - used);
    if (!length) break;
    if (g_dispatchCount.fetch_add(1) < 5) {
      Log() << "[CONNECTION] Dispatching " << *length << " bytes, cmd=" << CommandName(static_cast<std::int8_t>(*head));
    }
    HandlePacket(head, *length);
    used += *length;
    if (desktopJobs_.load() >= kMaxDesktopJobs) {
      readPaused_ = true;
      break;
    }
  }
  Uncork();
  recvBuffer_.erase(recvBuffer_.begin(), recvBuffer_.begin() + static_cast<std::ptrdiff_t>(used));
  // Give back what a file transfer borrowed once the session is idle again.
  if (recvBuffer_.empty() && recvBuffer_.capacity() > 2 * kChunkSize) recvBuffer_.shrink_to_fit();
}

void Connection::HandlePacket(const std::uint8_t* bytes, std::size_t length) {
  lastActivity_ = std::chrono::steady_clock::now();
  const std::uint8_t code = bytes[0];
  if (!authenticated_) {
    if (code == ToByte(Command::AuthPassword) && length >= kAuthPasswordSize && !closed_) {
      HandleAuthPassword(bytes, length);
    } else if (auto permit = unauthenticatedDrops_.Next(lastActivity_)) {
      Log() << "[CONNECTION] Command " << CommandName(static_cast<std::int8_t>(code))
            << " dropped: client not authenticated (size=" << length << ")" << permit;
    }
    return;
  }
  const std::span<const std::uint8_t> packet(bytes, length);
  switch (static_cast<Command>(code)) {
    case Command::Ping:
      Send(ToByte(Command::Pong));
      return;
    case Command::FileTransferStart:
      if (length >= 4) return fileReceiver_.HandleStart(packet);
      break;
    case Command::FileTransferChunk:
      if (length >= 3) return fileReceiver_.HandleChunk(packet);
      break;
    case Command::FileTransferEnd:
      return fileReceiver_.HandleEnd();
    case Command::GetAppList:
    case Command::SwitchApp:
    case Command::LaunchApp:
    case Command::OpenUrl:
    case Command::SmartMedia:
      return HandleDesktopCommand(bytes, length);
    case Command::LaserOn:
    case Command::LaserOff:
      return HandleDesktopCommand(bytes, length);
    default:
      break;
  }
  if (inputQueue_) inputQueue_->Enqueue(bytes, length);
}

void Connection::HandleUnavailableCommand(const std::uint8_t* bytes, std::size_t length) {
  if (auto permit = unavailableCommands_.Next()) {
    Log() << "[CONNECTION] " << CommandName(static_cast<std::int8_t>(bytes[0]))
          << " is not available in this build (size=" << length << ")" << permit;
  }
}

void Connection::HandleDesktopCommand(const std::uint8_t* bytes, std::size_t length) {
  if (!desktop_) return HandleUnavailableCommand(bytes, length);
  switch (static_cast<Command>(bytes[0])) {
    case Command::GetAppList:
      return HandleGetAppList();
    case Command::SwitchApp:
      return HandleSwitchApp(bytes, length);
    case Command::LaunchApp:
      return HandleLaunchApp(bytes, length);
    case Command::OpenUrl:
      return HandleOpenUrl(bytes, length);
    case Command::SmartMedia:
      return HandleSmartMedia(bytes, length);
    case Command::LaserOn:
      return HandleLaserOn();
    case Command::LaserOff:
      return HandleLaserOff();
    default:
      return;
  }
}

void Connection::SendAuthRequest() {
  platform::FillRandom(nonce_.data(), nonce_.size());
  if (auto permit = NextSessionLine(SessionLine::AuthRequest)) {
    Log() << "[CONNECTION] Sending AUTH_REQUEST (nonce=" << ToHex(nonce_) << ")" << permit;
  }
  Send(packet::AuthRequest(nonce_));
}

void Connection::HandleAuthPassword(const std::uint8_t* bytes, std::size_t length) {
  if (length < kAuthPasswordSize) {
    Log() << "[CONNECTION] AUTH_PASSWORD too short (" << length << " bytes), rejecting";
    Send(ToByte(Command::AuthFail));
    Close(false);
    return;
  }
  // The password as it is now, so a change while the phone was connecting applies.
  const std::string password = settings_ ? settings_->GetConnectionPassword() : std::string();
  if (AuthDigestMatches(nonce_, password, bytes + 1)) {
    authenticated_ = true;
    if (auto permit = NextSessionLine(SessionLine::AuthSuccess)) Log() << "[CONNECTION] Authentication successful" << permit;
    Send(ToByte(Command::AuthSuccess));
  } else {
    if (auto permit = NextSessionLine(SessionLine::AuthFail)) {
      Log() << "[CONNECTION] Authentication failed (hash mismatch)" << permit;
    }
    Send(ToByte(Command::AuthFail));
    Close(false);
  }
}

void Connection::ArmHeartbeat() {
  heartbeatTimer_.expires_after(timing_.heartbeatPeriod);
  heartbeatTimer_.async_wait([self = shared_from_this()](const asio::error_code& error) { self->OnHeartbeat(error); });
}

void Connection::OnHeartbeat(const asio::error_code& error) {
  if (error == asio::error::operation_aborted || closed_) return;
  const auto idle = std::chrono::steady_clock::now() - lastActivity_;
  if (idle >= timing_.idleLimit) {
    Log() << "[CONNECTION] Heartbeat timeout (" << std::chrono::duration_cast<std::chrono::seconds>(idle).count()
          << "s without data), closing connection";
    Close(false);
    return;
  }
  ArmHeartbeat();
}

void Connection::Send(std::span<const std::uint8_t> packet) {
  if (packet.empty()) return;
  std::lock_guard lock(sendMutex_);
  if (closed_ || sendFailed_) return;
  // One packet alone is always taken, however large: the limit is for output
  // that piles up behind it.
  const std::size_t waiting = pending_.size() + inFlight_.size();
  if (waiting > 0 && waiting + packet.size() > kMaxSendBacklog) {
    Log() << "[CONNECTION@" << PeerText() << "] " << waiting << " bytes wait to be sent and the phone reads none of them; closing connection";
    sendFailed_ = true;
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->Close(false); });
    return;
  }
  pending_.insert(pending_.end(), packet.begin(), packet.end());
  if (!writing_ && !corked_) WriteNow();
}

void Connection::Cork() {
  std::lock_guard lock(sendMutex_);
  corked_ = true;
}

void Connection::Uncork() {
  std::lock_guard lock(sendMutex_);
  corked_ = false;
  if (!writing_ && !closed_ && !sendFailed_ && !pending_.empty()) WriteNow();
}

void Connection::WriteNow() {
  asio::error_code ec;
  std::size_t sent = socket_.write_some(asio::buffer(pending_), ec);
  if (ec == asio::error::would_block || ec == asio::error::try_again) {
    ec.clear();
    sent = 0;
  }
  if (ec) {
    pending_.clear();
    FailSend(ec);
    return;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(sent));
  if (pending_.empty()) return;
  // The socket is full: the rest goes out in order from the network thread.
  writing_ = true;
  asio::post(socket_.get_executor(), [self = shared_from_this()] {
    std::lock_guard relock(self->sendMutex_);
    self->WritePending();
  });
}

// Called with sendMutex_ held.
void Connection::WritePending() {
  if (closed_ || pending_.empty()) {
    writing_ = false;
    return;
  }
  inFlight_.swap(pending_);
  pending_.clear();
  asio::async_write(socket_, asio::buffer(inFlight_),
                    [self = shared_from_this()](const asio::error_code& error, std::size_t) {
                      std::lock_guard lock(self->sendMutex_);
                      self->inFlight_.clear();
                      if (error) {
                        self->writing_ = false;
                        if (error != asio::error::operation_aborted) self->FailSend(error);
                        return;
                      }
                      self->WritePending();
                    });
}

// Called with sendMutex_ held; the close itself runs later on the network thread.
void Connection::FailSend(const asio::error_code& error) {
  if (sendFailed_) return;
  sendFailed_ = true;
  Log() << "[CONNECTION] Send failed (" << error.message() << "), closing connection";
  asio::post(socket_.get_executor(), [self = shared_from_this()] { self->Close(false); });
}

void Connection::Close(bool serverClosing) {
  if (closed_.exchange(true)) return;
  fileReceiver_.Abort();
  laserOn_ = false;
  if (laserOverlay_) laserOverlay_->Hide();
  {
    std::lock_guard lock(sendMutex_);
    // A reply of the frames being handled, such as AUTH_FAIL, still goes out.
    if (corked_ && !writing_ && !sendFailed_ && !pending_.empty()) {
      asio::error_code ignored;
      socket_.write_some(asio::buffer(pending_), ignored);
    }
    corked_ = false;
    asio::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }
  heartbeatTimer_.cancel();
  if (!serverClosing && onClose_) onClose_(shared_from_this());
}

}  // namespace vandrel
