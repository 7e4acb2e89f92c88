// vandrel-desktop-bench: what the phone's task switcher costs. On an Xvfb of
// its own with openbox and 20 windows with icons, it times GET_APP_LIST to the
// whole APP_LIST_DATA and reports its size, then the PING round trip of a
// second phone while the first keeps asking for lists, against the same
// without them. Run it through scripts/netns-run.sh.
#include <X11/Xatom.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ServerProcess.h"
#include "WorkFolder.h"
#include "vandrel-phone/PhoneClient.h"

// Xlib defines Success as a macro: what needs the name comes before its headers.
namespace vandrel::bench {
constexpr auto kHandshakeSuccess = phone::HandshakeResult::Success;
}

#include "XvfbDisplay.h"

namespace vandrel::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kWindows = 20;

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

// Windows as applications make them: titled, with our pid and an icon set of 32, 48 and 256 pixels.
std::vector<Window> MakeWindows(Display* display) {
  std::vector<unsigned long> icon;
  for (const unsigned long size : {32ul, 48ul, 256ul}) {
    icon.push_back(size);
    icon.push_back(size);
    for (unsigned long i = 0; i < size * size; ++i) icon.push_back(0xFF000000ul | (i * 2654435761ul & 0xFFFFFFul));
  }
  const unsigned long pid = static_cast<unsigned long>(::getpid());
  std::vector<Window> windows;
  for (int i = 0; i < kWindows; ++i) {
    const Window w = XCreateSimpleWindow(display, DefaultRootWindow(display), 10 + i * 10, 10 + i * 10, 200, 100, 0,
                                         0, 0);
    const std::string title = "Bench window " + std::to_string(i);
    XStoreName(display, w, title.c_str());
    XChangeProperty(display, w, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    XChangeProperty(display, w, XInternAtom(display, "_NET_WM_ICON", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(icon.data()), static_cast<int>(icon.size()));
    XMapWindow(display, w);
    windows.push_back(w);
  }
  XSync(display, False);
  return windows;
}

pid_t StartWindowManager() {
  pid_t pid = -1;
  if (SpawnQuietly({"openbox", "--sm-disable"}, pid) != 0) throw BenchError("cannot start openbox (apt-get install openbox)");
  return pid;
}

std::unique_ptr<phone::PhoneClient> OpenPhone(std::uint16_t port) {
  auto client = std::make_unique<phone::PhoneClient>(phone::Seconds(20));
  client->Connect("127.0.0.1", port, "Bench/Phone/Model/1");
  if (client->Handshake(std::nullopt) != kHandshakeSuccess) throw BenchError("handshake failed");
  return client;
}

// GET_APP_LIST to its whole reply; the reply's size in `bytes`.
double AppListMillis(phone::PhoneClient& client, std::size_t& bytes) {
  const std::uint8_t request[] = {16};
  const auto start = Clock::now();
  client.Send(request);
  for (;;) {
    const auto received = client.ReceivePacket();
    if (received.status != phone::ReceiveStatus::Packet) throw BenchError("no APP_LIST_DATA");
    if (received.packet[0] == 17) {
      bytes = received.packet.size();
      return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
  }
}

// At least `count` round trips, and on until `enough` holds.
std::vector<double> PingMicros(phone::PhoneClient& client, int count, const std::function<bool()>& enough) {
  std::vector<double> times;
  while (static_cast<int>(times.size()) < count || !enough()) times.push_back(client.Ping().count() * 1e6);
  return times;
}

void Run(const fs::path& vandrel, std::uint16_t port) {
  XvfbDisplay x;
  Display* display = XOpenDisplay(nullptr);
  if (!display) throw BenchError("cannot open the bench's display");
  const pid_t windowManager = StartWindowManager();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // let openbox take over the screen
  const auto windows = MakeWindows(display);

  const WorkFolder folder("vandrel-desktop-bench");
  const fs::path home = gWorkFolder;
  ServerProcess server(vandrel, {"--headless", "--port", std::to_string(port), "--no-ble", "--no-mdns", "--no-adb"},
                       HomeEnvironment(home),
                       home / "stderr.txt");
  WaitForLogLine(server, home, "[SERVER] Started");

  auto lister = OpenPhone(port);
  std::vector<double> listTimes;
  std::size_t bytes = 0;
  for (int i = 0; i < 30; ++i) listTimes.push_back(AppListMillis(*lister, bytes));
  std::printf("APP_LIST_DATA with %d windows and icons: %zu bytes; GET_APP_LIST to the whole reply p50 %.1f ms, p99 "
              "%.1f ms\n",
              kWindows, bytes, Percentile(listTimes, 0.5), Percentile(listTimes, 0.99));

  auto pinger = OpenPhone(port);
  const auto idle = PingMicros(*pinger, 2000, [] { return true; });
  std::atomic<bool> stop{false};
  std::atomic<int> lists{0};
  std::thread busy([&] {
    std::size_t ignored = 0;
    while (!stop) {
      AppListMillis(*lister, ignored);
      ++lists;
    }
  });
  const auto loaded = PingMicros(*pinger, 2000, [&] { return lists >= 100; });
  stop = true;
  busy.join();
  std::printf("PING round trip idle: p50 %.0f us, p99 %.0f us\n", Percentile(idle, 0.5), Percentile(idle, 0.99));
  std::printf("PING round trip while %d lists were built: p50 %.0f us, p99 %.0f us (p99 %.1fx idle)\n", lists.load(),
              Percentile(loaded, 0.5), Percentile(loaded, 0.99), Percentile(loaded, 0.99) / Percentile(idle, 0.99));
  bool clean = false;
  server.Stop(std::chrono::seconds(5), clean);
  for (const Window w : windows) XDestroyWindow(display, w);
  XCloseDisplay(display);
  ::kill(windowManager, SIGTERM);
  ::waitpid(windowManager, nullptr, 0);
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
    if (arg == "--vandrel") vandrel = argv[i + 1];
    else if (arg == "--port") port = std::strtoul(argv[i + 1], nullptr, 10);
    else ok = false;
  }
  if (!ok || port == 0 || port > 65535) {
    std::fprintf(stderr, "Usage: vandrel-desktop-bench [--vandrel PATH] [--port N]   (run it through scripts/netns-run.sh)\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  WatchSignalsWithXvfb();
  try {
    Run(vandrel, static_cast<std::uint16_t>(port));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vandrel-desktop-bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
