#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "FakeResponder.h"
#include "vandrel-phone/Commands.h"
#include "vandrel-phone/MdnsQuery.h"

namespace vandrel::phone {
namespace {

using testing::BytesOf;
using testing::FakeResponder;

// Hand-built wire pieces, so the parser is checked against the format and not
// against its own builder.
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
Bytes U16(std::size_t value) { return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)}; }
Bytes Pointer(std::size_t offset) { return U16(0xC000 | offset); }
// The labels, then `end`: the root or a pointer to the rest of the name.
Bytes Name(std::initializer_list<std::string_view> labels, Bytes end = {0}) {
  Bytes out;
  for (const auto label : labels) out = Cat({out, {static_cast<std::uint8_t>(label.size())}, BytesOf(label)});
  return Cat({out, end});
}
Bytes Header(unsigned flags, unsigned questions, unsigned answers, unsigned additional) {
  return Cat({U16(0), U16(flags), U16(questions), U16(answers), U16(0), U16(additional)});
}
// Class IN with mDNS's cache-flush bit, TTL 120.
Bytes Record(const Bytes& owner, unsigned type, const Bytes& rdata) {
  return Cat({owner, U16(type), U16(0x8001), {0, 0, 0, 120}, U16(rdata.size()), rdata});
}

const Bytes kService = Name({"_vandrel", "_tcp", "local"});
const Bytes kInstance = Name({"DESK-7", "_vandrel", "_tcp", "local"});
const Bytes kHost = Name({"DESK-7", "local"});
const Bytes kSrvFields = {0, 0, 0, 0, 0x1B, 0x39};  // priority 0, weight 0, port 6969
const Bytes kAddress = {10, 213, 0, 2};
const Bytes kQuestionTail = {0, 12, 0, 1};  // PTR, IN

Bytes Uncompressed(unsigned flags = 0x8400) {
  return Cat({Header(flags, 0, 3, 1), Record(kService, kDnsTypePtr, kInstance),
              Record(kInstance, kDnsTypeSrv, Cat({kSrvFields, kHost})), Record(kHost, kDnsTypeA, kAddress),
              Record(kInstance, kDnsTypeTxt, {0})});
}

// Echoes the question, as a reply to a query from an ordinary port does, and
// names everything after it by pointers, one of them to another pointer; the
// A owner differs in case, as DNS allows.
Bytes Compressed() {
  constexpr std::size_t kLocalAt = 12 + 1 + 8 + 1 + 4;  // "local" inside the question
  const Bytes instance = Name({"DESK-7"}, Pointer(12));
  Bytes out = Cat({Header(0x8400, 1, 3, 1), kService, kQuestionTail, Record(Pointer(12), kDnsTypePtr, instance)});
  const std::size_t instanceAt = out.size() - instance.size();
  const std::size_t srvAt = out.size();
  return Cat({out, Record(Pointer(instanceAt), kDnsTypeSrv, Cat({kSrvFields, Name({"DESK-7"}, Pointer(kLocalAt))})),
              Record(Name({"desk-7"}, Pointer(kLocalAt)), kDnsTypeA, kAddress),
              Record(Pointer(srvAt), kDnsTypeTxt, {0})});
}

void ExpectResolvesDesk(const Bytes& response) {
  const auto message = ParseDnsMessage(response);
  ASSERT_TRUE(message.has_value());
  ASSERT_EQ(message->records.size(), 4u);
  const auto found = ResolveServices(*message, kVandrelService);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].instance, "DESK-7._vandrel._tcp.local");
  EXPECT_EQ(found[0].host, "DESK-7.local");
  EXPECT_EQ(found[0].port, 6969);
  EXPECT_EQ(found[0].addresses, (std::vector<Ipv4Bytes>{{10, 213, 0, 2}}));
}

TEST(PhoneDnsTest, ResponsesResolveWithAndWithoutCompression) {
  ExpectResolvesDesk(Uncompressed());
  ExpectResolvesDesk(Compressed());
  // A query carrying the same records is no answer.
  const auto query = ParseDnsMessage(Uncompressed(0));
  ASSERT_TRUE(query.has_value());
  EXPECT_TRUE(ResolveServices(*query, kVandrelService).empty());
}

TEST(PhoneDnsTest, EveryTruncationIsRejected) {
  for (const Bytes& whole : {Uncompressed(), Compressed()}) {
    for (std::size_t size = 0; size < whole.size(); ++size) {
      // A copy of exactly `size` bytes, so that a sanitizer sees any read past it.
      const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
      EXPECT_FALSE(ParseDnsMessage(cut).has_value()) << size << " of " << whole.size();
    }
  }
}

TEST(PhoneDnsTest, MalformedNamesAndRecordsAreRejected) {
  const auto withQuestionName = [](const Bytes& name) { return Cat({Header(0x8400, 1, 0, 0), name, kQuestionTail}); };
  const std::string label63(63, 'a');
  const std::vector<Bytes> bad = {
      withQuestionName(Pointer(12)),                                      // points at itself
      withQuestionName(Cat({Pointer(14), Pointer(12)})),                  // two pointers in a ring
      withQuestionName(Name({"a"}, Pointer(12))),                         // a ring that grows the name
      withQuestionName(Pointer(0x3FFF)),                                  // past the end
      withQuestionName({0x3F, 'a', 'b', 0}),                              // label longer than what is left
      withQuestionName({0x40, 'a', 0}),                                   // reserved label type
      withQuestionName(Name({label63, label63, label63, label63, "x"})),  // name over 255 bytes
      // RDATA whose length disagrees with its content
      Cat({Header(0x8400, 0, 1, 0), Record(kHost, kDnsTypeA, {10, 213, 0, 2, 0})}),
      Cat({Header(0x8400, 0, 1, 0), Record(kService, kDnsTypePtr, Bytes(kInstance.begin(), kInstance.end() - 1)), {0}}),
  };
  for (const Bytes& message : bad) {
    EXPECT_FALSE(ParseDnsMessage(message).has_value()) << ::testing::PrintToString(message);
  }

  EXPECT_THROW(BuildDnsQuery("a..local", kDnsTypePtr), DnsNameError);
  EXPECT_THROW(BuildDnsQuery(std::string(64, 'a') + ".local", kDnsTypePtr), DnsNameError);
}

TEST(PhoneDnsTest, DiscoverAsksByMdnsAndPrintsWhatResolves) {
  FakeResponder responder({Bytes(30, 0), Compressed()});
  std::ostringstream out, err;
  const std::vector<std::string> args = {"--mdns-port", std::to_string(responder.port()), "discover", "--mdns",
                                         "--to",        "127.0.0.1",                      "--wait",   "1"};
  const int status = RunPhone(args, out, err);
  EXPECT_EQ(responder.Finish(), Cat({Header(0, 1, 0, 0), kService, kQuestionTail}));
  EXPECT_EQ(status, 0) << err.str();
  EXPECT_EQ(out.str(), "DESK-7._vandrel._tcp.local -> DESK-7.local 10.213.0.2 port 6969\n");
}

}  // namespace
}  // namespace vandrel::phone
