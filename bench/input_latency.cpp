// vandrel-input-bench: how long a phone's MOVE datagram takes to move the X
// pointer through the real program, against XTEST called directly (the floor),
// and how fast moves may come before one is lost. It starts an Xvfb of its own
// and the headless server; run it through scripts/netns-run.sh, as the server
// listens on real ports.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MoveLatency.h"
#include "RawSession.h"
#include "ServerProcess.h"
#include "WorkFolder.h"
#include "XvfbDisplay.h"

namespace vandrel::bench {
namespace {

namespace fs = std::filesystem;

// Datagrams this network namespace dropped for a full receive buffer (/proc/net/snmp).
long ReceiveBufferDrops() {
  std::istringstream snmp(ReadText("/proc/net/snmp"));
  std::string names, values;
  while (std::getline(snmp, names) && std::getline(snmp, values)) {
    if (!names.starts_with("Udp:")) continue;
    std::istringstream n(names), v(values);
    for (std::string name, value; n >> name && v >> value;) {
      if (name == "RcvbufErrors") return std::stol(value);
    }
  }
  return -1;
}

// The legs of the program's path without X: a loopback datagram to a thread
// asleep in poll, as the injection thread waits for one, and a condition
// variable's wake-up, the hand-over between two threads that the program no
// longer makes for a datagram.
struct Hops {
  Latency datagram, handOver;
};

Hops MeasureHops(int count) {
  const int receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (receiver < 0 || sender < 0 || ::bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw BenchError("hop sockets: " + std::string(std::strerror(errno)));
  }
  const auto now = [] { return Clock::now().time_since_epoch().count(); };
  std::atomic<long long> arrived{0};
  std::vector<double> datagram, handOver;
  std::thread reading([&] {
    for (int i = 0; i < count; ++i) {
      pollfd fd{receiver, POLLIN, 0};
      ::poll(&fd, 1, -1);
      char byte;
      ::recv(receiver, &byte, 1, 0);
      arrived = now();
    }
  });
  for (int i = 0; i < count; ++i) {
    // Long enough a pause for the reader to be asleep again, as between a phone's datagrams.
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    arrived = 0;
    const long long sent = now();
    if (::send(sender, "m", 1, 0) != 1) throw BenchError("hop send failed");
    while (arrived == 0) std::this_thread::yield();
    datagram.push_back(std::chrono::duration<double, std::micro>(Clock::duration(arrived - sent)).count());
  }
  reading.join();
  ::close(receiver);
  ::close(sender);

  std::mutex mutex;
  std::condition_variable wake;
  bool ready = false;
  std::thread waiting([&] {
    for (int i = 0; i < count; ++i) {
      std::unique_lock lock(mutex);
      wake.wait(lock, [&] { return ready; });
      ready = false;
      arrived = now();
    }
  });
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    arrived = 0;
    const long long sent = now();
    {
      std::lock_guard lock(mutex);
      ready = true;
    }
    wake.notify_one();
    while (arrived == 0) std::this_thread::yield();
    handOver.push_back(std::chrono::duration<double, std::micro>(Clock::duration(arrived - sent)).count());
  }
  waiting.join();
  return {Percentiles(std::move(datagram)), Percentiles(std::move(handOver))};
}

// The least any separate program must do: a thread asleep in poll on a UDP
// socket that, for each MOVE datagram, calls XTest on its own connection and
// flushes. Against it the program's own cost shows apart from the wake-ups
// of a third party between the phone and the X server.
class MinimalRelay {
 public:
  explicit MinimalRelay(const std::string& displayName)
      : display_(XOpenDisplay(displayName.c_str())), socket_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!display_ || socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0 || ::pipe(stop_) != 0) {
      throw BenchError("relay: " + std::string(std::strerror(errno)));
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Relay(); });
  }
  ~MinimalRelay() {
    (void)!::write(stop_[1], "x", 1);
    thread_.join();
    ::close(stop_[0]);
    ::close(stop_[1]);
    ::close(socket_);
    XCloseDisplay(display_);
  }
  MinimalRelay(const MinimalRelay&) = delete;
  MinimalRelay& operator=(const MinimalRelay&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  void Relay() {
    for (;;) {
      pollfd fds[2] = {{socket_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
      std::uint8_t datagram[3];
      if (::recv(socket_, datagram, sizeof datagram, 0) != 3) continue;
      // The phone's deltas are the finger's; the pointer goes against them.
      XTestFakeRelativeMotionEvent(display_, -static_cast<std::int8_t>(datagram[1]),
                                   -static_cast<std::int8_t>(datagram[2]), CurrentTime);
      XFlush(display_);
    }
  }

  Display* display_;
  int socket_;
  int stop_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::thread thread_;
};

// One move at a time, +1 and -1 in turn so the pointer stays where it is.
Latency Measure(XvfbDisplay& x, int count, const std::function<void(int)>& move) {
  x.Warp(640, 400);
  std::vector<double> micros;
  Latency result;
  for (int i = 0; i < count + kWarmUp; ++i) {
    const int dx = i % 2 == 0 ? 1 : -1;
    const auto start = Clock::now();
    move(dx);
    if (!x.WaitFor(dx > 0 ? 641 : 640, 400, kMoveLimit)) {
      ++result.lost;
      x.Warp(640, 400);
      if (i % 2 == 0) ++i;  // back in step: the next move is +1 again
      continue;
    }
    if (i >= kWarmUp) micros.push_back(Micros(Clock::now() - start).count());
  }
  const int lost = result.lost;
  result = Percentiles(std::move(micros));
  result.lost = lost;
  return result;
}

// Legs of 1,000 moves right, 600 down, 1,000 left and 600 up at `rate` a
// second, the pointer checked after each leg so that no loss hides behind
// another. Returns the rate achieved (the bench's own sending limits it), 0 on a loss.
double SustainedRate(XvfbDisplay& x, UdpPhone& phone, int rate, int total) {
  struct Leg {
    int dx, dy, steps;
  };
  static constexpr Leg kLegs[] = {{1, 0, 1000}, {0, 1, 600}, {-1, 0, 1000}, {0, -1, 600}};
  x.Warp(100, 100);
  int px = 100, py = 100, sent = 0;
  Clock::duration sending{};
  const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
  for (int leg = 0; sent < total; leg = (leg + 1) % 4) {
    const auto start = Clock::now();
    auto next = start;
    for (int i = 0; i < kLegs[leg].steps; ++i, ++sent) {
      std::this_thread::sleep_until(next);
      next += interval;
      phone.Move(kLegs[leg].dx, kLegs[leg].dy);
    }
    sending += Clock::now() - start;
    px += kLegs[leg].dx * kLegs[leg].steps;
    py += kLegs[leg].dy * kLegs[leg].steps;
    if (!x.WaitFor(px, py, std::chrono::milliseconds(2000))) return 0;
  }
  return sent / std::chrono::duration<double>(sending).count();
}

void Run(const fs::path& vandrel, std::uint16_t port, int moves) {
  XvfbDisplay x;
  std::printf("floor (XTEST from the bench): ");
  const Latency floor = Measure(x, moves, [&](int dx) { x.FakeMove(dx, 0); });
  std::printf("p50 %.0f us, p99 %.0f us\n", floor.p50, floor.p99);
  const Hops hops = MeasureHops(std::min(moves, 5000));
  std::printf("breakdown: loopback datagram to a thread asleep in poll: p50 %.0f us, p99 %.0f us\n",
              hops.datagram.p50, hops.datagram.p99);
  std::printf("breakdown: thread hand-over (condition variable): p50 %.0f us, p99 %.0f us\n", hops.handOver.p50,
              hops.handOver.p99);
  Latency relayed;
  {
    MinimalRelay relay(x.name());
    UdpPhone toRelay(relay.port());
    relayed = Measure(x, moves, [&](int dx) { toRelay.Move(dx, 0); });
  }
  std::printf("minimal relay (datagram -> a thread's XTEST): p50 %.0f us, p99 %.0f us; ratio to floor p50 %.1fx, "
              "p99 %.1fx\n",
              relayed.p50, relayed.p99, relayed.p50 / floor.p50, relayed.p99 / floor.p99);

  const WorkFolder folder("vandrel-input-bench");
  const fs::path work = gWorkFolder;
  for (const bool dump : {false, true}) {
    const fs::path home = work / (dump ? "dump" : "quiet");
    const fs::path log = HomeLog(home);
    ServerProcess server(vandrel, {"--headless", "--port", std::to_string(port), "--no-ble", "--no-mdns", "--no-adb"},
                         HomeEnvironment(home, {{"VANDREL_SENDINPUT_DEBUG", dump ? "true" : "false"}}),
                         home / "stderr.txt");
    WaitForLogLine(server, home, "[SERVER] Started");
    if (ReadText(log).find("[SendInput] X11 display") == std::string::npos) {
      throw BenchError("vandrel did not open the display; see " + log.string());
    }
    UdpPhone phone(port);
    const char* mode = dump ? "vandrel, dump on " : "vandrel, dump off";
    const Latency l = Measure(x, moves, [&](int dx) { phone.Move(dx, 0); });
    std::printf("%s: p50 %.0f us, p99 %.0f us, lost %d; ratio to floor p50 %.1fx, p99 %.1fx; "
                "to the minimal relay p50 %.2fx, p99 %.2fx\n",
                mode, l.p50, l.p99, l.lost, l.p50 / floor.p50, l.p99 / floor.p99, l.p50 / relayed.p50,
                l.p99 / relayed.p99);

    // A steady 1,000 moves a second for 3 s; the first 100 ms are left out,
    // as the first datagram after the pause above always logs a receive gap.
    x.Warp(640, 400);
    std::size_t diagFrom = 0;
    auto next = Clock::now();
    for (int i = 0; i < 3000; ++i) {
      std::this_thread::sleep_until(next);
      next += std::chrono::milliseconds(1);
      phone.Move(i % 2 == 0 ? 1 : -1, 0);
      if (i == 100) diagFrom = ReadText(log).size();
    }
    x.WaitFor(640, 400, std::chrono::milliseconds(2000));
    const std::string diag = ReadText(log).substr(diagFrom);
    std::size_t lines = 0;
    for (auto at = diag.find("[DIAG]"); at != std::string::npos; at = diag.find("[DIAG]", at + 1)) ++lines;
    std::printf("%s: [DIAG] lines at 1,000 moves/s for 3 s: %zu\n", mode, lines);

    double best = 0;
    for (const int rate : {1000, 2000, 5000, 10000, 20000, 50000, 100000, 200000, 500000}) {
      const long dropsBefore = ReceiveBufferDrops();
      const double achieved = SustainedRate(x, phone, rate, std::clamp(rate, 3200, 16000));
      if (achieved == 0) {
        std::printf("%s: moves lost at %d moves/s (receive buffer drops: %ld)\n", mode, rate,
                    ReceiveBufferDrops() - dropsBefore);
        break;
      }
      best = achieved;
    }
    std::printf("%s: highest rate without loss: %.0f moves/s%s\n", mode, best,
                best > 200000 ? " (as fast as the bench sends)" : "");
    bool clean = false;
    server.Stop(std::chrono::seconds(5), clean);
  }
}

}  // namespace
}  // namespace vandrel::bench

int main(int argc, char** argv) {
  using namespace vandrel::bench;
  MoveBenchOptions options{"build/vandrel", 6971, 10000};
  if (!ParseMoveBenchOptions(argc, argv, "vandrel-input-bench", options)) return 2;
  const fs::path vandrel = options.vandrel;
  const unsigned long port = options.port, moves = options.moves;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  WatchSignalsWithXvfb();
  try {
    Run(vandrel, static_cast<std::uint16_t>(port), static_cast<int>(moves));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vandrel-input-bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
