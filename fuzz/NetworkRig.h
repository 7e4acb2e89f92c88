// A real Server on Vandrel's ports inside the private network namespace, and
// the phone's datagram sockets on loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <span>

#include "FakeAutoStart.h"
#include "FuzzSupport.h"
#include "infra/Settings.h"
#include "input/InputQueue.h"
#include "net/Server.h"

namespace vandrel::fuzz {

inline constexpr std::uint16_t kPort = 6969;
inline constexpr std::uint16_t kDiscoveryPort = 6970;
inline constexpr std::uint16_t kMdnsPort = 5353;

inline sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

/// A UDP socket on 127.0.0.1 with a port of its own.
class Datagrams {
 public:
  Datagrams() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = Loopback(0);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      Fail("cannot open a UDP socket on loopback");
    }
    // Room for a burst of datagrams from the PC while the target is busy.
    const int size = 1 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  ~Datagrams() { ::close(fd_); }
  Datagrams(const Datagrams&) = delete;
  Datagrams& operator=(const Datagrams&) = delete;

  int fd() const { return fd_; }
  void SendTo(std::uint16_t port, std::span<const std::uint8_t> bytes) const {
    const sockaddr_in to = Loopback(port);
    if (::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0 &&
        errno != EMSGSIZE) {
      Fail(std::string("sendto failed: ") + std::strerror(errno));
    }
  }
  /// The next datagram, waiting at most `milliseconds`; nothing when none came.
  std::optional<std::vector<std::uint8_t>> Receive(int milliseconds) const {
    if (!Readable(fd_, milliseconds)) return std::nullopt;
    std::vector<std::uint8_t> buffer(65536);
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
  }
  void Drain() const {
    std::uint8_t buffer[2048];
    while (::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
    }
  }

 private:
  int fd_ = -1;
};

/// The Server as the program runs it, with discovery and UDP input on their
/// usual ports; mDNS, adb and Bluetooth stay off. Lives until exit.
inline Server& StartServer(InputQueue& queue) {
  auto* settings = new Settings([] { return ScratchDir() + "/settings.ini"; },
                                std::make_shared<testing::FakeAutoStart>());
  Server::Options options;
  options.port = kPort;
  options.discoveryPort = kDiscoveryPort;
  options.mdns = false;
  options.adb = false;
  options.ble = false;
  auto* server = new Server(options, nullptr, settings, &queue);
  server->Start();
  AtExit([server, &queue] {
    server->Close();
    queue.Stop();
  });
  return *server;
}

}  // namespace vandrel::fuzz
