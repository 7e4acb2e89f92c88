#include "vandrel-phone/PhoneClient.h"

#include <algorithm>
#include <array>

#include <asio.hpp>

#include "protocol/AuthDigest.h"
#include "protocol/PacketCodec.h"
#include "vandrel-phone/ByteText.h"
#include "vandrel-phone/HostLookup.h"

namespace vandrel::phone {
namespace {

using Clock = std::chrono::steady_clock;
using asio::ip::tcp;
using asio::ip::udp;

// An APP_LIST_DATA header announcing more than this is taken as garbage rather
// than a reason to buffer gigabytes.
constexpr std::size_t kMaxAppListBytes = 64u << 20;

Clock::time_point DeadlineAfter(Seconds wait) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(wait);
}

bool IsClosedError(const std::error_code& ec) {
  return ec == asio::error::eof || ec == asio::error::connection_reset || ec == asio::error::connection_aborted ||
         ec == asio::error::broken_pipe || ec == asio::error::shut_down;
}

// Length of the PC-to-phone packet at the head of `buffer`, once all of it is there.
std::optional<std::size_t> PcFrameLength(const Bytes& buffer) {
  if (buffer.empty()) return std::nullopt;
  std::size_t length = 1;
  if (buffer[0] == ToByte(Command::AuthRequest)) {
    length = kAuthRequestSize;
  } else if (buffer[0] == ToByte(Command::AppListData)) {
    const auto whole = packet::AppListDataFrameLength(buffer.data(), buffer.size());
    if (!whole) return std::nullopt;
    if (*whole > kMaxAppListBytes) {
      throw PhoneError(ErrorKind::Protocol, "the PC announced an app list of " + std::to_string(*whole) + " bytes");
    }
    length = *whole;
  }
  if (buffer.size() < length) return std::nullopt;
  return length;
}

}  // namespace

struct PhoneClient::Io {
  asio::io_context context;
  tcp::socket socket{context};
  // Input datagrams; open only while a session is.
  udp::socket datagrams{context};
  // Bytes read but not yet handed out as packets.
  Bytes received;
  std::array<std::uint8_t, 64 * 1024> chunk{};

  // Runs the one started operation until its handler has set `done` or the
  // deadline passes; then `abandon` makes it finish with operation_aborted.
  template <typename Abandon>
  void RunUntil(const bool& done, Clock::time_point deadline, Abandon abandon) {
    context.restart();
    context.run_until(deadline);
    if (done) return;
    abandon();
    context.restart();
    context.run();
  }

  void CloseSocket() noexcept {
    std::error_code ignored;
    socket.close(ignored);
  }
};

PhoneClient::PhoneClient(Seconds timeout) : timeout_(timeout), io_(std::make_unique<Io>()) {}

PhoneClient::~PhoneClient() = default;

bool PhoneClient::connected() const noexcept { return io_->socket.is_open(); }

void PhoneClient::Close() noexcept {
  io_->CloseSocket();
  std::error_code ignored;
  io_->datagrams.close(ignored);
}

std::string PhoneClient::TimeoutReason() const { return "no answer from the PC within " + FormatSeconds(timeout_); }

void PhoneClient::Connect(const std::string& host, std::uint16_t port, std::string_view hello) {
  Close();
  io_->received.clear();
  peerClosed_ = false;

  const std::string where = host + ":" + std::to_string(port);
  const auto deadline = DeadlineAfter(timeout_);
  const tcp::resolver::results_type endpoints = LookUpHost(host, port, timeout_);

  bool done = false;
  std::error_code ec;
  asio::async_connect(io_->socket, endpoints, [&](const std::error_code& e, const tcp::endpoint&) {
    ec = e;
    done = true;
  });
  io_->RunUntil(done, deadline, [this] { io_->CloseSocket(); });
  if (ec) {
    io_->CloseSocket();
    if (ec == asio::error::operation_aborted) {
      throw PhoneError(ErrorKind::TimedOut, "no answer from " + where + " within " + FormatSeconds(timeout_));
    }
    if (ec == asio::error::connection_refused) {
      throw PhoneError(ErrorKind::Refused, "connection refused by " + where + " (is Vandrel running?)");
    }
    throw PhoneError(ErrorKind::Io, "cannot connect to " + where + ": " + ec.message());
  }

  // Packets are small and each one is a user action: send them at once.
  io_->socket.set_option(tcp::no_delay(true), ec);
  Send(std::span(reinterpret_cast<const std::uint8_t*>(hello.data()), hello.size()));
}

HandshakeResult PhoneClient::Handshake(const std::optional<std::string>& password) {
  passwordAsked_ = false;
  lastHandshakePacket_.clear();
  // At most a challenge and then the verdict.
  for (int round = 0; round < 2; ++round) {
    Received answer = ReceivePacket();
    if (answer.status == ReceiveStatus::TimedOut) return HandshakeResult::TimedOut;
    if (answer.status == ReceiveStatus::Closed) return HandshakeResult::Closed;
    lastHandshakePacket_ = std::move(answer.packet);

    const std::uint8_t code = lastHandshakePacket_[0];
    if (code == ToByte(Command::AuthSuccess)) return HandshakeResult::Success;
    if (code == ToByte(Command::AuthFail)) return HandshakeResult::Fail;
    if (code != ToByte(Command::AuthRequest) || passwordAsked_) return HandshakeResult::Unexpected;

    passwordAsked_ = true;
    const auto nonce = packet::ReadAuthRequest(lastHandshakePacket_);
    if (!nonce) return HandshakeResult::Unexpected;
    if (!password) return HandshakeResult::PasswordRequired;
    Send(packet::AuthPassword(ComputeAuthDigest(*nonce, *password)));
  }
  return HandshakeResult::Unexpected;
}

void PhoneClient::Send(std::span<const std::uint8_t> bytes) {
  if (!connected()) throw PhoneError(ErrorKind::Closed, "not connected to the PC");
  bool done = false;
  std::error_code ec;
  asio::async_write(io_->socket, asio::buffer(bytes.data(), bytes.size()), [&](const std::error_code& e, std::size_t) {
    ec = e;
    done = true;
  });
  // A half-written packet leaves the stream unusable, so a stalled write closes it.
  io_->RunUntil(done, DeadlineAfter(timeout_), [this] { io_->CloseSocket(); });
  if (!ec) return;
  io_->CloseSocket();
  if (ec == asio::error::operation_aborted) {
    throw PhoneError(ErrorKind::TimedOut, "the PC took no data for " + FormatSeconds(timeout_));
  }
  if (IsClosedError(ec)) throw PhoneError(ErrorKind::Closed, "connection closed by the PC");
  throw PhoneError(ErrorKind::Io, "sending to the PC failed: " + ec.message());
}

void PhoneClient::OpenDatagramSocket() {
  std::error_code ec;
  const tcp::endpoint peer = io_->socket.remote_endpoint(ec);
  tcp::endpoint local;
  if (!ec) local = io_->socket.local_endpoint(ec);
  if (!ec) io_->datagrams.open(peer.address().is_v4() ? udp::v4() : udp::v6(), ec);
  // The TCP session's own address: a multi-homed phone could otherwise send
  // from another one, whose datagrams a password-protected PC drops.
  if (!ec) io_->datagrams.bind(udp::endpoint(local.address(), 0), ec);
  if (!ec) io_->datagrams.connect(udp::endpoint(peer.address(), peer.port()), ec);
  if (!ec) return;
  std::error_code ignored;
  io_->datagrams.close(ignored);
  throw PhoneError(ErrorKind::Io, "cannot open a UDP socket to the PC: " + ec.message());
}

void PhoneClient::SendDatagram(std::span<const std::uint8_t> bytes) {
  if (!connected()) throw PhoneError(ErrorKind::Closed, "not connected to the PC");
  if (!io_->datagrams.is_open()) OpenDatagramSocket();
  bool done = false;
  std::error_code ec;
  std::size_t sent = 0;
  io_->datagrams.async_send(asio::buffer(bytes.data(), bytes.size()), [&](const std::error_code& e, std::size_t n) {
    ec = e;
    sent = n;
    done = true;
  });
  io_->RunUntil(done, DeadlineAfter(timeout_), [this] {
    std::error_code ignored;
    io_->datagrams.cancel(ignored);
  });
  if (ec == asio::error::operation_aborted) {
    throw PhoneError(ErrorKind::TimedOut, "could not send a datagram within " + FormatSeconds(timeout_));
  }
  // The answer to an earlier datagram that found no UDP socket at the PC.
  if (ec == asio::error::connection_refused) {
    throw PhoneError(ErrorKind::Refused, "the PC takes no UDP datagrams on its port");
  }
  if (ec) throw PhoneError(ErrorKind::Io, "sending a datagram to the PC failed: " + ec.message());
  if (sent != bytes.size()) throw PhoneError(ErrorKind::Io, "the datagram was cut short");
}

void PhoneClient::ReadSome(Clock::time_point deadline) {
  bool done = false;
  std::error_code ec;
  std::size_t count = 0;
  io_->socket.async_read_some(asio::buffer(io_->chunk), [&](const std::error_code& e, std::size_t n) {
    ec = e;
    count = n;
    done = true;
  });
  // Cancelling keeps the connection: a quiet PC is no reason to drop it.
  io_->RunUntil(done, deadline, [this] {
    std::error_code ignored;
    io_->socket.cancel(ignored);
  });
  io_->received.insert(io_->received.end(), io_->chunk.begin(), io_->chunk.begin() + static_cast<std::ptrdiff_t>(count));
  if (!ec || ec == asio::error::operation_aborted) return;
  if (IsClosedError(ec)) {
    peerClosed_ = true;
    return;
  }
  throw PhoneError(ErrorKind::Io, "reading from the PC failed: " + ec.message());
}

Received PhoneClient::ReceivePacket(Seconds timeout) {
  const auto deadline = DeadlineAfter(timeout);
  Bytes& buffer = io_->received;
  for (;;) {
    if (const auto length = PcFrameLength(buffer)) {
      Received out{ReceiveStatus::Packet, Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*length))};
      buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*length));
      return out;
    }
    if (peerClosed_ || !connected()) return {ReceiveStatus::Closed, {}};
    if (Clock::now() >= deadline) return {ReceiveStatus::TimedOut, {}};
    ReadSome(deadline);
  }
}

Seconds PhoneClient::Ping() {
  const auto start = Clock::now();
  Send(packet::Simple(Command::Ping));
  const auto deadline = DeadlineAfter(timeout_);
  for (;;) {
    const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
    const Received answer = ReceivePacket(left);
    if (answer.status == ReceiveStatus::Closed) throw PhoneError(ErrorKind::Closed, "connection closed by the PC");
    if (answer.status == ReceiveStatus::TimedOut) throw PhoneError(ErrorKind::TimedOut, TimeoutReason());
    if (answer.packet[0] == ToByte(Command::Pong)) return Clock::now() - start;
  }
}

void PhoneClient::SendFile(FileSource& file, const FileProgress& progress) {
  Bytes start;
  try {
    start = packet::FileTransferStart(file.name(), file.size());
  } catch (const std::length_error&) {
    throw PhoneError(ErrorKind::File, "the file name is too long to send");
  }
  Send(start);

  Bytes chunk(kMaxFileFieldBytes);
  std::uint64_t sent = 0;
  while (sent < file.size()) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), file.size() - sent));
    const std::size_t got = file.Read(std::span(chunk).first(want));
    // START announced the size; sending fewer bytes would leave the PC waiting.
    if (got == 0) throw PhoneError(ErrorKind::File, "the file shrank while it was being sent");
    Send(packet::FileTransferChunk(std::span(chunk).first(got)));
    sent += got;
    if (progress) progress(sent, file.size());
  }
  Send(packet::Simple(Command::FileTransferEnd));
}

void PhoneClient::SendFile(const std::filesystem::path& path, const FileProgress& progress) {
  FileSource file(path);
  SendFile(file, progress);
}

}  // namespace vandrel::phone
