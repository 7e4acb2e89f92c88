#include "RawSession.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "protocol/Packet.h"

namespace vandrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void SetTimeout(int fd, int option, Milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

RawSession::~RawSession() { Close(); }

RawSession::RawSession(RawSession&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), pingsSent_(other.pingsSent_), pongsSeen_(other.pongsSeen_) {}

RawSession& RawSession::operator=(RawSession&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    pingsSent_ = other.pingsSent_;
    pongsSeen_ = other.pongsSeen_;
  }
  return *this;
}

void RawSession::Close() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void RawSession::Open(std::uint16_t port, std::string_view hello, Milliseconds timeout) {
  Close();
  pingsSent_ = pongsSeen_ = 0;
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw BenchError(ErrnoText("socket"));
  // Linux bounds a blocking connect by the send time-out, reads by the receive one.
  SetTimeout(fd_, SO_SNDTIMEO, timeout);
  SetTimeout(fd_, SO_RCVTIMEO, timeout);
  const int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  // Each phone has an address of its own. Spreading the sessions over 250
  // loopback sources keeps this kernel's choice of client ports (amid
  // thousands in TIME_WAIT) from becoming what the accept rate measures.
  // The port is still chosen at connect time; a failed bind only loses that.
  static std::atomic<std::uint32_t> sources{0};
  ::setsockopt(fd_, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = htonl(0x7f010000u | (1 + sources.fetch_add(1) % 250));
  ::bind(fd_, reinterpret_cast<const sockaddr*>(&source), sizeof source);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc = 0;
  do {
    rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const std::string reason = ErrnoText("connect");
    Close();
    throw BenchError(reason);
  }

  // The server takes its first read as the hello, so it goes out in one piece.
  const ssize_t sent = ::send(fd_, hello.data(), hello.size(), MSG_NOSIGNAL);
  if (sent != static_cast<ssize_t>(hello.size())) {
    const std::string reason = sent < 0 ? ErrnoText("send hello") : "send hello: short write";
    Close();
    throw BenchError(reason);
  }

  std::uint8_t answer = 0;
  ssize_t got = 0;
  do {
    got = ::recv(fd_, &answer, 1, 0);
  } while (got < 0 && errno == EINTR);
  if (got == 1 && answer == ToByte(Command::AuthSuccess)) return;
  std::string reason;
  if (got == 0) reason = "the server closed the connection before AUTH_SUCCESS";
  else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) reason = "no AUTH_SUCCESS within the time-out";
  else if (got < 0) reason = ErrnoText("recv");
  else if (answer == ToByte(Command::AuthRequest)) reason = "the server asks for a password; the bench needs none set";
  else reason = "unexpected first packet " + std::to_string(answer);
  Close();
  throw BenchError(reason);
}

bool RawSession::SendPing() noexcept {
  if (fd_ < 0) return false;
  const std::uint8_t ping = ToByte(Command::Ping);
  if (::send(fd_, &ping, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) return false;
  ++pingsSent_;
  return true;
}

std::size_t PingAll(std::vector<RawSession>& sessions, Milliseconds timeout) {
  for (auto& session : sessions) {
    if (session.IsOpen() && !session.SendPing()) session.Close();
  }

  const auto deadline = Clock::now() + timeout;
  std::vector<pollfd> waiting;
  std::vector<RawSession*> owners;
  std::array<std::uint8_t, 256> buffer{};
  for (;;) {
    waiting.clear();
    owners.clear();
    for (auto& session : sessions) {
      if (session.IsOpen() && session.pongsSeen_ < session.pingsSent_) {
        waiting.push_back({session.fd_, POLLIN, 0});
        owners.push_back(&session);
      }
    }
    const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
    if (waiting.empty() || left.count() <= 0) break;
    const int ready = ::poll(waiting.data(), waiting.size(), static_cast<int>(left.count()) + 1);
    if (ready < 0 && errno != EINTR) throw BenchError(ErrnoText("poll"));
    for (std::size_t i = 0; ready > 0 && i < waiting.size(); ++i) {
      if (waiting[i].revents == 0) continue;
      const ssize_t n = ::recv(waiting[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        owners[i]->Close();
        continue;
      }
      // Nothing but PONGs is due on an idle session.
      for (ssize_t k = 0; k < n; ++k) {
        if (buffer[static_cast<std::size_t>(k)] == ToByte(Command::Pong)) ++owners[i]->pongsSeen_;
      }
    }
  }

  std::size_t answered = 0;
  for (const auto& session : sessions) {
    if (session.IsOpen() && session.pongsSeen_ >= session.pingsSent_) ++answered;
  }
  return answered;
}

}  // namespace vandrel::bench
