// Input datagrams through the Server's UDP port, the input queue and the
// injector's policy into a recording mechanism.
//
// Input: datagrams, each a length byte (with bit 7 set, a second byte adds
// the low 8 bits of a 15-bit length) then that many bytes. At most 32 per input.
// Run inside scripts/netns-run.sh.
#include "InputRig.h"
#include "NetworkRig.h"

namespace vandrel::fuzz {
namespace {

constexpr std::size_t kMaxDatagrams = 32;

struct Rig {
  InputRig input;
  Datagrams phone;
};

Rig* g_rig = nullptr;

void SetUp() {
  RequirePrivateNetwork("fuzz_udp_input");
  QuietLog();
  g_rig = new Rig;
  StartServer(g_rig->input.queue());
}

void RunOne(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  for (std::size_t count = 0; count < kMaxDatagrams && !in.empty(); ++count) {
    std::size_t length = in.Byte();
    if (length & 0x80) length = ((length & 0x7F) << 8) | in.Byte();
    g_rig->phone.SendTo(kPort, in.Take(length));
  }
  // Once the marker is through, so is everything before it. Datagrams on
  // loopback are lost only when a buffer overflows; then the marker goes again.
  std::uint64_t sequence = 0;
  const auto marker = g_rig->input.NextMarker(sequence);
  bool through = false;
  for (int attempt = 0; attempt < 50 && !through; ++attempt) {
    g_rig->phone.SendTo(kPort, marker);
    through = g_rig->input.WaitForMarker(sequence, std::chrono::milliseconds(200));
  }
  if (!through) Fail("the server never passed the marker datagram on");
  g_rig->input.Settle();
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
