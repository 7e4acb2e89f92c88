// The `discover` command: finds PCs the way the phone app does, by a UDP
// probe that every PC answers with its identity, or by an mDNS query for the
// Vandrel service (the DNS side lives in MdnsQuery.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "vandrel-phone/Commands.h"

namespace vandrel::phone {

/// What a probe datagram begins with.
inline constexpr std::string_view kDiscoveryProbe = "VANDREL_DISCOVER";
inline constexpr Seconds kDefaultDiscoveryWait{2.0};

/// A PC's answer to the probe: "VANDREL|" host "|" TCP port "\n".
struct PcIdentity {
  std::string host;
  std::uint16_t port = 0;
};

/// The identity in `datagram`, or nullopt unless it is exactly one well-formed
/// identity: a non-empty host without '|' or control bytes, a decimal port from
/// 1 to 65535 and the closing newline, with nothing after it.
std::optional<PcIdentity> ParseIdentity(std::span<const std::uint8_t> datagram);

/// `discover [--mdns] [--wait SECONDS] [--to ADDRESS]`: sends one probe or
/// query, prints each distinct answer that arrives within the wait and returns
/// 0; throws PhoneError when nothing answered.
int RunDiscover(const CommandContext& context, std::span<const std::string> args);

}  // namespace vandrel::phone
