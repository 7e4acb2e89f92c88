// How phones can reach this PC: its port, address and host name.
#pragma once

#include <string>

namespace vandrel {

struct NetworkInfo {
  std::string port;      // decimal text of the TCP port
  std::string ip;        // the address of the default route's interface; "0.0.0.0" without a network
  std::string hostname;
};

/// The address the system would use to reach the internet: a UDP socket is
/// "connected" (nothing is sent) and asked for its local address.
std::string DefaultRouteAddress();

}  // namespace vandrel
