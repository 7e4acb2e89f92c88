#include "net/MdnsResponder.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>

#include "infra/LogLimiter.h"
#include "infra/Logger.h"
#include "infra/PrintableText.h"
#include "net/NetworkInfo.h"

namespace vandrel {
namespace {

using udp = asio::ip::udp;
using namespace std::chrono_literals;

constexpr std::size_t kMaxDatagram = 512;
constexpr std::uint32_t kTtl = 15;
enum RecordType : std::uint16_t { kTypeA = 1, kTypePtr = 12, kTypeTxt = 16, kTypeSrv = 33 };
constexpr std::uint16_t kClassIn = 1;  // never with the cache-flush bit

std::vector<std::string_view> Split(std::string_view text) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const auto dot = text.find('.', start);
    parts.push_back(text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) return parts;
    start = dot + 1;
  }
}

void Put16(std::vector<std::uint8_t>& out, std::size_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

}  // namespace

struct MdnsResponder::Core : std::enable_shared_from_this<Core> {
  Core(asio::io_context& io, std::string label, std::uint16_t servicePort, std::uint16_t mdnsPort)
      : label_(std::move(label)), port_(servicePort), socket_(io) {
    // asio's throwing calls raise std::system_error named after the step
    // ("open", "bind", "set_option", "send_to").
    socket_.open(udp::v4());
    multicast_ = udp::endpoint(asio::ip::make_address_v4("224.0.0.251"), mdnsPort);
    host_ = asio::ip::host_name();
    ip_ = DefaultRouteAddress();
    serviceType_ = label_ + "._tcp.local";
    instance_ = host_ + "._vandrel._tcp.local";
    hostTarget_ = host_ + ".local";
    socket_.set_option(udp::socket::reuse_address(true));
    socket_.bind({asio::ip::address_v4::any(), mdnsPort});
    socket_.set_option(asio::ip::multicast::join_group(multicast_.address().to_v4(), asio::ip::address_v4::any()));
    if (ip_ != "0.0.0.0") {
      socket_.set_option(asio::ip::multicast::outbound_interface(asio::ip::make_address_v4(ip_)));
    }
  }

  std::vector<std::uint8_t> BuildResponse(std::string_view name, std::uint32_t ttl) const {
    std::vector<std::uint8_t> out = {0, 0, 0x84, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
    if (!Matches(name)) return out;
    out[7] = 3;   // ANCOUNT: PTR, SRV, A
    out[11] = 1;  // ARCOUNT: TXT
    const auto type = EncodeName(serviceType_);
    const auto instance = EncodeName(instance_);
    const auto target = EncodeName(hostTarget_);
    auto record = [&](const std::vector<std::uint8_t>& owner, std::uint16_t rrType, std::size_t rdLength) {
      out.insert(out.end(), owner.begin(), owner.end());
      Put16(out, rrType);
      Put16(out, kClassIn);
      Put16(out, ttl >> 16);
      Put16(out, ttl & 0xFFFF);
      Put16(out, rdLength);
    };
    record(type, kTypePtr, instance.size() & 0xFF);
    out.insert(out.end(), instance.begin(), instance.end());
    record(instance, kTypeSrv, 6 + target.size());
    Put16(out, 32);  // priority
    Put16(out, 1);   // weight
    Put16(out, port_);
    out.insert(out.end(), target.begin(), target.end());
    record(target, kTypeA, 4);
    for (const auto part : Split(ip_)) out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(part))));
    record(instance, kTypeTxt, 1);
    out.push_back(0);  // an empty TXT record still holds one empty string (RFC 6763 6.1)
    return out;
  }

  void Send(const std::vector<std::uint8_t>& datagram, const udp::endpoint& to) {
    std::lock_guard lock(socketMutex_);
    socket_.send_to(asio::buffer(datagram), to);
  }

  void SetStopped() {
    {
      std::lock_guard lock(wakeMutex_);
      running_ = false;
    }
    wake_.notify_all();
  }

  // False when stopped during the pause.
  bool Pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(wakeMutex_);
    return !wake_.wait_for(lock, duration, [&] { return !running_; });
  }

  // Announces at 0, 0.5, 1.5 and 4.5 s, then every 3 s (RFC 6762 8.3 asks for
  // at least two announcements a second apart; the rest keeps caches fresh).
  void RunAnnouncer() {
    Announce();
    for (const auto pause : {500ms, 1000ms}) {
      if (!Pause(pause)) return;
      Announce();
    }
    while (Pause(3000ms)) Announce();
  }

  void Announce() {
    try {
      Send(BuildResponse(serviceType_, kTtl), multicast_);
    } catch (const std::exception& e) {
      Log() << "[MDNS] Send failed: " << e.what();
    }
  }

  void Arm() {
    std::lock_guard lock(socketMutex_);
    if (receiving_ || !running_ || !socket_.is_open()) return;
    receiving_ = true;
    socket_.async_receive_from(asio::buffer(buffer_), sender_,
                               [self = shared_from_this()](const asio::error_code& error, std::size_t n) {
                                 self->OnReceive(error, n);
                               });
  }

  void OnReceive(const asio::error_code& error, std::size_t n) {
    {
      std::lock_guard lock(socketMutex_);
      receiving_ = false;
    }
    if (!running_ || error == asio::error::operation_aborted) return;
    if (error) {
      if (auto permit = receiveErrors_.Next()) Log() << "[MDNS] Receive error: " << error.message() << permit;
    } else if (n > kMaxDatagram) {
      // The buffer holds one byte more than allowed, so a full buffer means the
      // datagram was longer (Linux and asio on Windows both truncate silently).
      if (auto permit = receiveErrors_.Next()) {
        Log() << "[MDNS] Receive error: " << asio::error_code(asio::error::message_size).message() << permit;
      }
    } else if (n > 0 && sender_.address().to_string() != ip_) {  // our own multicasts come back
      try {
        HandleQuery(n);
      } catch (const std::exception& e) {
        if (auto permit = receiveErrors_.Next()) Log() << "[MDNS] Packet handling failed: " << e.what() << permit;
      }
    }
    Arm();
  }

  void HandleQuery(std::size_t n) {
    if (n < 12) return;
    const auto* data = buffer_.data();
    const bool isResponse = (data[2] & 0x80) != 0;
    const std::size_t questions = (std::size_t{data[4]} << 8) | data[5];
    if (isResponse || questions == 0) return;
    const udp::endpoint querier = sender_;
    std::size_t pos = 12;
    for (std::size_t q = 0; q < questions; ++q) {
      // Compression pointers are not followed: a question about us names the
      // service in full, and a pointer byte simply ends the name.
      std::string name;
      while (pos < n && data[pos] != 0) {
        const std::size_t length = data[pos++];
        if (pos + length > n) break;
        name.append(reinterpret_cast<const char*>(data + pos), length);
        pos += length;
        if (pos >= n) break;
        if (data[pos] != 0) name += '.';
      }
      pos += 5;  // terminating zero, QTYPE, QCLASS
      if (pos > n) return;
      if (!Matches(name)) continue;
      try {
        const auto response = BuildResponse(name, kTtl);
        Send(response, querier);
        // The name is the querier's: escaped, it cannot forge log lines.
        if (auto permit = answers_.Next()) {
          Log() << "[MDNS] Responded to query for " << Printable(name) << " (" << response.size() << " bytes -> "
                << querier.address().to_string() << ")" << permit;
        }
      } catch (const std::exception& e) {
        if (auto permit = answers_.Next()) {
          Log() << "[MDNS] Failed to respond to query for " << Printable(name) << ": " << e.what() << permit;
        }
      }
    }
  }

  // Queries and bad datagrams arrive at a peer's will; so would their lines.
  // Network thread only.
  LogLimiter receiveErrors_;
  LogLimiter answers_{10};  // several phones browsing at once are normal
  std::string label_;
  std::uint16_t port_;
  std::string host_;
  std::string ip_;
  std::string serviceType_;
  std::string instance_;
  std::string hostTarget_;
  udp::endpoint multicast_;

  std::mutex socketMutex_;  // guards socket_ and receiving_
  udp::socket socket_;
  bool receiving_ = false;
  std::array<std::uint8_t, kMaxDatagram + 1> buffer_{};
  udp::endpoint sender_;

  std::atomic<bool> running_{false};
  std::mutex wakeMutex_;
  std::condition_variable wake_;
};

MdnsResponder::MdnsResponder(asio::io_context& io, std::string serviceLabel, std::uint16_t port,
                             std::uint16_t mdnsPort)
    : core_(std::make_shared<Core>(io, std::move(serviceLabel), port, mdnsPort)) {}

MdnsResponder::~MdnsResponder() {
  // The announcer thread holds only the core, so it never runs this.
  core_->SetStopped();
  if (announcer_.joinable()) announcer_.join();
  std::lock_guard lock(core_->socketMutex_);
  asio::error_code ignored;
  core_->socket_.close(ignored);  // a pending receive completes as aborted, holding the core
}

void MdnsResponder::Start() {
  if (core_->running_.exchange(true)) return;
  if (announcer_.joinable()) announcer_.join();
  announcer_ = std::thread([core = core_] { core->RunAnnouncer(); });
  core_->Arm();
  Log() << "[MDNS] Started, service: " << core_->label_ << ", host: " << core_->host_ << ", ip: " << core_->ip_
        << ", port: " << core_->port_;
}

void MdnsResponder::Stop() {
  core_->SetStopped();
  if (announcer_.joinable()) {
    if (announcer_.get_id() == std::this_thread::get_id()) {
      throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur), "MdnsResponder::Stop");
    }
    announcer_.join();
  }
  SendGoodbye();
  Log() << "[MDNS] Stopped";
}

void MdnsResponder::SendAnnouncement() { core_->Announce(); }

void MdnsResponder::SendGoodbye() {
  try {
    core_->Send(core_->BuildResponse(core_->serviceType_, 0), core_->multicast_);
    Log() << "[MDNS] Sent goodbye (TTL=0)";
  } catch (const std::exception& e) {
    Log() << "[MDNS] Goodbye send failed: " << e.what();
  }
}

std::vector<std::uint8_t> MdnsResponder::EncodeName(std::string_view name) {
  std::vector<std::uint8_t> out;
  for (const auto part : Split(name)) {
    out.push_back(static_cast<std::uint8_t>(part.size()));
    out.insert(out.end(), part.begin(), part.end());
  }
  out.push_back(0);
  return out;
}

bool MdnsResponder::Matches(std::string_view name) {
  return name.find("_vandrel") != std::string_view::npos || name.find("_tcp.local") != std::string_view::npos;
}

std::vector<std::uint8_t> MdnsResponder::BuildResponse(std::string_view name, std::uint32_t ttl) const {
  return core_->BuildResponse(name, ttl);
}

const std::string& MdnsResponder::HostName() const { return core_->host_; }
const std::string& MdnsResponder::Ip() const { return core_->ip_; }

}  // namespace vandrel
