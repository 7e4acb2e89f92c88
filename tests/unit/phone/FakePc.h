// A stand-in PC for the phone client tests: accepts one connection on
// 127.0.0.1, also takes UDP datagrams on the same port as the PC does, and
// plays a scripted exchange on a thread of its own. The script
// runs within a fixed bound, so a client that stalls fails the test instead
// of hanging it.
#pragma once

#include <array>
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "protocol/Packet.h"

namespace vandrel::phone::testing {

using asio::awaitable;
using asio::use_awaitable;
using asio::ip::tcp;
using asio::ip::udp;

class FakePc {
 public:
  using Script = std::function<awaitable<void>(tcp::socket&)>;
  /// A script that also sees the datagrams sent to the port.
  using InputScript = std::function<awaitable<void>(tcp::socket&, udp::socket&)>;

  explicit FakePc(Script script)
      : FakePc(InputScript([script = std::move(script)](tcp::socket& s, udp::socket&) { return script(s); })) {}

  explicit FakePc(InputScript script) : script_(std::move(script)) {
    BindBoth();
    asio::co_spawn(io_, Serve(), [this](std::exception_ptr error) {
      finished_ = true;
      if (!error) return;
      try {
        std::rethrow_exception(error);
      } catch (const std::exception& e) {
        failure_ = e.what();
      }
    });
    thread_ = std::thread([this] { io_.run_for(std::chrono::seconds(20)); });
  }

  ~FakePc() {
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }

  FakePc(const FakePc&) = delete;
  FakePc& operator=(const FakePc&) = delete;

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

  /// Waits for the script; empty when it ran to its end, else why it did not.
  std::string Finish() {
    thread_.join();
    if (!finished_) return "the fake PC's script did not finish in time";
    return failure_.empty() ? std::string() : "the fake PC's script failed: " + failure_;
  }

 private:
  // The TCP port is picked by the system; the same UDP port may be taken by
  // someone else, so a few ports are tried.
  void BindBoth() {
    const auto loopback = asio::ip::address_v4::loopback();
    for (int attempt = 0;; ++attempt) {
      acceptor_.open(tcp::v4());
      acceptor_.bind(tcp::endpoint(loopback, 0));
      acceptor_.listen();
      std::error_code ec;
      udp_.open(udp::v4());
      udp_.bind(udp::endpoint(loopback, port()), ec);
      if (!ec) return;
      udp_.close();
      acceptor_.close();
      if (attempt == 20) throw std::system_error(ec, "no port free for both TCP and UDP");
    }
  }

  awaitable<void> Serve() {
    tcp::socket socket = co_await acceptor_.async_accept(use_awaitable);
    co_await script_(socket, udp_);
  }

  InputScript script_;
  asio::io_context io_;
  tcp::acceptor acceptor_{io_};
  udp::socket udp_{io_};
  std::thread thread_;
  bool finished_ = false;
  std::string failure_;
};

/// What one read returns, as the PC reads the device hello.
inline awaitable<Bytes> ReadFirst(tcp::socket& socket) {
  std::array<std::uint8_t, 128> buffer{};
  const std::size_t n = co_await socket.async_read_some(asio::buffer(buffer), use_awaitable);
  co_return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
}

inline awaitable<Bytes> ReadExactly(tcp::socket& socket, std::size_t count) {
  Bytes bytes(count);
  co_await asio::async_read(socket, asio::buffer(bytes), use_awaitable);
  co_return bytes;
}

inline awaitable<void> Write(tcp::socket& socket, Bytes bytes) {
  co_await asio::async_write(socket, asio::buffer(bytes), use_awaitable);
}

/// Everything the client sends until it closes the connection.
inline awaitable<Bytes> ReadUntilClosed(tcp::socket& socket) {
  Bytes all;
  std::array<std::uint8_t, 4096> buffer{};
  for (;;) {
    std::error_code ec;
    const std::size_t n = co_await socket.async_read_some(asio::buffer(buffer), asio::redirect_error(use_awaitable, ec));
    all.insert(all.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    if (ec) co_return all;
  }
}

/// What the client sends within `wait`; empty when it stays quiet.
inline awaitable<Bytes> ReadFor(tcp::socket& socket, std::chrono::milliseconds wait) {
  asio::steady_timer timer(socket.get_executor(), wait);
  timer.async_wait([&socket](std::error_code ec) {
    if (!ec) socket.cancel();
  });
  std::array<std::uint8_t, 4096> buffer{};
  std::error_code ec;
  const std::size_t n = co_await socket.async_read_some(asio::buffer(buffer), asio::redirect_error(use_awaitable, ec));
  timer.cancel();
  co_return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
}

/// The next datagram within `wait`, or nullopt.
inline awaitable<std::optional<Bytes>> ReceiveDatagram(udp::socket& socket, std::chrono::milliseconds wait) {
  asio::steady_timer timer(socket.get_executor(), wait);
  timer.async_wait([&socket](std::error_code ec) {
    if (!ec) socket.cancel();
  });
  std::array<std::uint8_t, 2048> buffer{};
  std::error_code ec;
  const std::size_t n = co_await socket.async_receive(asio::buffer(buffer), asio::redirect_error(use_awaitable, ec));
  timer.cancel();
  if (ec) co_return std::nullopt;
  co_return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
}

}  // namespace vandrel::phone::testing
