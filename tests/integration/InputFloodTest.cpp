// The real program flooded with input over TCP and UDP: its memory stays
// bounded, it keeps answering phones, and what reaches the X server on
// $DISPLAY is what the phones sent.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "ServerFixture.h"
#include "VandrelProcess.h"

// Xlib defines Success as a macro: the handshake's answer is named before its headers come in.
namespace vandrel::testing {
constexpr auto kFloodHandshakeSuccess = phone::HandshakeResult::Success;
}

#include "X11Probe.h"

namespace vandrel::testing {
namespace {

using Clock = std::chrono::steady_clock;
using Datagram = std::vector<std::uint8_t>;

std::uint64_t ResidentKiB(pid_t pid) {
  std::istringstream status(ReadBinary("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stoull(line.substr(6));
  }
  return 0;
}

// The program's UDP input socket as this network namespace's kernel sees it.
struct InputSocket {
  bool found = false;
  std::uint64_t queuedBytes = 0;
  std::uint64_t drops = 0;
};

InputSocket ReadInputSocket(std::uint16_t port) {
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, "00000000:%04X", port);
  std::istringstream table(ReadBinary("/proc/net/udp"));
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    // sl local remote st tx_queue:rx_queue tr:when retrnsmt uid timeout inode ref pointer drops
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, field;
    fields >> slot >> local >> remote >> state >> queues;
    if (local != wanted) continue;
    InputSocket socket{.found = true};
    socket.queuedBytes = std::stoull(queues.substr(queues.find(':') + 1), nullptr, 16);
    while (fields >> field) socket.drops = std::stoull(field);
    return socket;
  }
  return {};
}

// Datagrams to the program's input port as fast as it takes them, but never
// more than a quarter of the default receive buffer waiting: the kernel then
// drops none, so the program receives exactly what was sent. The socket's drop
// counter confirms it afterwards.
class PacedSender {
 public:
  explicit PacedSender(std::uint16_t port) : port_(port), socket_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(socket_, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  ~PacedSender() { ::close(socket_); }
  PacedSender(const PacedSender&) = delete;
  PacedSender& operator=(const PacedSender&) = delete;

  bool Send(const Datagram& datagram) {
    if (++sinceCheck_ >= 32) {
      sinceCheck_ = 0;
      while (ReadInputSocket(port_).queuedBytes > 212992 / 4) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const bool sent = ::send(socket_, datagram.data(), datagram.size(), 0) == static_cast<ssize_t>(datagram.size());
    sent_ += sent ? 1 : 0;
    return sent;
  }
  std::uint64_t sent() const { return sent_; }

 private:
  std::uint16_t port_;
  int socket_;
  int sinceCheck_ = 0;
  std::uint64_t sent_ = 0;
};

class InputFlood : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "DISPLAY is not set; scripts/test.sh starts an Xvfb";
    if (!probe_.usable()) GTEST_SKIP() << "cannot open DISPLAY=" << std::getenv("DISPLAY");
  }

  std::unique_ptr<VandrelProcess> Start() {
    // The per-record input dump would make the flood measure the log file.
    auto process = std::make_unique<VandrelProcess>(
        home_,
        std::vector<std::string>{"--headless", "--port", std::to_string(port_), "--no-ble", "--no-mdns", "--no-adb"},
        std::vector<std::string>{"VANDREL_SENDINPUT_DEBUG=false"});
    EXPECT_TRUE(process->Spawned());
    EXPECT_TRUE(process->WaitForLog("[SERVER] Started")) << process->Output();
    EXPECT_TRUE(process->WaitForLog("[SendInput] X11 display")) << "the program did not take the display";
    return process;
  }

  std::unique_ptr<phone::PhoneClient> Phone(double timeoutSeconds) {
    auto phone = std::make_unique<phone::PhoneClient>(phone::Seconds(timeoutSeconds));
    phone->Connect("127.0.0.1", port_, "Maker/Phone/Model-1/1");
    EXPECT_EQ(phone->Handshake(std::nullopt), kFloodHandshakeSuccess);
    return phone;
  }

  std::string PointerText() const {
    const auto [x, y] = probe_.Pointer();
    return "pointer at " + std::to_string(x) + "," + std::to_string(y);
  }

  X11Probe probe_;
  TempDir home_;
  std::uint16_t port_ = NextTestPort();
};

TEST_F(InputFlood, ScrollsAndMovesKeepMemoryBoundedAndThePointerExact) {
  auto vandrel = Start();
  auto scroller = Phone(60);
  auto other = Phone(10);
  const InputSocket before = ReadInputSocket(port_);
  ASSERT_TRUE(before.found) << "no UDP socket on port " << port_;
  probe_.WarpPointer(640, 400);
  const std::uint64_t rssBefore = ResidentKiB(vandrel->Pid());

  // 2,000,000 SCROLL frames (06 amount), +1 and -1 by turns.
  std::atomic<bool> tcpDone{false};
  std::string tcpError;
  std::thread tcp([&] {
    std::vector<std::uint8_t> chunk(65536);
    for (std::size_t i = 0; i < chunk.size(); i += 2) {
      chunk[i] = 6;
      chunk[i + 1] = (i / 2) % 2 == 0 ? 0x01 : 0xFF;
    }
    try {
      for (std::size_t sent = 0, total = 2'000'000 * 2; sent < total; sent += chunk.size()) {
        scroller->Send(std::span(chunk.data(), std::min(chunk.size(), total - sent)));
      }
    } catch (const std::exception& e) {
      tcpError = e.what();
    }
    tcpDone = true;
  });
  // MOVEs for 3 s whose sum is zero per cycle, then a known last stretch: the
  // pointer goes against the phone's deltas, ten times (+3, -2).
  std::atomic<bool> udpDone{false};
  std::uint64_t moves = 0;
  std::thread udp([&] {
    PacedSender sender(port_);
    for (const auto end = Clock::now() + std::chrono::seconds(3); Clock::now() < end;) {
      for (int i = 0; i < 40; ++i) sender.Send({5, 0x01, 0x01});
      for (int i = 0; i < 40; ++i) sender.Send({5, 0xFF, 0xFF});
    }
    for (int i = 0; i < 10; ++i) sender.Send({5, 0xFD, 0x02});
    moves = sender.sent();
    udpDone = true;
  });

  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  double pingSeconds = 1e9;
  std::string pingError;
  try {
    pingSeconds = other->Ping().count();
  } catch (const std::exception& e) {
    pingError = e.what();
  }
  std::uint64_t rssPeak = rssBefore;
  while (!tcpDone || !udpDone) {
    rssPeak = std::max(rssPeak, ResidentKiB(vandrel->Pid()));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  tcp.join();
  udp.join();
  EXPECT_TRUE(tcpError.empty()) << tcpError;
  EXPECT_TRUE(pingError.empty()) << pingError;
  EXPECT_LT(pingSeconds, 2.0) << "a second phone's PING during the flood";

  const InputSocket after = ReadInputSocket(port_);
  ASSERT_EQ(after.drops, before.drops) << "the kernel dropped MOVE datagrams: the sum received is unknown";
  EXPECT_GT(moves, 10'000u);
  EXPECT_TRUE(WaitUntil([&] { return probe_.Pointer() == std::pair(670, 380); }, std::chrono::seconds(60)))
      << PointerText() << " after " << moves << " moves";
  rssPeak = std::max(rssPeak, ResidentKiB(vandrel->Pid()));
  EXPECT_LT(rssPeak - rssBefore, 32u * 1024) << "VmRSS grew from " << rssBefore << " kB to " << rssPeak << " kB";
  std::printf("%llu moves, PING %.3f s, VmRSS %llu -> peak %llu kB, %s\n", static_cast<unsigned long long>(moves),
              pingSeconds, static_cast<unsigned long long>(rssBefore), static_cast<unsigned long long>(rssPeak),
              vandrel->Log().find("[INPUT_QUEUE] Dropped ") == std::string::npos ? "no drops" : "drops");
  other->Ping();  // the flooding session is still served too
  scroller->Ping();
}

TEST_F(InputFlood, KeyPairsFloodingAFullQueueLeaveNoKeyDown) {
  auto vandrel = Start();
  const InputSocket before = ReadInputSocket(port_);
  ASSERT_TRUE(before.found) << "no UDP socket on port " << port_;
  const auto start = Clock::now();
  PacedSender sender(port_);
  for (const auto end = start + std::chrono::seconds(2); Clock::now() < end;) {
    sender.Send({13, 0x04, 0x00});
    sender.Send({14, 0x04, 0x00});
  }
  ASSERT_EQ(ReadInputSocket(port_).drops, before.drops) << "the kernel dropped datagrams, KEYUPs among them perhaps";

  // The queue is first in, first out: once a MOVE sent after the flood has
  // moved the pointer, everything before it has been injected. A MOVE
  // arriving while the queue is still full is dropped; another follows.
  probe_.WarpPointer(640, 400);
  const bool idle = WaitUntil(
      [&] {
        sender.Send({5, 0xFF, 0x00});
        return WaitUntil([&] { return probe_.Pointer() != std::pair(640, 400); }, std::chrono::milliseconds(500));
      },
      std::chrono::seconds(60));
  ASSERT_TRUE(idle) << PointerText();
  char keys[32] = {};
  XQueryKeymap(probe_.display(), keys);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(keys[i], 0) << "a key is down in byte " << i << " of the keymap";

  // At most one drop line per 5 s of the flood and its aftermath.
  const std::string log = vandrel->Log();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::size_t lines = 0;
  for (auto at = log.find("[INPUT_QUEUE] Dropped "); at != std::string::npos;
       at = log.find("[INPUT_QUEUE] Dropped ", at + 1)) {
    ++lines;
  }
  EXPECT_LE(lines, 1 + static_cast<std::size_t>(seconds / 5)) << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
  std::printf("%llu datagrams in 2 s; %zu drop lines\n", static_cast<unsigned long long>(sender.sent()), lines);
}

}  // namespace
}  // namespace vandrel::testing
