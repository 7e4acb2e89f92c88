// Turning the PC's host name into addresses to connect to, within a time-out.
#pragma once

#include <cstdint>
#include <string>

#include <asio/ip/tcp.hpp>

#include "vandrel-phone/PhoneClient.h"

namespace vandrel::phone {

/// The addresses of `host` ("192.168.1.20", "::1", "pc.local") with `port`. A
/// literal address is taken as it is, without asking the resolver. Throws
/// PhoneError (Resolve, or TimedOut when the look-up outlasts `timeout`).
asio::ip::tcp::resolver::results_type LookUpHost(const std::string& host, std::uint16_t port, Seconds timeout);

}  // namespace vandrel::phone
