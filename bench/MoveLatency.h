// What the pointer-latency benches share: a phone's UDP MOVE, the percentiles
// of the timings, and their command line.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "RawSession.h"

namespace vandrel::bench {

using Clock = std::chrono::steady_clock;
using Micros = std::chrono::duration<double, std::micro>;

constexpr std::chrono::milliseconds kMoveLimit{1000};
constexpr int kWarmUp = 200;

// A phone's UDP input: the server moves the pointer against the finger, so the datagram carries -dx, -dy.
class UdpPhone {
 public:
  explicit UdpPhone(std::uint16_t port) : socket_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (socket_ < 0 || ::connect(socket_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      throw BenchError("UDP socket: " + std::string(std::strerror(errno)));
    }
  }
  ~UdpPhone() { ::close(socket_); }
  UdpPhone(const UdpPhone&) = delete;
  UdpPhone& operator=(const UdpPhone&) = delete;
  void Move(int dx, int dy) {
    const std::uint8_t datagram[] = {5, static_cast<std::uint8_t>(-dx), static_cast<std::uint8_t>(-dy)};
    if (::send(socket_, datagram, sizeof datagram, 0) != sizeof datagram) throw BenchError("UDP send failed");
  }

 private:
  int socket_;
};

struct Latency {
  double p50 = 0, p99 = 0;
  int lost = 0;
};

inline Latency Percentiles(std::vector<double> micros, int lost = 0) {
  Latency result{0, 0, lost};
  if (micros.empty()) return result;
  std::sort(micros.begin(), micros.end());
  result.p50 = micros[micros.size() / 2];
  result.p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  return result;
}

struct MoveBenchOptions {
  std::filesystem::path vandrel = "build/vandrel";
  unsigned long port = 0;
  unsigned long moves = 0;
};

/// Reads --vandrel PATH, --port N and --moves N over what `options` holds;
/// false, after the usage line, for anything else.
inline bool ParseMoveBenchOptions(int argc, char** argv, const char* program, MoveBenchOptions& options) {
  bool ok = argc % 2 == 1;
  for (int i = 1; ok && i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    char* end = nullptr;
    const unsigned long number = std::strtoul(argv[i + 1], &end, 10);
    const bool numeric = *argv[i + 1] != '\0' && *end == '\0';
    if (arg == "--vandrel") options.vandrel = argv[i + 1];
    else if (arg == "--port" && numeric) options.port = number;
    else if (arg == "--moves" && numeric) options.moves = number;
    else ok = false;
  }
  if (!ok || options.port == 0 || options.port > 65535 || options.moves == 0 || options.moves > 1000000) {
    std::fprintf(stderr, "Usage: %s [--vandrel PATH] [--port N] [--moves N]   (run it through scripts/netns-run.sh)\n",
                 program);
    return false;
  }
  return true;
}

}  // namespace vandrel::bench
