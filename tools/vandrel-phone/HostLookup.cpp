#include "vandrel-phone/HostLookup.h"

#include <future>
#include <memory>
#include <thread>

#include <asio.hpp>

#include "vandrel-phone/ByteText.h"

namespace vandrel::phone {

using asio::ip::tcp;

tcp::resolver::results_type LookUpHost(const std::string& host, std::uint16_t port, Seconds timeout) {
  std::error_code addressError;
  const auto address = asio::ip::make_address(host, addressError);
  if (!addressError) {
    return tcp::resolver::results_type::create(tcp::endpoint(address, port), host, std::to_string(port));
  }

  // The look-up runs on a thread of its own: the system resolver cannot be
  // interrupted, and waiting for it would let a dead DNS server outlast the
  // time-out. A look-up still running at the deadline finishes unobserved.
  struct Lookup {
    std::promise<void> done;
    tcp::resolver::results_type results;
    std::error_code ec;
  };
  auto lookup = std::make_shared<Lookup>();
  auto finished = lookup->done.get_future();
  std::thread([lookup, host, port] {
    asio::io_context context;
    tcp::resolver resolver(context);
    lookup->results = resolver.resolve(host, std::to_string(port), tcp::resolver::numeric_service, lookup->ec);
    lookup->done.set_value();
  }).detach();

  if (finished.wait_for(timeout) != std::future_status::ready) {
    throw PhoneError(ErrorKind::TimedOut, "cannot look up " + host + " within " + FormatSeconds(timeout));
  }
  if (lookup->ec || lookup->results.empty()) {
    throw PhoneError(ErrorKind::Resolve, "cannot look up " + host + ": " + lookup->ec.message());
  }
  return lookup->results;
}

}  // namespace vandrel::phone
