// The DNS messages of mDNS discovery: the PTR query for the Vandrel service
// and the records of a response. Pure functions of bytes, so they are tested
// without sockets; the network side lives in Discover.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Packet.h"

namespace vandrel::phone {

inline constexpr std::string_view kVandrelService = "_vandrel._tcp.local";

inline constexpr std::uint16_t kDnsTypeA = 1;
inline constexpr std::uint16_t kDnsTypePtr = 12;
inline constexpr std::uint16_t kDnsTypeTxt = 16;
inline constexpr std::uint16_t kDnsTypeSrv = 33;
inline constexpr std::uint16_t kDnsClassIn = 1;

/// Longest name on the wire, length bytes and the closing zero included.
inline constexpr std::size_t kMaxDnsNameBytes = 255;
inline constexpr std::size_t kMaxDnsLabelBytes = 63;

using Ipv4Bytes = std::array<std::uint8_t, 4>;

/// A resource record. Names are dotted without the closing dot ("DESK-7.local");
/// a '.' or '\' inside a label and control bytes are escaped as in zone files.
struct DnsRecord {
  std::string name;
  std::uint16_t type = 0;
  /// Without mDNS's cache-flush bit.
  std::uint16_t dnsClass = 0;
  /// PTR: the name pointed to; SRV: the target host. Empty for other types.
  std::string target;
  std::uint16_t priority = 0;
  std::uint16_t weight = 0;
  std::uint16_t port = 0;
  /// A only.
  Ipv4Bytes address{};
};

struct DnsMessage {
  std::uint16_t id = 0;
  std::uint16_t flags = 0;
  std::uint16_t questionCount = 0;
  /// The answer, authority and additional sections, in that order.
  std::vector<DnsRecord> records;
};

/// A name that cannot go on the wire (empty label, label over 63 bytes, name over 255).
class DnsNameError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

/// A standard query: ID 0, flags 0, the one question `name` `type` IN.
/// Throws DnsNameError.
Bytes BuildDnsQuery(std::string_view name, std::uint16_t type);

/// The message in `bytes`, or nullopt when any part of it is malformed: cut
/// short, a label or pointer past the end, a name over 255 bytes, too many
/// pointer jumps, reserved label types, or RDATA of a PTR, SRV or A record
/// whose length disagrees with its content. Never reads outside `bytes`.
std::optional<DnsMessage> ParseDnsMessage(std::span<const std::uint8_t> bytes);

/// DNS compares names without regard to ASCII case.
bool SameDnsName(std::string_view a, std::string_view b);

struct ServiceInstance {
  std::string instance;  // "DESK-7._vandrel._tcp.local"
  std::string host;      // "DESK-7.local"
  std::uint16_t port = 0;
  /// The host's A records in the same message; may be empty.
  std::vector<Ipv4Bytes> addresses;
};

/// The instances of `service` that `message` resolves: each PTR for the
/// service whose instance has an SRV record with a non-zero port. Nothing
/// unless the message is a response (QR set, opcode and rcode 0).
std::vector<ServiceInstance> ResolveServices(const DnsMessage& message, std::string_view service);

}  // namespace vandrel::phone
