// One datagram, as it is, to the Server's discovery port; a probe from another
// socket afterwards must still get the PC's identity.
// Run inside scripts/netns-run.sh.
#include "NetworkRig.h"

namespace vandrel::fuzz {
namespace {

constexpr std::string_view kProbe = "VANDREL_DISCOVER";

struct Rig {
  InputQueue queue{[](const std::uint8_t*, std::size_t) {}};
  Datagrams stranger;
  Datagrams phone;
  std::string identity;
};

Rig* g_rig = nullptr;

void SetUp() {
  RequirePrivateNetwork("fuzz_discovery");
  QuietLog();
  g_rig = new Rig;
  g_rig->queue.Start();
  StartServer(g_rig->queue);
  g_rig->identity = "VANDREL|" + asio::ip::host_name() + "|" + std::to_string(kPort) + "\n";
}

void RunOne(const std::uint8_t* data, std::size_t size) {
  g_rig->stranger.SendTo(kDiscoveryPort, std::span(data, size));
  // Datagrams are handled in arrival order, so the answer to this probe comes
  // after the one above was dealt with.
  const auto probe = std::span(reinterpret_cast<const std::uint8_t*>(kProbe.data()), kProbe.size());
  std::optional<std::vector<std::uint8_t>> answer;
  for (int attempt = 0; attempt < 50 && !answer; ++attempt) {
    g_rig->phone.SendTo(kDiscoveryPort, probe);
    answer = g_rig->phone.Receive(200);
  }
  if (!answer) Fail("a probe went unanswered");
  if (std::string(answer->begin(), answer->end()) != g_rig->identity) {
    Fail("a probe got " + Printable(std::string(answer->begin(), answer->end())));
  }
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
