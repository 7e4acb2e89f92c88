#include "net/NetworkInfo.h"

#include <asio.hpp>

namespace vandrel {

std::string DefaultRouteAddress() {
  asio::io_context io;
  asio::ip::udp::socket probe(io);
  asio::error_code ec;
  probe.open(asio::ip::udp::v4(), ec);
  if (!ec) probe.connect({asio::ip::make_address_v4("8.8.8.8"), 80}, ec);
  asio::ip::udp::endpoint local;
  if (!ec) local = probe.local_endpoint(ec);
  asio::error_code ignored;
  probe.close(ignored);
  return ec ? std::string("0.0.0.0") : local.address().to_string();
}

}  // namespace vandrel
