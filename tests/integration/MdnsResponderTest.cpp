#include <gtest/gtest.h>

#include <array>
#include <asio.hpp>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>
#include <tuple>

#include "LogCapture.h"
#include "WaitUntil.h"
#include "net/MdnsResponder.h"

namespace vandrel::testing {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using udp = asio::ip::udp;
constexpr std::uint16_t kTestMdnsPort = 15353;

// Walks a message by its length fields, so a wrong length shows as a wrong
// field after it or as reading past the end.
struct Reader {
  const Bytes& m;
  std::size_t pos = 0;
  std::uint32_t Int(int bytes) {
    std::uint32_t value = 0;
    while (bytes-- > 0) value = (value << 8) | m.at(pos++);
    return value;
  }
  Bytes Take(std::size_t n) {
    Bytes out;
    while (n-- > 0) out.push_back(m.at(pos++));
    return out;
  }
  std::string Name() {  // our responses are never compressed
    std::string name;
    for (std::size_t n = m.at(pos++); n != 0; n = m.at(pos++)) {
      const Bytes label = Take(n);
      name += (name.empty() ? "" : ".") + std::string(label.begin(), label.end());
    }
    return name;
  }
};

struct Record {
  std::string owner;
  std::uint32_t type, ttl;
  Bytes data;
};
using Fields = std::tuple<std::string, std::uint32_t, Bytes>;
Fields OwnerTypeData(const Record& record) { return {record.owner, record.type, record.data}; }

struct Message {
  std::size_t size;
  std::vector<std::uint32_t> header;  // ID, flags, QD, AN, NS, AR
  std::vector<Record> records;
};

Message Parse(const Bytes& m) {
  Reader r{m};
  Message message{m.size(), {}, {}};
  for (int i = 0; i < 6; ++i) message.header.push_back(r.Int(2));
  for (std::uint32_t i = 0; i < message.header[3] + message.header[5]; ++i) {
    Record record{r.Name(), r.Int(2), 0, {}};
    EXPECT_EQ(r.Int(2), 1u) << "class IN without the cache-flush bit";
    record.ttl = r.Int(4);
    record.data = r.Take(r.Int(2));
    message.records.push_back(record);
  }
  EXPECT_EQ(r.pos, m.size());
  return message;
}

Bytes Query(const std::vector<std::string>& names, std::uint8_t flagsHigh = 0) {
  Bytes query = {0x12, 0x34, flagsHigh, 0, 0, static_cast<std::uint8_t>(names.size()), 0, 0, 0, 0, 0, 0};
  for (const auto& name : names) {
    const auto encoded = MdnsResponder::EncodeName(name);
    query.insert(query.end(), encoded.begin(), encoded.end());
    query.insert(query.end(), {0, 255, 0, 1});  // QTYPE ANY, QCLASS IN
  }
  return query;
}

class MdnsResponderTest : public ::testing::Test {
 protected:
  void StartResponder(std::uint16_t mdnsPort = kTestMdnsPort) {
    responder_ = std::make_unique<MdnsResponder>(responderIo_, "_vandrel", 6969, mdnsPort);
    responder_->Start();
  }
  void TearDown() override {
    responder_.reset();
    work_.reset();
    ioThread_.join();
  }

  std::optional<Message> Receive(udp::socket& socket) {
    std::array<std::uint8_t, 1024> buffer{};
    udp::endpoint from;
    std::optional<Message> result;
    socket.async_receive_from(asio::buffer(buffer), from, [&](const asio::error_code& ec, std::size_t n) {
      if (!ec) result = Parse(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n)));
    });
    io_.restart();
    if (io_.run_for(5s) == 0) {
      socket.cancel();
      io_.run();
    }
    return result;
  }
  void Send(const Bytes& datagram) {
    client_.send_to(asio::buffer(datagram), {asio::ip::make_address("127.0.0.1"), kTestMdnsPort});
  }

  LogCapture log_;
  asio::io_context responderIo_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(responderIo_);
  std::thread ioThread_{[this] { responderIo_.run(); }};
  std::unique_ptr<MdnsResponder> responder_;
  asio::io_context io_;
  udp::socket client_{io_, {asio::ip::make_address("127.0.0.1"), 0}};
};

TEST_F(MdnsResponderTest, AnswersWithPtrSrvAAndAnEmptyTxt) {
  EXPECT_EQ(MdnsResponder::EncodeName("PC1._vandrel._tcp.local"),
            (Bytes{3, 'P', 'C', '1', 8, '_', 'v', 'a', 'n', 'd', 'r', 'e', 'l', 4, '_', 't', 'c', 'p', 5, 'l', 'o', 'c',
                   'a', 'l', 0}));
  StartResponder();
  const std::string host = responder_->HostName();
  const std::string instance = host + "._vandrel._tcp.local";
  ASSERT_EQ(responder_->Ip(), "10.213.0.2");
  Send(Query({"_vandrel._tcp.local"}));
  const auto m = Receive(client_);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->header, (std::vector<std::uint32_t>{0, 0x8400, 0, 3, 0, 1}));
  ASSERT_EQ(m->records.size(), 4u);
  for (const auto& record : m->records) EXPECT_EQ(record.ttl, 15u) << record.owner;
  EXPECT_EQ(OwnerTypeData(m->records[0]), Fields("_vandrel._tcp.local", 12, MdnsResponder::EncodeName(instance)));
  const Record& srv = m->records[1];
  EXPECT_EQ(srv.owner, instance);
  EXPECT_EQ(srv.type, 33u);
  Reader srvData{srv.data};
  EXPECT_EQ(srvData.Int(2), 32u);
  EXPECT_EQ(srvData.Int(2), 1u);
  EXPECT_EQ(srvData.Int(2), 6969u);
  EXPECT_EQ(srvData.Name(), host + ".local");
  EXPECT_EQ(srvData.pos, srv.data.size());
  EXPECT_EQ(OwnerTypeData(m->records[2]), Fields(host + ".local", 1, {10, 213, 0, 2}));
  EXPECT_EQ(OwnerTypeData(m->records[3]), Fields(instance, 16, {0}));
  EXPECT_TRUE(log_.Contains("[MDNS] Started, service: _vandrel, host: " + host + ", ip: 10.213.0.2, port: 6969"));
  const std::string responded =
      "[MDNS] Responded to query for _vandrel._tcp.local (" + std::to_string(m->size) + " bytes -> 127.0.0.1)";
  EXPECT_TRUE(WaitUntil([&] { return log_.Contains(responded); })) << responded;
}

TEST_F(MdnsResponderTest, AnswersEachQuestionAboutATcpServiceAndSurvivesBadDatagrams) {
  StartResponder();
  Send(Query({"_foo._udp.local"}));
  Send(Query({"_vandrel._tcp.local"}, 0x84));  // a response, not a query
  Send(Query({"_http._tcp.local"}));
  Send(Query({"_foo._udp.local", "_vandrel._tcp.local", "x._vandrel._tcp.local"}));
  Send(Bytes{0, 0, 0, 0, 0});
  Send(Bytes{});
  Send(Bytes{0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 63, 'a', 'b'});          // label runs past the end
  Send(Bytes{0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xC0, 0x0C, 0, 1, 0, 1});  // compression pointer
  Bytes missingQuestions = Query({"_foo._udp.local"});
  missingQuestions[5] = 9;
  Send(missingQuestions);
  Bytes oversized = Query({"_vandrel._tcp.local"});
  oversized.resize(600, 0);
  Send(oversized);
  Send(Query({"_vandrel._tcp.local"}));
  for (int i = 0; i < 4; ++i) {
    const auto answer = Receive(client_);
    ASSERT_TRUE(answer) << i;
    EXPECT_EQ(answer->header[3], 3u) << i;
  }
  // Datagrams are handled in order, so every earlier one has been by now.
  ASSERT_TRUE(WaitUntil([&] { return log_.Count("[MDNS] Responded to query for ") >= 4; }));
  EXPECT_EQ(log_.Count("[MDNS] Responded to query for "), 4u);
  EXPECT_TRUE(log_.Contains("[MDNS] Responded to query for _http._tcp.local ("));
  EXPECT_TRUE(log_.Contains("[MDNS] Responded to query for x._vandrel._tcp.local ("));
  EXPECT_EQ(log_.Count("[MDNS] Receive error: "), 1u);
  EXPECT_EQ(log_.Count("[MDNS] Packet handling failed") + log_.Count("[MDNS] Failed to respond"), 0u);
}

TEST_F(MdnsResponderTest, QueriedNamesReachTheLogEscaped) {
  StartResponder();
  Send(Query({"x\n[SERVER] Closed.\x1b[2J._vandrel._tcp.local"}));
  const auto answer = Receive(client_);
  ASSERT_TRUE(answer);
  const std::string line = "[MDNS] Responded to query for x\\x0a[SERVER] Closed.\\x1b[2J._vandrel._tcp.local (";
  ASSERT_TRUE(WaitUntil([&] { return log_.Contains(line); })) << line;
  for (const auto& logged : log_.Lines()) {
    EXPECT_EQ(logged.find_first_of("\n\x1b"), std::string::npos) << logged;
  }
}

TEST_F(MdnsResponderTest, AnnouncesOnTheGroupAndStopPromptlySaysGoodbye) {
  udp::socket group(io_);
  group.open(udp::v4());
  group.set_option(udp::socket::reuse_address(true));
  group.bind({asio::ip::address_v4::any(), kTestMdnsPort});
  group.set_option(asio::ip::multicast::join_group(asio::ip::make_address_v4("224.0.0.251")));
  StartResponder();
  // Announcements at 0, 0.5 and 1.5 s; after the third the announcer sleeps 3 s.
  for (int i = 0; i < 3; ++i) {
    const auto announcement = Receive(group);
    ASSERT_TRUE(announcement) << i;
    EXPECT_EQ(announcement->records.at(0).ttl, 15u);
  }
  const auto before = std::chrono::steady_clock::now();
  responder_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2500ms) << "Stop waited out the announcer's sleep";
  const auto goodbye = Receive(group);
  ASSERT_TRUE(goodbye);
  ASSERT_EQ(goodbye->records.size(), 4u);
  for (const auto& record : goodbye->records) EXPECT_EQ(record.ttl, 0u) << record.owner;
  EXPECT_TRUE(log_.Contains("[MDNS] Sent goodbye (TTL=0)"));
  EXPECT_EQ(log_.Lines().back(), "[MDNS] Stopped");
}

TEST_F(MdnsResponderTest, ZeroconfClientResolvesTheService) {
  StartResponder(5353);
  const std::string command = std::string("/usr/bin/python3 ") + VANDREL_ZEROCONF_SCRIPT + " 20 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  ASSERT_TRUE(pipe);
  std::string output;
  std::array<char, 256> chunk{};
  while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe.get())) output += chunk.data();
  const std::string expected = "host=" + responder_->HostName() + ".local. addresses=10.213.0.2 port=6969";
  EXPECT_NE(output.find(expected), std::string::npos) << output;
}

}  // namespace
}  // namespace vandrel::testing
