// vandrel-wayland-bench: how long a phone's MOVE datagram takes through the
// real program to a Wayland client (wev on a headless sway, through the
// virtual pointer), side by side with the same through XTest on an Xvfb. Run
// it through scripts/netns-run.sh, as the program listens on real ports; as
// root, sway runs as the user scripts/test.sh makes (vandrelwl).
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "../tests/platform/linux/SwaySession.h"
#include "MoveLatency.h"
#include "ServerProcess.h"
#include "WorkFolder.h"
#include "XvfbDisplay.h"

namespace vandrel::bench {
namespace {

namespace fs = std::filesystem;

std::atomic<pid_t> gSway{-1};

// wev's pointer lines read from a pipe as they come, so a motion is timed when the client reports it.
class WevPipe {
 public:
  explicit WevPipe(testing::Sway& sway) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw BenchError("pipe: " + std::string(std::strerror(errno)));
    pid_ = sway.SpawnTo({"stdbuf", "-oL", "wev", "-f", "wl_pointer"}, ends[1]);
    ::close(ends[1]);
    read_ = ends[0];
    if (pid_ <= 0) {
      ::close(read_);
      throw BenchError("cannot start wev");
    }
    reader_ = std::thread([this] { Read(); });
  }
  // The reader sees the pipe's end once wev is gone; sway reaps it.
  ~WevPipe() {
    ::kill(pid_, SIGTERM);
    reader_.join();
    ::close(read_);
  }
  WevPipe(const WevPipe&) = delete;
  WevPipe& operator=(const WevPipe&) = delete;

  std::pair<double, double> Position() {
    std::lock_guard lock(mutex_);
    return {x_, y_};
  }
  /// Waits until the pointer's last position is (x, y); the time it was seen.
  std::optional<Clock::time_point> WaitFor(double x, double y, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    if (!seen_.wait_for(lock, limit, [&] { return x_ == x && y_ == y; })) return std::nullopt;
    return at_;
  }

 private:
  void Read() {
    std::string pending;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(read_, buffer, sizeof buffer);
      if (n <= 0) return;
      const auto now = Clock::now();
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        const std::string line = pending.substr(0, end);
        const auto at = line.find("x, y: ");
        if (at == std::string::npos) continue;
        double x = 0, y = 0;
        if (std::sscanf(line.c_str() + at, "x, y: %lf, %lf", &x, &y) != 2) continue;
        std::lock_guard lock(mutex_);
        x_ = x;
        y_ = y;
        at_ = now;
        seen_.notify_all();
      }
    }
  }

  pid_t pid_ = -1;
  int read_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable seen_;
  double x_ = -1, y_ = -1;
  Clock::time_point at_;
};

// One move at a time, +1 and -1 in turn from x0; `arrived` waits for the position.
template <typename Arrived>
Latency Measure(UdpPhone& phone, int count, int x0, Arrived arrived) {
  std::vector<double> micros;
  int lost = 0;
  for (int i = 0; i < count + kWarmUp; ++i) {
    const int dx = i % 2 == 0 ? 1 : -1;
    const auto start = Clock::now();
    phone.Move(dx, 0);
    const std::optional<Clock::time_point> at = arrived(dx > 0 ? x0 + 1 : x0);
    if (!at) {
      ++lost;
      return Percentiles(std::move(micros), lost + count + kWarmUp - i - 1);  // out of step: the rest are lost too
    }
    if (i >= kWarmUp) micros.push_back(Micros(*at - start).count());
  }
  return Percentiles(std::move(micros), lost);
}

std::unique_ptr<ServerProcess> StartProgram(const fs::path& vandrel, const fs::path& home, std::uint16_t port,
                           ServerProcess::Environment extra, const std::string& choice) {
  extra.emplace_back("VANDREL_SENDINPUT_DEBUG", "false");
  auto server = std::make_unique<ServerProcess>(
      vandrel, std::vector<std::string>{"--headless", "--port", std::to_string(port), "--no-ble", "--no-mdns", "--no-adb"},
      HomeEnvironment(home, extra), home / "stderr.txt");
  WaitForLogLine(*server, home, "[SERVER] Started");
  if (ReadText(HomeLog(home)).find(choice) == std::string::npos) {
    throw BenchError("vandrel did not choose \"" + choice + "\"; see " + HomeLog(home).string());
  }
  return server;
}

Latency MeasureWayland(const fs::path& vandrel, const fs::path& home, std::uint16_t port, int moves) {
  if (const std::string why = testing::Sway::Unavailable(); !why.empty()) throw BenchError(why);
  testing::Sway sway;
  if (!sway.Start()) throw BenchError("sway did not start: " + ReadText(sway.log()));
  gSway = sway.pid();
  auto server = StartProgram(vandrel, home, port, {{"WAYLAND_DISPLAY", sway.socket().string()}},
                             "[INPUT] Input goes to the Wayland compositor");
  UdpPhone phone(port);
  WevPipe wev(sway);
  if (!testing::WaitUntil([&] { return sway.Focused("wev"); })) throw BenchError("wev did not get the focus");
  // Into the corner of wev's window, which fills the output. Moves that wait
  // in the queue add up, so the corner is known only once the pointer rests.
  const bool cornered = testing::WaitUntil([&] {
    for (int i = 0; i < 12; ++i) phone.Move(-127, -127);
    return wev.WaitFor(0, 0, std::chrono::milliseconds(200)).has_value();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto [x0, y0] = wev.Position();
  if (!cornered || x0 > 1000 || y0 > 600) throw BenchError("the pointer never reached wev");
  const Latency result = Measure(phone, moves, static_cast<int>(x0),
                                 [&, y = y0](int x) { return wev.WaitFor(x, y, kMoveLimit); });
  bool clean = false;
  server->Stop(std::chrono::seconds(5), clean);
  gSway = -1;
  return result;
}

Latency MeasureX11(XvfbDisplay& x, const fs::path& vandrel, const fs::path& home, std::uint16_t port, int moves) {
  // An empty WAYLAND_DISPLAY counts as none: the program takes XTest on the bench's Xvfb.
  auto server = StartProgram(vandrel, home, port, {{"WAYLAND_DISPLAY", ""}}, "[INPUT] Input goes to the X11 display");
  UdpPhone phone(port);
  x.Warp(640, 400);
  const Latency result = Measure(phone, moves, 640, [&](int px) -> std::optional<Clock::time_point> {
    if (!x.WaitFor(px, 400, kMoveLimit)) return std::nullopt;
    return Clock::now();
  });
  bool clean = false;
  server->Stop(std::chrono::seconds(5), clean);
  return result;
}

void Run(const fs::path& vandrel, std::uint16_t port, int moves) {
  XvfbDisplay x;
  const WorkFolder folder("vandrel-wayland-bench");
  const Latency wayland = MeasureWayland(vandrel, gWorkFolder / "wayland", port, moves);
  const Latency x11 = MeasureX11(x, vandrel, gWorkFolder / "x11", port, moves);
  std::printf("MOVE datagram to the client seeing the motion, %d moves each:\n", moves);
  std::printf("%-44s %10s %10s %6s\n", "", "p50 (us)", "p99 (us)", "lost");
  std::printf("%-44s %10.0f %10.0f %6d\n", "Wayland: virtual pointer -> sway -> wev", wayland.p50, wayland.p99,
              wayland.lost);
  std::printf("%-44s %10.0f %10.0f %6d\n", "X11: XTest -> Xvfb (pointer query)", x11.p50, x11.p99, x11.lost);
}

}  // namespace
}  // namespace vandrel::bench

int main(int argc, char** argv) {
  using namespace vandrel::bench;
  MoveBenchOptions options{"build/vandrel", 6972, 5000};
  if (!ParseMoveBenchOptions(argc, argv, "vandrel-wayland-bench", options)) return 2;
  const fs::path vandrel = options.vandrel;
  const unsigned long port = options.port, moves = options.moves;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  WatchTerminationSignals([] {
    if (const pid_t sway = gSway.exchange(-1); sway > 0) ::kill(sway, SIGKILL);  // its clients end with it
    XvfbDisplay::Stop();
    std::error_code ignored;
    if (!gWorkFolder.empty()) fs::remove_all(gWorkFolder, ignored);
  });
  try {
    Run(vandrel, static_cast<std::uint16_t>(port), static_cast<int>(moves));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vandrel-wayland-bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
