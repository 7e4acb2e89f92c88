// A stand-in for a PC's discovery socket: a UDP socket on 127.0.0.1 that
// takes the first datagram and sends canned replies back to its sender, on a
// thread of its own that ends within a fixed bound.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "protocol/Packet.h"

namespace vandrel::phone::testing {

inline Bytes BytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

class FakeResponder {
 public:
  explicit FakeResponder(std::vector<Bytes> replies) : replies_(std::move(replies)) {
    socket_.open(asio::ip::udp::v4());
    socket_.bind(asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
    port_ = socket_.local_endpoint().port();
    socket_.async_receive_from(asio::buffer(buffer_), sender_, [this](std::error_code ec, std::size_t n) {
      if (ec) return;
      received_.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
      for (const Bytes& reply : replies_) socket_.send_to(asio::buffer(reply), sender_, 0, ec);
    });
    thread_ = std::thread([this] { io_.run_for(std::chrono::seconds(20)); });
  }

  ~FakeResponder() { Stop(); }

  FakeResponder(const FakeResponder&) = delete;
  FakeResponder& operator=(const FakeResponder&) = delete;

  std::uint16_t port() const { return port_; }

  /// Stops listening and returns the datagram that arrived, empty if none.
  Bytes Finish() {
    Stop();
    return received_;
  }

 private:
  void Stop() {
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }

  std::vector<Bytes> replies_;
  asio::io_context io_;
  asio::ip::udp::socket socket_{io_};
  asio::ip::udp::endpoint sender_;
  std::uint16_t port_ = 0;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(2048);
  Bytes received_;
  std::thread thread_;
};

}  // namespace vandrel::phone::testing
