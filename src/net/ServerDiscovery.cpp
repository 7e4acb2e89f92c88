// The UDP discovery channel of the Server: one identity broadcast at start,
// then an answer to every probe.
#include <atomic>

#include "infra/LogLimiter.h"
#include "infra/Logger.h"
#include "net/DiscoveryBind.h"
#include "net/Server.h"

namespace vandrel {
namespace {

constexpr std::string_view kIdentityPrefix = "VANDREL|";
constexpr std::string_view kProbe = "VANDREL_DISCOVER";
constexpr std::size_t kMaxProbe = 256;

// Successful start-up broadcasts; only every tenth is logged.
std::atomic<std::int32_t> g_broadcasts{0};

std::string EndpointText(const asio::ip::udp::endpoint& endpoint) {
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

}  // namespace

NetworkInfo Server::GetNetworkInfo() const {
  return NetworkInfo{std::to_string(port_), DefaultRouteAddress(), asio::ip::host_name()};
}

void Server::StartUdpDiscovery() {
  const NetworkInfo info = GetNetworkInfo();
  asio::error_code ec;
  discoverySocket_.open(asio::ip::udp::v4(), ec);
  if (ec) throw std::system_error(ec, "open");
  discoverySocket_.set_option(asio::socket_base::broadcast(true), ec);
  if (!ec) discoverySocket_.set_option(asio::socket_base::reuse_address(true), ec);
  if (ec) throw std::system_error(ec, "set_option");
  if (platform::DiscoveryBindsOwnAddress()) {
    try {
      discoverySocket_.bind({asio::ip::make_address(info.ip), options_.discoveryPort});
      Log() << "[SERVER] UDP discovery bound to " << info.ip << ":" << options_.discoveryPort;
    } catch (const std::exception& e) {
      discoverySocket_.bind({asio::ip::address_v4::any(), options_.discoveryPort});
      Log() << "[SERVER] UDP discovery bound to 0.0.0.0:" << options_.discoveryPort << " (fallback, " << e.what()
            << ")";
    }
  } else {
    discoverySocket_.bind({asio::ip::address_v4::any(), options_.discoveryPort});
    Log() << "[SERVER] UDP discovery bound to 0.0.0.0:" << options_.discoveryPort;
  }
  SendIdentity({asio::ip::address_v4::broadcast(), options_.discoveryPort});
  StartDiscoveryReceive();
  Log() << "[SERVER] UDP discovery started (port " << options_.discoveryPort << ", event-driven)";
}

void Server::StopUdpDiscovery() {
  asio::error_code ignored;
  discoverySocket_.close(ignored);
}

void Server::SendIdentity(const asio::ip::udp::endpoint& target, bool logged) {
  try {
    const NetworkInfo info = GetNetworkInfo();
    const std::string payload = std::string(kIdentityPrefix) + info.hostname + "|" + info.port + "\n";
    const bool broadcast = target.address().is_v4() && target.address().to_v4() == asio::ip::address_v4::broadcast();
    asio::error_code ec;
    const std::size_t first = discoverySocket_.send_to(asio::buffer(payload), target, 0, ec);
    if (ec) {
      if (logged) Log() << "[SERVER] UDP send failed to " << EndpointText(target) << ": " << ec.message();
      return;
    }
    if (!broadcast) {
      if (logged) {
        Log() << "[SERVER] UDP identity unicast to " << EndpointText(target) << ": " << first << " bytes ("
              << info.hostname << "@" << info.ip << ":" << info.port << ")";
      }
      return;
    }
    // The directed broadcast of the /24 around our address, whatever the real netmask.
    auto octets = asio::ip::make_address_v4(info.ip).to_bytes();
    octets[3] = 255;
    const asio::ip::address_v4 directed(octets);
    const std::size_t second = discoverySocket_.send_to(asio::buffer(payload), {directed, options_.discoveryPort}, 0, ec);
    if (ec) return;
    if (g_broadcasts.fetch_add(1) % 10 == 0) {
      Log() << "[SERVER] UDP identity broadcast: " << first + second << " bytes (universal + " << directed.to_string()
            << "), " << info.hostname << "@" << info.ip << ":" << info.port;
    }
  } catch (const std::exception& e) {
    if (logged) Log() << "[SERVER] UDP identity send error: " << e.what();
  }
}

void Server::StartDiscoveryReceive() {
  discoverySocket_.async_receive_from(
      asio::buffer(discoveryBuffer_), discoveryRemote_,
      [this](const asio::error_code& error, std::size_t n) { OnDiscoveryReceive(error, n); });
}

void Server::OnDiscoveryReceive(const asio::error_code& error, std::size_t n) {
  if (error == asio::error::operation_aborted || !discoverySocket_.is_open()) return;
  if (error) {
    if (auto permit = discoveryErrors_.Next()) {
      Log() << "[SERVER] UDP discovery receive error: " << error.message() << permit;
    }
  } else if (n > kMaxProbe) {
    // Windows reports an oversized datagram as an error; Linux cuts it short.
    if (auto permit = discoveryErrors_.Next()) {
      Log() << "[SERVER] UDP discovery receive error: " << asio::error_code(asio::error::message_size).message()
            << permit;
    }
  } else {
    HandleDiscoveryDatagram(n);
  }
  StartDiscoveryReceive();
}

void Server::HandleDiscoveryDatagram(std::size_t n) {
  const std::string_view datagram(discoveryBuffer_.data(), n);
  // Our own start-up broadcast comes back here, and other PCs' identities too.
  if (datagram.starts_with(kIdentityPrefix)) return;
  const std::string source = EndpointText(discoveryRemote_);
  if (datagram.starts_with(kProbe)) {
    // Every probe is answered; only its lines are limited.
    const auto permit = discoveryProbes_.Next();
    if (permit) {
      Log() << "[SERVER] UDP DISCOVER probe from " << source << " \xE2\x80\x94 unicasting identity back" << permit;
    }
    SendIdentity(discoveryRemote_, permit.write);
    return;
  }
  if (auto permit = discoveryIgnored_.Next()) {
    Log() << "[SERVER] UDP " << options_.discoveryPort << ": " << n << " bytes from " << source
          << " (ignored, not Vandrel)" << permit;
  }
}

}  // namespace vandrel
