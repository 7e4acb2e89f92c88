#include "PlainCopy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "RawSession.h"
#include "vandrel-phone/FileSource.h"

namespace vandrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

// The largest FILE_TRANSFER_CHUNK payload, and the server's stdio buffer.
constexpr std::size_t kPiece = 65535;
constexpr std::size_t kWriteBuffer = 64 * 1024;

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

void SetTimeouts(int fd, Milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// The receiver thread's whole life; any failure ends up in `error`.
void Receive(int listenFd, const std::filesystem::path& target, std::uint64_t expected, Milliseconds timeout,
             std::string& error) {
  pollfd incoming{listenFd, POLLIN, 0};
  if (::poll(&incoming, 1, static_cast<int>(timeout.count())) <= 0) {
    error = "the receiver got no connection";
    return;
  }
  const Descriptor connection(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
  if (connection.get() < 0) {
    error = ErrnoText("accept");
    return;
  }
  SetTimeouts(connection.get(), timeout);

  std::vector<std::uint8_t> piece(kPiece);
  std::FILE* file = nullptr;
  // Opened on the first data, as the server opens its file on START.
  const auto open = [&] {
    file = std::fopen(target.c_str(), "wb");
    if (file) std::setvbuf(file, nullptr, _IOFBF, kWriteBuffer);
    return file != nullptr;
  };
  std::uint64_t received = 0;
  while (received < expected) {
    const ssize_t n = ::recv(connection.get(), piece.data(), piece.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n == 0 ? "the sender closed early" : ErrnoText("receiver recv");
      break;
    }
    if (!file && !open()) {
      error = ErrnoText("cannot create " + target.string());
      break;
    }
    const auto count = static_cast<std::size_t>(n);
    if (std::fwrite(piece.data(), 1, count, file) != count) {
      error = ErrnoText("write " + target.string());
      break;
    }
    received += count;
  }
  if (!file && error.empty() && !open()) error = ErrnoText("cannot create " + target.string());
  if (file && std::fclose(file) != 0 && error.empty()) error = ErrnoText("close " + target.string());
  if (!error.empty()) return;
  const std::uint8_t done = 1;
  if (::send(connection.get(), &done, 1, MSG_NOSIGNAL) != 1) error = ErrnoText("receiver send");
}

void SendAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw BenchError(ErrnoText("plain copy send"));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

std::chrono::duration<double> PlainTcpCopy(const std::filesystem::path& source, const std::filesystem::path& target,
                                           Milliseconds timeout) {
  phone::FileSource input(source);

  const Descriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (listener.get() < 0) throw BenchError(ErrnoText("socket"));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 1) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw BenchError(ErrnoText("plain receiver socket"));
  }

  std::string receiverError;
  std::thread receiver(Receive, listener.get(), std::cref(target), input.size(), timeout, std::ref(receiverError));
  // Declared before the sending socket, so that on an early exit the socket is
  // closed first and the receiver sees the end of the stream instead of waiting.
  struct Joiner {
    std::thread& thread;
    ~Joiner() {
      if (thread.joinable()) thread.join();
    }
  } joiner{receiver};

  std::chrono::duration<double> elapsed{};
  bool acknowledged = false;
  {
    const Descriptor sender(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sender.get() < 0) throw BenchError(ErrnoText("socket"));
    SetTimeouts(sender.get(), timeout);
    if (::connect(sender.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      throw BenchError(ErrnoText("plain copy connect"));
    }

    std::vector<std::uint8_t> piece(kPiece);
    const auto start = Clock::now();
    std::uint64_t sent = 0;
    while (sent < input.size()) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), input.size() - sent));
      const std::size_t got = input.Read(std::span(piece).first(want));
      if (got == 0) throw BenchError("the source file shrank during the plain copy");
      SendAll(sender.get(), piece.data(), got);
      sent += got;
    }
    std::uint8_t done = 0;
    ssize_t n = 0;
    do {
      n = ::recv(sender.get(), &done, 1, 0);
    } while (n < 0 && errno == EINTR);
    elapsed = Clock::now() - start;
    acknowledged = n == 1;
  }
  receiver.join();
  if (!receiverError.empty()) throw BenchError("plain receiver: " + receiverError);
  if (!acknowledged) throw BenchError("no acknowledgement from the plain receiver");
  return elapsed;
}

}  // namespace vandrel::bench
