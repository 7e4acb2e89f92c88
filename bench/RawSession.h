// A phone session over a bare POSIX socket. PhoneClient keeps an io_context
// (and its descriptors) per connection; a thousand open sessions, or thousands
// of connections a second, must load the server rather than the client.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace vandrel::bench {

/// A measurement could not be carried out; what() says why.
class BenchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Milliseconds = std::chrono::milliseconds;

class RawSession {
 public:
  RawSession() = default;
  ~RawSession();
  RawSession(RawSession&& other) noexcept;
  RawSession& operator=(RawSession&& other) noexcept;
  RawSession(const RawSession&) = delete;
  RawSession& operator=(const RawSession&) = delete;

  /// Connects to 127.0.0.1:port, sends `hello` and returns once AUTH_SUCCESS
  /// arrived. Every step waits at most `timeout`. Throws BenchError.
  void Open(std::uint16_t port, std::string_view hello, Milliseconds timeout);
  void Close() noexcept;
  bool IsOpen() const noexcept { return fd_ >= 0; }

  /// Sends PING without waiting for the answer; false when the send failed.
  bool SendPing() noexcept;

 private:
  friend std::size_t PingAll(std::vector<RawSession>& sessions, Milliseconds timeout);

  int fd_ = -1;
  std::uint32_t pingsSent_ = 0;
  std::uint32_t pongsSeen_ = 0;
};

/// Pings every open session and waits until each has answered all its PINGs
/// (earlier keep-alive ones too); returns how many did within `timeout`.
/// Sessions the server closed are closed here as well.
std::size_t PingAll(std::vector<RawSession>& sessions, Milliseconds timeout);

}  // namespace vandrel::bench
