// A minimal multicast-DNS responder that lets phones find this PC as the
// DNS-SD service "_vandrel._tcp.local": it announces the service on a schedule,
// answers queries that name it, and says goodbye when stopped.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Only after a standard header: asio decides on aligned allocation from
// libstdc++'s configuration macros, and translation units that decide
// differently break the one-definition rule (new in one, free in another).
#include <asio.hpp>

namespace vandrel {

/// Lifetime: everything the receive handler touches lives in a shared core that
/// the handler itself keeps alive, so a completion that runs after the responder
/// is gone (or after its socket was closed from another thread) is harmless.
/// Socket calls from the announcer, the io thread and the destructor are
/// serialised by a mutex inside the core.
class MdnsResponder {
 public:
  /// Opens and binds the socket on 0.0.0.0:mdnsPort and joins 224.0.0.251;
  /// throws std::system_error naming the failed step ("open", "set_option",
  /// "bind"). `port` is the advertised service port; `serviceLabel` is the
  /// service part of the type, e.g. "_vandrel".
  MdnsResponder(asio::io_context& io, std::string serviceLabel, std::uint16_t port, std::uint16_t mdnsPort = 5353);
  /// Ends the announcer and closes the socket; sends no goodbye (Stop does).
  ~MdnsResponder();
  MdnsResponder(const MdnsResponder&) = delete;
  MdnsResponder& operator=(const MdnsResponder&) = delete;

  /// Starts the announcer thread and the receive loop on the io_context. A
  /// second call while running does nothing.
  void Start();
  /// Ends the announcer and sends a goodbye (TTL 0). Throws
  /// std::system_error(resource_deadlock_would_occur) on the announcer thread.
  void Stop();

  /// The full answer (PTR, SRV, A, additional empty TXT) sent to the multicast group.
  void SendAnnouncement();
  /// The same records with TTL 0, telling caches to drop them.
  void SendGoodbye();

  /// DNS wire form without compression: one length byte per dot-separated part, then 0.
  static std::vector<std::uint8_t> EncodeName(std::string_view name);
  /// Whether a question name concerns us (case-sensitive substring test).
  static bool Matches(std::string_view name);
  /// The response datagram for a question about `name`; a bare header with
  /// all counts 0 when the name does not match.
  std::vector<std::uint8_t> BuildResponse(std::string_view name, std::uint32_t ttl) const;

  const std::string& HostName() const;
  /// This machine's address as text, "0.0.0.0" when it has no route out.
  const std::string& Ip() const;

 private:
  struct Core;

  std::shared_ptr<Core> core_;
  std::thread announcer_;
};

}  // namespace vandrel
