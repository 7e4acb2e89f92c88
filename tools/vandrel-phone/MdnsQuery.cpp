#include "vandrel-phone/MdnsQuery.h"

#include <algorithm>
#include <cstdio>

namespace vandrel::phone {
namespace {

constexpr std::size_t kHeaderBytes = 12;
// Real responders chain a few pointers at most; the bound also ends loops
// made only of pointers, which the name length bound would not catch.
constexpr int kMaxPointerJumps = 16;
constexpr std::uint16_t kCacheFlushBit = 0x8000;
constexpr std::uint16_t kResponseBit = 0x8000;
constexpr std::uint16_t kOpcodeMask = 0x7800;
constexpr std::uint16_t kRcodeMask = 0x000F;
// Matching is quadratic in the records; a hostile message full of PTRs and
// SRVs must not keep the phone busy, and no network has this many PCs.
constexpr std::size_t kMaxInstances = 64;

void Put16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// Reads a message front to back; every read checks the bounds first and a
// failed one leaves `ok_` false for good.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  bool ok() const { return ok_; }
  std::size_t position() const { return position_; }
  void Invalidate() { ok_ = false; }

  std::uint16_t U16() {
    if (!Need(2)) return 0;
    const auto value = static_cast<std::uint16_t>(bytes_[position_] << 8 | bytes_[position_ + 1]);
    position_ += 2;
    return value;
  }

  void Skip(std::size_t count) {
    if (Need(count)) position_ += count;
  }

  // The (possibly compressed) name at the current position.
  std::string Name() {
    if (!ok_) return {};
    std::string name;
    std::size_t at = position_;
    std::size_t wireBytes = 0;
    int jumps = 0;
    bool jumped = false;
    for (;;) {
      if (at >= bytes_.size()) return Fail();
      const std::uint8_t length = bytes_[at];
      if ((length & 0xC0) == 0xC0) {
        if (at + 1 >= bytes_.size() || ++jumps > kMaxPointerJumps) return Fail();
        if (!jumped) position_ = at + 2;
        jumped = true;
        at = static_cast<std::size_t>((length & 0x3F) << 8 | bytes_[at + 1]);
        continue;
      }
      if ((length & 0xC0) != 0) return Fail();  // label types 01 and 10 are reserved
      wireBytes += length + 1u;
      if (wireBytes > kMaxDnsNameBytes) return Fail();
      if (length == 0) {
        if (!jumped) position_ = at + 1;
        return name;
      }
      if (length > bytes_.size() - at - 1) return Fail();
      if (!name.empty()) name += '.';
      AppendLabel(bytes_.subspan(at + 1, length), name);
      at += 1 + length;
    }
  }

  Ipv4Bytes Address() {
    Ipv4Bytes address{};
    if (!Need(address.size())) return address;
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(position_), address.size(), address.begin());
    position_ += address.size();
    return address;
  }

 private:
  bool Need(std::size_t count) {
    if (ok_ && count <= bytes_.size() - position_) return true;
    ok_ = false;
    return false;
  }

  std::string Fail() {
    Invalidate();
    return {};
  }

  static void AppendLabel(std::span<const std::uint8_t> label, std::string& out) {
    for (const std::uint8_t byte : label) {
      if (byte == '.' || byte == '\\') {
        out += '\\';
        out += static_cast<char>(byte);
      } else if (byte < 0x20 || byte == 0x7F) {
        // Escaped so that a hostile name cannot drive the terminal.
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\%03u", static_cast<unsigned>(byte));
        out += escaped;
      } else {
        out += static_cast<char>(byte);
      }
    }
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
  bool ok_ = true;
};

// Reads one resource record; the reader's ok() tells whether it was whole.
DnsRecord ReadRecord(Reader& reader) {
  DnsRecord record;
  record.name = reader.Name();
  record.type = reader.U16();
  record.dnsClass = static_cast<std::uint16_t>(reader.U16() & ~kCacheFlushBit);
  reader.Skip(4);  // TTL: the phone keeps nothing
  const std::uint16_t length = reader.U16();
  const std::size_t start = reader.position();
  switch (record.type) {
    case kDnsTypePtr:
      record.target = reader.Name();
      break;
    case kDnsTypeSrv:
      record.priority = reader.U16();
      record.weight = reader.U16();
      record.port = reader.U16();
      record.target = reader.Name();
      break;
    case kDnsTypeA:
      record.address = reader.Address();
      break;
    default:
      reader.Skip(length);
      break;
  }
  // The content must fill the RDATA exactly; a mismatch means the rest of the
  // message would be read out of step.
  if (reader.ok() && reader.position() - start != length) reader.Invalidate();
  return record;
}

}  // namespace

Bytes BuildDnsQuery(std::string_view name, std::uint16_t type) {
  Bytes out;
  for (const int field : {0, 0, 1, 0, 0, 0}) Put16(out, static_cast<std::uint16_t>(field));  // ID, flags, counts
  const std::string whole(name);
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  std::size_t wireBytes = 1;
  while (true) {
    const std::size_t dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    if (label.empty() || label.size() > kMaxDnsLabelBytes) {
      throw DnsNameError("'" + whole + "' has an empty or overlong label");
    }
    wireBytes += 1 + label.size();
    out.push_back(static_cast<std::uint8_t>(label.size()));
    out.insert(out.end(), label.begin(), label.end());
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
  }
  if (wireBytes > kMaxDnsNameBytes) throw DnsNameError("'" + whole + "' is longer than 255 bytes");
  out.push_back(0);
  Put16(out, type);
  Put16(out, kDnsClassIn);
  return out;
}

std::optional<DnsMessage> ParseDnsMessage(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeaderBytes) return std::nullopt;
  Reader reader(bytes);
  DnsMessage message;
  message.id = reader.U16();
  message.flags = reader.U16();
  message.questionCount = reader.U16();
  const std::size_t answers = reader.U16();
  const std::size_t authorities = reader.U16();
  const std::size_t additionals = reader.U16();
  const std::size_t recordCount = answers + authorities + additionals;
  for (std::size_t i = 0; i < message.questionCount && reader.ok(); ++i) {
    reader.Name();
    reader.Skip(4);  // QTYPE, QCLASS
  }
  // Every record takes at least 11 bytes, so a lying count ends at the bounds.
  for (std::size_t i = 0; i < recordCount && reader.ok(); ++i) message.records.push_back(ReadRecord(reader));
  if (!reader.ok()) return std::nullopt;
  return message;
}

bool SameDnsName(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::vector<ServiceInstance> ResolveServices(const DnsMessage& message, std::string_view service) {
  std::vector<ServiceInstance> found;
  if ((message.flags & kResponseBit) == 0 || (message.flags & (kOpcodeMask | kRcodeMask)) != 0) return found;
  const auto isIn = [](const DnsRecord& r, std::uint16_t type) { return r.type == type && r.dnsClass == kDnsClassIn; };
  for (const DnsRecord& ptr : message.records) {
    if (!isIn(ptr, kDnsTypePtr) || !SameDnsName(ptr.name, service)) continue;
    for (const DnsRecord& srv : message.records) {
      if (!isIn(srv, kDnsTypeSrv) || !SameDnsName(srv.name, ptr.target) || srv.port == 0) continue;
      ServiceInstance instance{ptr.target, srv.target, srv.port, {}};
      for (const DnsRecord& a : message.records) {
        if (isIn(a, kDnsTypeA) && SameDnsName(a.name, srv.target)) instance.addresses.push_back(a.address);
      }
      found.push_back(std::move(instance));
      if (found.size() == kMaxInstances) return found;
    }
  }
  return found;
}

}  // namespace vandrel::phone
