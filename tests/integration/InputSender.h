// A phone's UDP input datagrams to the program on loopback.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace vandrel::testing {

class InputSender {
 public:
  explicit InputSender(std::uint16_t port) : socket_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    to_.sin_family = AF_INET;
    to_.sin_port = htons(port);
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  ~InputSender() {
    if (socket_ >= 0) ::close(socket_);
  }
  InputSender(const InputSender&) = delete;
  InputSender& operator=(const InputSender&) = delete;

  /// Whether the whole datagram went out.
  bool Send(const std::vector<std::uint8_t>& datagram) {
    return ::sendto(socket_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to_),
                    sizeof to_) == static_cast<ssize_t>(datagram.size());
  }

 private:
  int socket_;
  sockaddr_in to_{};
};

}  // namespace vandrel::testing
