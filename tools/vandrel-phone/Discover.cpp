#include "vandrel-phone/Discover.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <vector>

#include <asio.hpp>

#include "vandrel-phone/ByteText.h"
#include "vandrel-phone/MdnsQuery.h"
#include "vandrel-phone/PhoneClient.h"

namespace vandrel::phone {
namespace {

using Clock = std::chrono::steady_clock;
using asio::ip::udp;

constexpr std::string_view kIdentityPrefix = "VANDREL|";
// A host name is at most 255 bytes in DNS and far shorter on Windows.
constexpr std::size_t kMaxHostBytes = 255;
constexpr std::size_t kMaxPortDigits = 5;
// The largest UDP payload, so that no answer is ever cut short.
constexpr std::size_t kMaxDatagramBytes = 65536;
// mDNS wants the largest hop limit (RFC 6762, section 11).
constexpr int kMdnsHops = 255;
constexpr asio::ip::address_v4::bytes_type kMdnsGroup = {224, 0, 0, 251};

struct DiscoverRequest {
  bool mdns = false;
  Seconds wait = kDefaultDiscoveryWait;
  std::optional<asio::ip::address> to;
};

DiscoverRequest ParseRequest(std::span<const std::string> args) {
  DiscoverRequest request;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (const auto equals = name.find('='); equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    if (name == "--mdns" && !value) {
      request.mdns = true;
      continue;
    }
    if (name != "--wait" && name != "--to") throw UsageError("discover: unknown argument " + args[i]);
    if (!value) {
      if (i + 1 >= args.size()) throw UsageError("discover: " + name + " needs a value");
      value = args[++i];
    }
    if (name == "--wait") {
      request.wait = ParseSeconds(*value, "--wait");
      continue;
    }
    std::error_code ec;
    request.to = asio::ip::make_address(*value, ec);
    if (ec) throw UsageError("--to needs an IP address, not '" + *value + "'");
  }
  return request;
}

struct Arrival {
  std::span<const std::uint8_t> bytes;
  udp::endpoint from;
};

class Listener {
 public:
  // Opens an ephemeral socket of the target's family, fit to reach it.
  explicit Listener(const udp::endpoint& target) {
    const bool v4 = target.address().is_v4();
    std::error_code ec;
    socket_.open(v4 ? udp::v4() : udp::v6(), ec);
    if (!ec) socket_.bind(udp::endpoint(v4 ? udp::v4() : udp::v6(), 0), ec);
    // Also lets --to name a subnet's broadcast address.
    if (!ec && v4) socket_.set_option(asio::socket_base::broadcast(true), ec);
    if (!ec && target.address().is_multicast()) {
      // Looped back, so that a responder on this very machine hears the query too.
      socket_.set_option(asio::ip::multicast::enable_loopback(true), ec);
      if (!ec) socket_.set_option(asio::ip::multicast::hops(kMdnsHops), ec);
    }
    if (ec) throw PhoneError(ErrorKind::Io, "cannot open a UDP socket: " + ec.message());
  }

  void Send(std::span<const std::uint8_t> bytes, const udp::endpoint& target) {
    std::error_code ec;
    socket_.send_to(asio::buffer(bytes.data(), bytes.size()), target, 0, ec);
    if (ec) {
      throw PhoneError(ErrorKind::Io, "cannot send to " + target.address().to_string() + ":" +
                                          std::to_string(target.port()) + ": " + ec.message());
    }
  }

  // The next datagram, or nullopt once `deadline` has passed.
  std::optional<Arrival> Receive(Clock::time_point deadline) {
    while (Clock::now() < deadline) {
      bool done = false;
      std::error_code ec;
      std::size_t count = 0;
      udp::endpoint from;
      socket_.async_receive_from(asio::buffer(buffer_), from, [&](const std::error_code& e, std::size_t n) {
        ec = e;
        count = n;
        done = true;
      });
      context_.restart();
      context_.run_until(deadline);
      if (!done) {
        std::error_code ignored;
        socket_.cancel(ignored);
        context_.restart();
        context_.run();
      }
      if (!ec) return Arrival{std::span(buffer_).first(count), from};
      if (ec == asio::error::operation_aborted) break;
      // An earlier datagram found no listener; Windows reports that on the
      // next receive, and other hosts may still answer.
      if (ec == asio::error::connection_refused || ec == asio::error::connection_reset) continue;
      throw PhoneError(ErrorKind::Io, "receiving answers failed: " + ec.message());
    }
    return std::nullopt;
  }

 private:
  asio::io_context context_;
  udp::socket socket_{context_};
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kMaxDatagramBytes);
};

std::string FormatAddress(const Ipv4Bytes& bytes) { return asio::ip::address_v4(bytes).to_string(); }

std::vector<std::string> DescribeIdentity(const Arrival& arrival) {
  const auto identity = ParseIdentity(arrival.bytes);
  if (!identity) return {};
  return {identity->host + " port " + std::to_string(identity->port) + " at " + arrival.from.address().to_string()};
}

std::vector<std::string> DescribeInstances(const Arrival& arrival) {
  std::vector<std::string> lines;
  const auto message = ParseDnsMessage(arrival.bytes);
  if (!message) return lines;
  for (const ServiceInstance& found : ResolveServices(*message, kVandrelService)) {
    const std::string head = found.instance + " -> " + found.host + " ";
    const std::string tail = " port " + std::to_string(found.port);
    // Without an A record the responder, which answers for its own host, is the address.
    if (found.addresses.empty()) lines.push_back(head + arrival.from.address().to_string() + tail);
    for (const Ipv4Bytes& address : found.addresses) lines.push_back(head + FormatAddress(address) + tail);
  }
  return lines;
}

}  // namespace

std::optional<PcIdentity> ParseIdentity(std::span<const std::uint8_t> datagram) {
  std::string_view text(reinterpret_cast<const char*>(datagram.data()), datagram.size());
  if (!text.starts_with(kIdentityPrefix) || !text.ends_with('\n')) return std::nullopt;
  text.remove_prefix(kIdentityPrefix.size());
  text.remove_suffix(1);
  const std::size_t bar = text.find('|');
  if (bar == std::string_view::npos || bar == 0 || bar > kMaxHostBytes) return std::nullopt;
  const std::string_view host = text.substr(0, bar);
  const std::string_view digits = text.substr(bar + 1);
  const auto isControl = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; };
  if (std::any_of(host.begin(), host.end(), isControl)) return std::nullopt;
  if (digits.empty() || digits.size() > kMaxPortDigits) return std::nullopt;
  unsigned port = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  if (port == 0 || port > 65535) return std::nullopt;
  return PcIdentity{std::string(host), static_cast<std::uint16_t>(port)};
}

int RunDiscover(const CommandContext& context, std::span<const std::string> args) {
  const DiscoverRequest request = ParseRequest(args);
  const Options& options = context.options;
  const asio::ip::address_v4 everyone =
      request.mdns ? asio::ip::address_v4(kMdnsGroup) : asio::ip::address_v4::broadcast();
  const udp::endpoint target(request.to.value_or(asio::ip::address(everyone)),
                             request.mdns ? options.mdnsPort : options.discoveryPort);

  Bytes message;
  if (request.mdns) {
    message = BuildDnsQuery(kVandrelService, kDnsTypePtr);
  } else {
    message.assign(kDiscoveryProbe.begin(), kDiscoveryProbe.end());
  }

  Listener listener(target);
  listener.Send(message, target);
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(request.wait);
  std::set<std::string> seen;
  while (const auto arrival = listener.Receive(deadline)) {
    for (const std::string& line : request.mdns ? DescribeInstances(*arrival) : DescribeIdentity(*arrival)) {
      // Flushed at once: the wait goes on, and the user may act on the first PC.
      if (seen.insert(line).second) context.out << line << std::endl;
    }
  }
  if (seen.empty()) throw PhoneError(ErrorKind::TimedOut, "no PC answered within " + FormatSeconds(request.wait));
  return 0;
}

}  // namespace vandrel::phone
