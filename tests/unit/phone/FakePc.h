// A stand-in PC for the phone client tests: accepts one connection on
// 127.0.0.1 and plays a scripted exchange on a thread of its own. The script
// runs within a fixed bound, so a client that stalls fails the test instead
// of hanging it.
#pragma once

#include <array>
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <thread>

#include "protocol/Packet.h"

namespace vandrel::phone::testing {

using asio::awaitable;
using asio::use_awaitable;
using asio::ip::tcp;

class FakePc {
 public:
  using Script = std::function<awaitable<void>(tcp::socket&)>;

  explicit FakePc(Script script) : script_(std::move(script)) {
    acceptor_.open(tcp::v4());
    acceptor_.bind(tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    acceptor_.listen();
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
  awaitable<void> Serve() {
    tcp::socket socket = co_await acceptor_.async_accept(use_awaitable);
    co_await script_(socket);
  }

  Script script_;
  asio::io_context io_;
  tcp::acceptor acceptor_{io_};
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

}  // namespace vandrel::phone::testing
