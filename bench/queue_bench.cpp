// vandrel-queue-bench: what one InputQueue::Enqueue costs the network thread
// (MOVEs that merge, keys that take a slot, drops when full), then the real
// program under a flood: its memory before and after and the drops its log
// reports. It starts an Xvfb of its own; run it through scripts/netns-run.sh.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ServerProcess.h"
#include "WorkFolder.h"
#include "infra/Logger.h"
#include "input/InputQueue.h"
#include "vandrel-phone/PhoneClient.h"

// Xlib defines Success as a macro: the handshake's answer is named before its headers come in.
namespace vandrel::bench {
constexpr auto kHandshakeSuccess = phone::HandshakeResult::Success;
}

#include "XvfbDisplay.h"

namespace vandrel::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The logger writes to standard output as well; the queue's lines stay out of the figures.
double NanosPer(std::size_t count, const std::function<void()>& run) {
  std::fflush(stdout);
  const int saved = ::dup(1);
  const int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, 1);
  const auto start = Clock::now();
  run();
  const auto took = Clock::now() - start;
  std::fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
  ::close(null);
  return std::chrono::duration<double, std::nano>(took).count() / static_cast<double>(count);
}

void MeasureEnqueue() {
  const auto none = [](const std::uint8_t*, std::size_t) {};
  const std::uint8_t right[] = {5, 1, 0xFF}, left[] = {5, 0xFF, 1}, key[] = {7, 4, 0};
  constexpr std::size_t kMoves = 5'000'000;
  {
    InputQueue queue(none);
    const double ns = NanosPer(kMoves, [&] {
      for (std::size_t i = 0; i < kMoves; ++i) queue.Enqueue(i % 2 == 0 ? right : left, sizeof right);
    });
    std::printf("Enqueue, MOVE merging into the last one: %.1f ns (%zu queued from %zu)\n", ns, queue.Size(), kMoves);
  }
  {
    // A fresh queue for each fill, so that every key takes a slot of its own.
    constexpr int kFills = 200;
    double total = 0;
    for (int f = 0; f < kFills; ++f) {
      InputQueue queue(none);
      total += NanosPer(InputQueue::kCapacity, [&] {
        for (std::size_t i = 0; i < InputQueue::kCapacity; ++i) queue.Enqueue(key, sizeof key);
      });
    }
    std::printf("Enqueue, KEYCLICK taking a slot: %.1f ns\n", total / kFills);
  }
  {
    InputQueue queue(none);
    NanosPer(InputQueue::kCapacity, [&] {
      for (std::size_t i = 0; i < InputQueue::kCapacity; ++i) queue.Enqueue(key, sizeof key);
    });
    const double ns = NanosPer(kMoves, [&] {
      for (std::size_t i = 0; i < kMoves; ++i) queue.Enqueue(key, sizeof key);
    });
    std::printf("Enqueue, KEYCLICK dropped (queue full): %.1f ns (%llu dropped)\n", ns,
                static_cast<unsigned long long>(queue.DroppedCount()));
  }
  {
    // With the injection thread taking events: the lock is shared.
    InputQueue queue(none);
    const double ns = NanosPer(kMoves, [&] {
      queue.Start();
      for (std::size_t i = 0; i < kMoves; ++i) queue.Enqueue(key, sizeof key);
      queue.Stop();
    });
    std::printf("Enqueue, KEYCLICK while a thread injects: %.1f ns (%llu dropped)\n", ns,
                static_cast<unsigned long long>(queue.DroppedCount()));
  }
}

// Drops the program's log reports with its own lines: the rate-limited ones
// while it runs, and the total at its end.
struct DropLines {
  std::size_t lines = 0;
  std::uint64_t reported = 0;
  std::string total = "no total line";
};

DropLines ReadDropLines(const std::string& log) {
  DropLines drops;
  const std::string line = "[INPUT_QUEUE] Dropped ";
  for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
    ++drops.lines;
    drops.reported += std::strtoull(log.c_str() + at + line.size(), nullptr, 10);
  }
  if (const auto at = log.rfind("[INPUT_QUEUE] Merged: "); at != std::string::npos) {
    drops.total = log.substr(at + 14, log.find('\n', at) - at - 14);
  }
  return drops;
}

void FloodProgram(const fs::path& vandrel, std::uint16_t port) {
  XvfbDisplay x;
  const WorkFolder folder("vandrel-queue-bench");
  const fs::path home = gWorkFolder;
  const fs::path log = HomeLog(home);
  ServerProcess server(vandrel, {"--headless", "--port", std::to_string(port), "--no-ble", "--no-mdns", "--no-adb"},
                       HomeEnvironment(home, {{"VANDREL_SENDINPUT_DEBUG", "false"}}), home / "stderr.txt");
  WaitForLogLine(server, home, "[SendInput] X11 display");
  phone::PhoneClient scroller(phone::Seconds(30));
  scroller.Connect("127.0.0.1", port, "Maker/Phone/Model-1/1");
  if (scroller.Handshake(std::nullopt) != kHandshakeSuccess) throw BenchError("handshake failed");
  const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(udp, reinterpret_cast<sockaddr*>(&to), sizeof to);
  x.Warp(640, 400);
  const ProcessMemory before = server.Memory();

  // 2,000,000 SCROLL frames over TCP and MOVE datagrams, unpaced, for 3 s.
  std::thread tcp([&] {
    std::vector<std::uint8_t> chunk(65536);
    for (std::size_t i = 0; i < chunk.size(); i += 2) {
      chunk[i] = 6;
      chunk[i + 1] = (i / 2) % 2 == 0 ? 0x01 : 0xFF;
    }
    try {
      for (std::size_t sent = 0, total = 4'000'000; sent < total; sent += chunk.size()) {
        scroller.Send(std::span(chunk.data(), std::min(chunk.size(), total - sent)));
      }
    } catch (const std::exception& e) {
      std::printf("SCROLL flood ended early: %s\n", e.what());
    }
  });
  std::uint64_t moves = 0, keys = 0;
  for (const auto end = Clock::now() + std::chrono::seconds(3); Clock::now() < end; ++moves) {
    const std::uint8_t move[] = {5, moves % 2 == 0 ? std::uint8_t{1} : std::uint8_t{0xFF}, 0};
    ::send(udp, move, sizeof move, 0);
  }
  tcp.join();
  const ProcessMemory afterMoves = server.Memory();
  // Then KEYDOWN/KEYUP pairs for 2 s: keys never merge, so these fill the queue.
  for (const auto end = Clock::now() + std::chrono::seconds(2); Clock::now() < end; keys += 2) {
    const std::uint8_t down[] = {13, 4, 0}, up[] = {14, 4, 0};
    ::send(udp, down, sizeof down, 0);
    ::send(udp, up, sizeof up, 0);
  }
  ::close(udp);
  const ProcessMemory afterKeys = server.Memory();
  const double ping = scroller.Ping().count();
  const DropLines during = ReadDropLines(ReadText(log));
  bool clean = false;
  const std::string ended = server.Stop(std::chrono::seconds(10), clean);
  const DropLines all = ReadDropLines(ReadText(log));

  std::printf("flood: %llu MOVE datagrams in 3 s with 2,000,000 SCROLL frames, then %llu KEYDOWN/KEYUP in 2 s\n",
              static_cast<unsigned long long>(moves), static_cast<unsigned long long>(keys));
  std::printf("VmRSS: before %llu kB, after the moves %llu kB, after the keys %llu kB; VmHWM %llu kB\n",
              static_cast<unsigned long long>(before.residentKiB), static_cast<unsigned long long>(afterMoves.residentKiB),
              static_cast<unsigned long long>(afterKeys.residentKiB),
              static_cast<unsigned long long>(afterKeys.peakResidentKiB));
  std::printf("drop lines while flooded: %zu reporting %llu events; at the end: %s (%s)\n", during.lines,
              static_cast<unsigned long long>(during.reported), all.total.c_str(), ended.c_str());
  std::printf("PING after the flood: %.1f ms\n", ping * 1000);
}

}  // namespace
}  // namespace vandrel::bench

int main(int argc, char** argv) {
  using namespace vandrel::bench;
  fs::path vandrel = "build/vandrel";
  unsigned long port = 6972;
  bool ok = argc % 2 == 1;
  for (int i = 1; ok && i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    char* end = nullptr;
    const unsigned long number = std::strtoul(argv[i + 1], &end, 10);
    if (arg == "--vandrel") vandrel = argv[i + 1];
    else if (arg == "--port" && *end == '\0') port = number;
    else ok = false;
  }
  if (!ok || port == 0 || port > 65535) {
    std::fprintf(stderr, "Usage: vandrel-queue-bench [--vandrel PATH] [--port N]   (run it through scripts/netns-run.sh)\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  WatchSignalsWithXvfb();
  try {
    // The queue's own lines go to a file, not between the figures.
    const fs::path queueLog = fs::temp_directory_path() / "vandrel-queue-bench.log";
    vandrel::Logger::Create(queueLog.string());
    MeasureEnqueue();
    FloodProgram(vandrel, static_cast<std::uint16_t>(port));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vandrel-queue-bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
