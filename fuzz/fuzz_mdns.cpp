// The mDNS responder on its port: one datagram as it is, then a well-formed
// query from another socket that must still be answered. The answer builder
// and the name encoder get the input as a name as well.
// Run inside scripts/netns-run.sh.
#include "NetworkRig.h"
#include "net/MdnsResponder.h"

namespace vandrel::fuzz {
namespace {

struct Rig {
  asio::io_context io;
  std::unique_ptr<MdnsResponder> responder;
  Datagrams stranger;
  Datagrams phone;
  std::vector<std::uint8_t> query;
};

Rig* g_rig = nullptr;

// A PTR question for the service, as a phone browsing for it asks.
std::vector<std::uint8_t> ServiceQuery() {
  std::vector<std::uint8_t> out = {0x12, 0x34, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  const auto name = MdnsResponder::EncodeName("_vandrel._tcp.local");
  out.insert(out.end(), name.begin(), name.end());
  out.insert(out.end(), {0, 12, 0, 1});
  return out;
}

void SetUp() {
  RequirePrivateNetwork("fuzz_mdns");
  QuietLog();
  g_rig = new Rig;
  g_rig->responder = std::make_unique<MdnsResponder>(g_rig->io, "_vandrel", kPort, kMdnsPort);
  g_rig->responder->Start();
  g_rig->query = ServiceQuery();
  AtExit([] { g_rig->responder.reset(); });
}

// The responder's handlers run on this thread, between the sends.
std::optional<std::vector<std::uint8_t>> AnswerToPhone() {
  for (int round = 0; round < 100; ++round) {
    if (auto answer = g_rig->phone.Receive(0)) return answer;
    if (g_rig->io.stopped()) g_rig->io.restart();
    g_rig->io.run_one_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

void RunOne(const std::uint8_t* data, std::size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const auto encoded = MdnsResponder::EncodeName(name);
  if (encoded.size() != size + 2) Fail("an encoded name of " + std::to_string(encoded.size()) + " bytes");
  const auto response = g_rig->responder->BuildResponse(name, 15);
  if (response.size() < 12) Fail("a response shorter than its header");
  if (MdnsResponder::Matches(name) != (response.size() > 12)) Fail("an answer that does not follow Matches");

  g_rig->stranger.SendTo(kMdnsPort, std::span(data, size));
  std::optional<std::vector<std::uint8_t>> answer;
  for (int attempt = 0; attempt < 20 && !answer; ++attempt) {
    g_rig->phone.SendTo(kMdnsPort, g_rig->query);
    answer = AnswerToPhone();
  }
  if (!answer || answer->size() <= 12) Fail("the service query went unanswered");
  g_rig->phone.Drain();
  g_rig->stranger.Drain();
}

}  // namespace
}  // namespace vandrel::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vandrel::fuzz::SetUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vandrel::fuzz::RunOne(data, size);
  return 0;
}
