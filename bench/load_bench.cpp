// vandrel-load-bench: the headless server under load and abuse, each
// against a server of its own started as a child process:
//   - a phone's connect-to-PONG time with a thousand silent connections open
//      against none, and the memory they cost;
//   - ten thousand idle authenticated sessions: memory, accept rate, stalls;
//   - random datagrams at full speed on the input, discovery and mDNS ports:
//      PING and discovery answered during and after, memory and log size;
//   - garbage after the hello, and peers that ask for replies but never read:
//      memory and log stay bounded, the non-readers are closed.
// Prints one line per figure and a table for the README. Figures are printed,
// never asserted. Run it through scripts/netns-run.sh.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "BenchText.h"
#include "Measurements.h"
#include "RawSession.h"
#include "ServerProcess.h"
#include "WorkFolder.h"
#include "protocol/Packet.h"

namespace vandrel::bench {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr std::string_view kStallLine = "[DIAG] io_context stall";
constexpr std::string_view kBacklogLine = "the phone reads none of them; closing connection";
constexpr Milliseconds kStepTimeout{5000};
// The server ends sessions silent for 20 s; half of that leaves room.
constexpr Milliseconds kKeepAlive{8000};
constexpr std::size_t kMaxSilent = 5000;
constexpr std::size_t kMaxSessions = 15000;

struct Options {
  fs::path vandrel = "build/vandrel";
  std::uint16_t port = 6969;
  std::size_t silent = 1000;
  std::size_t sessions = 10000;
  unsigned roundTrips = 50;
  unsigned floodSeconds = 10;
  bool keep = false;
};

constexpr const char* kUsage =
    "Usage: vandrel-load-bench [options]   (run it through scripts/netns-run.sh)\n"
    "  --vandrel PATH        the server program (default build/vandrel)\n"
    "  --port N              first of the 12 ports the servers use (default 6969)\n"
    "  --silent N            silent connections held open (default 1000)\n"
    "  --sessions N          idle authenticated sessions (default 10000)\n"
    "  --round-trips N       phone round trips per median (default 50)\n"
    "  --flood-seconds N     length of the datagram flood (default 10)\n"
    "  --keep                keep the servers' folders (logs) in /tmp\n";


std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (arg == "--keep") {
      options.keep = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      std::fprintf(stderr, "vandrel-load-bench: %s needs a value (or is unknown; see --help)\n", arg.c_str());
      return std::nullopt;
    }
    const std::string& value = args[++i];
    bool ok = true;
    if (arg == "--vandrel") options.vandrel = value;
    else if (arg == "--port") ok = ParseNumber<std::uint16_t>(value, options.port, 1, 65535 - 12);
    else if (arg == "--silent") ok = ParseNumber<std::size_t>(value, options.silent, 0, kMaxSilent);
    else if (arg == "--sessions") ok = ParseNumber<std::size_t>(value, options.sessions, 0, kMaxSessions);
    else if (arg == "--round-trips") ok = ParseNumber<unsigned>(value, options.roundTrips, 1, 1000);
    else if (arg == "--flood-seconds") ok = ParseNumber<unsigned>(value, options.floodSeconds, 0, 60);
    else {
      std::fprintf(stderr, "vandrel-load-bench: unknown option %s (see --help)\n", arg.c_str());
      return std::nullopt;
    }
    if (!ok) {
      std::fprintf(stderr, "vandrel-load-bench: bad value for %s: %s\n", arg.c_str(), value.c_str());
      return std::nullopt;
    }
  }
  return options;
}




double MiB(std::uint64_t kib) { return static_cast<double>(kib) / 1024.0; }

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Interfaces of this process's network namespace (/proc/net follows the reader's).
bool OnlyLoopback() {
  std::ifstream dev("/proc/net/dev");
  std::vector<std::string> names;
  std::string line;
  while (std::getline(dev, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    const auto first = line.find_first_not_of(' ');
    names.push_back(line.substr(first, colon - first));
  }
  return names.size() == 1 && names[0] == "lo";
}

std::string MachineText() {
  std::string cpu = "unknown CPU";
  std::ifstream info("/proc/cpuinfo");
  std::string line;
  while (std::getline(info, line)) {
    if (line.starts_with("model name")) {
      cpu = line.substr(line.find(':') + 2);
      break;
    }
  }
  utsname name{};
  ::uname(&name);
  return cpu + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, Linux " + name.release;
}

// Each held connection is a descriptor here and one in the server, which inherits the limit.
rlim_t RaiseFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max && limit.rlim_max != RLIM_INFINITY) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur;
}

// splitmix64: fast, and every run sends the same bytes.
struct Random {
  std::uint64_t state;
  std::uint64_t Next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }
  void Fill(std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; i += 8) {
      const std::uint64_t word = Next();
      std::memcpy(data + i, &word, std::min<std::size_t>(8, size - i));
    }
  }
};

// Garbage must not make this machine act: no programs or URLs started, no
// power, brightness, media or clipboard change, no files written. Those
// commands become a byte no command has; everything else stays as drawn.
void Tame(std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    switch (static_cast<Command>(data[i])) {
      case Command::Media:
      case Command::System:
      case Command::Clipboard:
      case Command::GetAppList:
      case Command::AppListData:
      case Command::SwitchApp:
      case Command::LaunchApp:
      case Command::SmartMedia:
      case Command::FileTransferStart:
      case Command::LaserOn:
      case Command::LaserOff:
      case Command::BrightnessStep:
      case Command::OpenUrl:
        data[i] = 0xEE;
        break;
      default:
        break;
    }
  }
}

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int fd() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

void SetTimeouts(int fd, Milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// A blocking TCP connection to 127.0.0.1:port from `source` (host order; 0 for
// the kernel's choice). `receiveBuffer` > 0 shrinks the receive buffer first.
Socket ConnectTcp(std::uint16_t port, std::uint32_t source, int receiveBuffer = 0) {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.IsOpen()) throw BenchError(ErrnoText("socket"));
  SetTimeouts(socket.fd(), kStepTimeout);
  const int one = 1;
  ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (receiveBuffer > 0) ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  if (source != 0) {
    ::setsockopt(socket.fd(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(source);
    ::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&from), sizeof from);
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc = 0;
  do {
    rc = ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) throw BenchError(ErrnoText("connect"));
  return socket;
}

void SendAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw BenchError(n < 0 ? ErrnoText("send") : "send: nothing sent");
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Reads until `wanted` arrives; other bytes are skipped. Throws on close or time-out.
void AwaitByte(int fd, Command wanted) {
  std::uint8_t buffer[256];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) throw BenchError("the server closed the connection");
    if (n < 0) throw BenchError(errno == EAGAIN || errno == EWOULDBLOCK ? "no answer within the time-out"
                                                                         : ErrnoText("recv"));
    if (std::find(buffer, buffer + n, ToByte(wanted)) != buffer + n) return;
  }
}

// What a phone does: connect, hello, AUTH_SUCCESS. The hello goes out in one piece.
Socket ConnectPhone(std::uint16_t port, const std::string& hello, std::uint32_t source = 0, int receiveBuffer = 0) {
  Socket socket = ConnectTcp(port, source, receiveBuffer);
  SendAll(socket.fd(), hello.data(), hello.size());
  AwaitByte(socket.fd(), Command::AuthSuccess);
  return socket;
}

double PingMs(int fd) {
  const auto start = Clock::now();
  const std::uint8_t ping = ToByte(Command::Ping);
  SendAll(fd, &ping, 1);
  AwaitByte(fd, Command::Pong);
  return MillisecondsSince(start);
}

// Connect + hello + AUTH_SUCCESS + PING round trip, in milliseconds.
double PhoneRoundTripMs(std::uint16_t port, std::size_t index) {
  const auto start = Clock::now();
  Socket phone = ConnectPhone(port, "Bench/phone-" + std::to_string(index) + "/Loopback/1");
  PingMs(phone.fd());
  return MillisecondsSince(start);
}

// A UDP socket for probes, bound to loopback.
Socket UdpSocket(Milliseconds timeout) {
  Socket socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket.IsOpen()) throw BenchError(ErrnoText("socket"));
  SetTimeouts(socket.fd(), timeout);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
    throw BenchError(ErrnoText("bind"));
  }
  return socket;
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return to;
}

// A discovery probe; the time to the identity answer, or nothing within the socket's time-out.
std::optional<double> DiscoveryProbeMs(int udp, std::uint16_t discoveryPort) {
  static constexpr char kProbe[] = "VANDREL_DISCOVER";
  const sockaddr_in to = Loopback(discoveryPort);
  const auto start = Clock::now();
  if (::sendto(udp, kProbe, sizeof kProbe - 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
    return std::nullopt;
  }
  char answer[512];
  for (;;) {
    const ssize_t n = ::recv(udp, answer, sizeof answer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (std::string_view(answer, static_cast<std::size_t>(n)).starts_with("VANDREL|")) return MillisecondsSince(start);
  }
}

// A server of this bench's own, in its own home folder under the work folder.
struct Server {
  fs::path home;
  std::uint16_t port = 0;
  std::uint16_t discoveryPort = 0;
  std::unique_ptr<ServerProcess> process;

  fs::path LogPath() const { return HomeLog(home); }
  // The log and the one rotation keeps: what the program has on disk.
  std::uint64_t LogBytes() const {
    std::error_code ec;
    std::uint64_t bytes = fs::file_size(LogPath(), ec);
    if (ec) bytes = 0;
    const auto rotated = fs::file_size(LogPath().string() + ".1", ec);
    return bytes + (ec ? 0 : rotated);
  }
  bool Rotated() const { return fs::exists(LogPath().string() + ".1"); }
  std::size_t Stalls() const { return CountLinesContaining(LogPath(), kStallLine); }
  std::uint64_t RssKiB() const { return process->Memory().residentKiB; }
};

Server StartServer(const Options& options, const std::string& name, std::uint16_t port,
                   std::optional<std::uint16_t> mdnsPort) {
  Server server;
  server.home = gWorkFolder / name;
  server.port = port;
  server.discoveryPort = static_cast<std::uint16_t>(port + 1);
  std::vector<std::string> arguments = {"--headless", "--port", std::to_string(port), "--discovery-port",
                                        std::to_string(server.discoveryPort), "--no-ble", "--no-adb"};
  if (mdnsPort) {
    arguments.insert(arguments.end(), {"--mdns-port", std::to_string(*mdnsPort)});
  } else {
    arguments.push_back("--no-mdns");
  }
  // No display and no session bus: what the garbage asks for reaches nothing on this machine.
  const auto environment =
      HomeEnvironment(server.home, {{"DISPLAY", ""},
                                    {"WAYLAND_DISPLAY", ""},
                                    {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vandrel-bench-bus"}});
  server.process = std::make_unique<ServerProcess>(options.vandrel, arguments, environment, server.home / "stderr.txt");
  WaitForLogLine(*server.process, server.home, "[SERVER] Started");
  if (mdnsPort) WaitForLogLine(*server.process, server.home, "[MDNS] Started");
  ProbeServer(port, kStepTimeout);
  // Let the probe session's end settle before any baseline.
  std::this_thread::sleep_for(Milliseconds(300));
  return server;
}

// Ends the server; false (and says so) when it had already ended or did not end cleanly.
bool StopServer(Server& server, const char* what) {
  const bool wasRunning = server.process->Running();
  bool clean = false;
  const std::string ending = server.process->Stop(std::chrono::seconds(10), clean);
  if (!wasRunning) Say("FAILED %s: the server ended meanwhile (%s)", what, ending.c_str());
  else if (!clean) Say("FAILED %s: the server did not stop cleanly on SIGINT (%s)", what, ending.c_str());
  return wasRunning && clean;
}

struct Figures {
  // Silent connections
  std::optional<double> idleRoundTripMs, loadedRoundTripMs, loadedRoundTripP90Ms;
  std::optional<std::uint64_t> idleRssKiB, silentRssKiB;
  std::size_t silentHeld = 0, silentReopened = 0;
  // Idle sessions
  std::size_t sessions = 0;
  std::string sessionsStop;
  std::optional<std::uint64_t> sessionsBaseKiB, sessionsRssKiB;
  std::optional<double> sessionsRate, firstRate, lastRate;
  std::size_t sessionsAnswered = 0, sessionsStalls = 0;
  // Datagram flood
  std::uint64_t datagrams[3] = {};
  double floodSeconds = 0;
  std::size_t floodPings = 0, floodPingsAnswered = 0, floodProbes = 0, floodProbesAnswered = 0;
  double floodWorstPingMs = 0, floodWorstProbeMs = 0;
  std::optional<double> afterPingMs, afterProbeMs;
  std::optional<std::uint64_t> floodRssBefore, floodRssAfter, floodLogBefore, floodLogAfter;
  std::size_t floodStalls = 0;
  // Garbage and non-readers
  std::uint64_t garbageBytes = 0;
  std::size_t garbagePeers = 0, garbageClosed = 0, garbageAnswered = 0;
  std::size_t readers = 0, readersClosed = 0, backlogLines = 0, abuseStalls = 0;
  std::uint64_t pingsToClose = 0;
  std::optional<std::uint64_t> abuseRssBefore, abusePeak, abuseRssAfter, abuseLogBefore, abuseLogAfterGarbage,
      abuseLogAfter;
};

// ---- Silent ----------------------------------------------------------------

std::vector<double> RoundTrips(std::uint16_t port, unsigned count, std::size_t firstIndex,
                               const std::function<void()>& between) {
  std::vector<double> times;
  for (unsigned i = 0; i < count; ++i) {
    if (between) between();
    times.push_back(PhoneRoundTripMs(port, firstIndex + i));
  }
  return times;
}

// Silent connections come from 127.2.x.y: apart from the phones, and enough client ports.
constexpr std::string_view kSilentAccepted = "[SERVER] Device connected: 127.2.";
std::uint32_t SilentSource(std::size_t index) { return 0x7f020000u | static_cast<std::uint32_t>(1 + index % 250); }

bool SilentConnections(const Options& options, Figures& figures) {
  Server server = StartServer(options, "silent", options.port, std::nullopt);
  bool ok = true;
  try {
    figures.idleRssKiB = server.RssKiB();
    const auto idle = RoundTrips(server.port, options.roundTrips, 0, {});
    figures.idleRoundTripMs = Percentile(idle, 0.5);
    Say("silent: phone connect+hello+AUTH_SUCCESS+PING, no other connections: median %.2f ms, p90 %.2f ms (%u runs)",
        *figures.idleRoundTripMs, Percentile(idle, 0.9), options.roundTrips);

    const auto silentStart = Clock::now();
    std::vector<Socket> silent;
    silent.reserve(options.silent);
    for (std::size_t i = 0; i < options.silent; ++i) silent.push_back(ConnectTcp(server.port, SilentSource(i)));
    // Held open means accepted by the server, not just queued in its backlog.
    const auto accepted = [&] { return CountLinesContaining(server.LogPath(), kSilentAccepted); };
    const auto deadline = Clock::now() + std::chrono::seconds(4);
    while (accepted() < silent.size() && Clock::now() < deadline) std::this_thread::sleep_for(Milliseconds(20));
    figures.silentRssKiB = server.RssKiB();
    Say("silent: %s silent connections open, %s of them accepted by the server, %.0f ms after the first connect",
        Grouped(silent.size()).c_str(), Grouped(accepted()).c_str(), MillisecondsSince(silentStart));

    // The server ends a connection that sends no hello within its limit; those
    // are opened again at once, so that all of them stay open throughout.
    std::vector<pollfd> watch(silent.size());
    std::size_t reopened = 0;
    const auto refresh = [&] {
      for (std::size_t i = 0; i < silent.size(); ++i) watch[i] = {silent[i].fd(), POLLIN | POLLRDHUP, 0};
      if (::poll(watch.data(), watch.size(), 0) <= 0) return;
      for (std::size_t i = 0; i < silent.size(); ++i) {
        if (watch[i].revents == 0) continue;
        silent[i] = ConnectTcp(server.port, SilentSource(i));
        ++reopened;
      }
    };
    const auto loaded = RoundTrips(server.port, options.roundTrips, options.roundTrips, refresh);
    refresh();
    const double heldMs = MillisecondsSince(silentStart);
    figures.silentReopened = reopened;
    figures.silentHeld = silent.size();
    figures.loadedRoundTripMs = Percentile(loaded, 0.5);
    figures.loadedRoundTripP90Ms = Percentile(loaded, 0.9);
    Say("silent: the same with %s silent connections open: median %.2f ms, p90 %.2f ms (%zu of them reopened after "
        "the server closed them; %.0f ms since the first connect)",
        Grouped(silent.size()).c_str(), *figures.loadedRoundTripMs, *figures.loadedRoundTripP90Ms, reopened, heldMs);
    const double ratio = *figures.loadedRoundTripMs / *figures.idleRoundTripMs;
    Say("silent: round-trip ratio with/without: %.2f (goal <= 2: %s)", ratio,
        ratio <= 2.0 ? "goal met" : "goal missed");
    const std::uint64_t grown = *figures.silentRssKiB - std::min(*figures.silentRssKiB, *figures.idleRssKiB);
    Say("silent: server VmRSS without %.1f MiB, with %s silent connections %.1f MiB (%.2f KiB each)",
        MiB(*figures.idleRssKiB), Grouped(silent.size()).c_str(), MiB(*figures.silentRssKiB),
        silent.empty() ? 0.0 : static_cast<double>(grown) / static_cast<double>(silent.size()));
    silent.clear();
    Say("silent: server log %s bytes, %zu stall lines", Grouped(server.LogBytes()).c_str(), server.Stalls());
  } catch (const std::exception& e) {
    Say("FAILED silent: %s", e.what());
    ok = false;
  }
  return StopServer(server, "silent") && ok;
}

// ---- Sessions ----------------------------------------------------------------

bool IdleSessions(const Options& options, Figures& figures, rlim_t fileLimit) {
  Server server = StartServer(options, "sessions", static_cast<std::uint16_t>(options.port + 3), std::nullopt);
  bool ok = true;
  try {
    std::size_t wanted = options.sessions;
    if (fileLimit != 0 && fileLimit < wanted + 64) {
      wanted = fileLimit - 64;
      Say("sessions: the open-file limit (%llu) allows %s sessions, not %s", static_cast<unsigned long long>(fileLimit),
          Grouped(wanted).c_str(), Grouped(options.sessions).c_str());
    }
    figures.sessionsBaseKiB = server.RssKiB();
    std::vector<RawSession> sessions(wanted);
    std::size_t opened = 0;
    auto lastKeepAlive = Clock::now();
    const auto start = Clock::now();
    // The rate of the first and of the last thousand: whether a session costs more the more there are.
    const std::size_t stretch = std::min<std::size_t>(1000, wanted / 2);
    Clock::time_point firstDone{}, lastBegun{};
    for (; opened < wanted; ++opened) {
      if (opened == stretch) firstDone = Clock::now();
      if (opened == wanted - stretch) lastBegun = Clock::now();
      try {
        sessions[opened].Open(server.port, "Bench/idle-" + std::to_string(opened) + "/Loopback/1", kStepTimeout);
      } catch (const BenchError& e) {
        figures.sessionsStop = "session " + Grouped(opened + 1) + ": " + e.what();
        break;
      }
      if (Clock::now() - lastKeepAlive >= kKeepAlive) {
        for (std::size_t k = 0; k <= opened; ++k) sessions[k].SendPing();
        lastKeepAlive = Clock::now();
      }
    }
    const auto openedAt = Clock::now();
    const Seconds opening = openedAt - start;
    sessions.resize(opened);
    figures.sessions = opened;
    if (!figures.sessionsStop.empty()) {
      Say("sessions: opening stopped at %s", figures.sessionsStop.c_str());
      ok = false;
    }
    figures.sessionsRate = static_cast<double>(opened) / opening.count();
    figures.sessionsAnswered = PingAll(sessions, Milliseconds(15000));
    figures.sessionsRssKiB = server.RssKiB();
    const std::uint64_t grown = *figures.sessionsRssKiB - std::min(*figures.sessionsRssKiB, *figures.sessionsBaseKiB);
    Say("sessions: %s sessions opened and authenticated one after another in %.2f s: %.0f accepted per second",
        Grouped(opened).c_str(), opening.count(), *figures.sessionsRate);
    if (stretch > 0 && opened == wanted) {
      const Seconds first = firstDone - start;
      const Seconds last = openedAt - lastBegun;
      figures.firstRate = static_cast<double>(stretch) / first.count();
      figures.lastRate = static_cast<double>(stretch) / last.count();
      Say("sessions: the first %s opened at %.0f per second, the last %s at %.0f per second", Grouped(stretch).c_str(),
          *figures.firstRate, Grouped(stretch).c_str(), *figures.lastRate);
    }
    Say("sessions: %s of them answered a PING afterwards", Grouped(figures.sessionsAnswered).c_str());
    if (figures.sessionsAnswered != opened) ok = false;
    Say("sessions: server VmRSS %.1f MiB before, %.1f MiB with them: %.2f KiB per session",
        MiB(*figures.sessionsBaseKiB), MiB(*figures.sessionsRssKiB),
        opened ? static_cast<double>(grown) / static_cast<double>(opened) : 0.0);
    sessions.clear();
    // A stall while closing them all is logged once the network thread runs again.
    std::this_thread::sleep_for(Milliseconds(1000));
    figures.sessionsStalls = server.Stalls();
    Say("sessions: VmRSS after closing them %.1f MiB; \"%s\" lines: %zu (%s); log %s bytes%s",
        MiB(server.RssKiB()), std::string(kStallLine).c_str(), figures.sessionsStalls,
        figures.sessionsStalls == 0 ? "none" : "stalled", Grouped(server.LogBytes()).c_str(),
        server.Rotated() ? " (rotated)" : "");
  } catch (const std::exception& e) {
    Say("FAILED sessions: %s", e.what());
    ok = false;
  }
  return StopServer(server, "sessions") && ok;
}

// ---- Flood ----------------------------------------------------------------

bool DatagramFlood(const Options& options, Figures& figures) {
  const auto mdnsPort = static_cast<std::uint16_t>(options.port + 8);
  Server server = StartServer(options, "flood", static_cast<std::uint16_t>(options.port + 6), mdnsPort);
  bool ok = true;
  try {
    Socket phone = ConnectPhone(server.port, "Bench/flood-watcher/Loopback/1");
    Socket probe = UdpSocket(Milliseconds(2000));
    if (!DiscoveryProbeMs(probe.fd(), server.discoveryPort)) throw BenchError("no answer to a discovery probe before");
    PingMs(phone.fd());
    figures.floodRssBefore = server.RssKiB();
    figures.floodLogBefore = server.LogBytes();

    std::atomic<bool> stop{false};
    const std::uint16_t targets[3] = {server.port, server.discoveryPort, mdnsPort};
    std::thread flooder([&] {
      Socket udp = UdpSocket(Milliseconds(100));
      sockaddr_in to[3] = {Loopback(targets[0]), Loopback(targets[1]), Loopback(targets[2])};
      Random random{42};
      std::uint8_t datagram[1500];
      for (std::uint64_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
        const std::size_t which = i % 3;
        const std::size_t size = 1 + random.Next() % (which == 0 ? 64 : sizeof datagram);
        random.Fill(datagram, size);
        if (which == 0) Tame(datagram, size);
        if (::sendto(udp.fd(), datagram, size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to[which]),
                     sizeof to[which]) > 0) {
          ++figures.datagrams[which];
        }
      }
    });
    // Meanwhile a phone PINGs and a probe asks, a few times a second.
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(options.floodSeconds);
    std::vector<double> pings;
    while (Clock::now() < end && server.process->Running()) {
      ++figures.floodPings;
      try {
        pings.push_back(PingMs(phone.fd()));
        ++figures.floodPingsAnswered;
        figures.floodWorstPingMs = std::max(figures.floodWorstPingMs, pings.back());
      } catch (const BenchError& e) {
        Say("flood: PING during the flood failed: %s", e.what());
        phone = ConnectPhone(server.port, "Bench/flood-watcher/Loopback/1");
      }
      ++figures.floodProbes;
      if (const auto ms = DiscoveryProbeMs(probe.fd(), server.discoveryPort)) {
        ++figures.floodProbesAnswered;
        figures.floodWorstProbeMs = std::max(figures.floodWorstProbeMs, *ms);
      }
      std::this_thread::sleep_for(Milliseconds(200));
    }
    stop = true;
    flooder.join();
    figures.floodSeconds = Seconds(Clock::now() - start).count();
    std::this_thread::sleep_for(Milliseconds(500));
    figures.afterPingMs = PingMs(phone.fd());
    figures.afterProbeMs = DiscoveryProbeMs(probe.fd(), server.discoveryPort);
    figures.floodRssAfter = server.RssKiB();
    figures.floodLogAfter = server.LogBytes();
    figures.floodStalls = server.Stalls();
    Say("flood: %.1f s of random datagrams: %s to the input port, %s to discovery, %s to mDNS (%.0f per second)",
        figures.floodSeconds, Grouped(figures.datagrams[0]).c_str(), Grouped(figures.datagrams[1]).c_str(),
        Grouped(figures.datagrams[2]).c_str(),
        static_cast<double>(figures.datagrams[0] + figures.datagrams[1] + figures.datagrams[2]) / figures.floodSeconds);
    Say("flood: during it %zu of %zu PINGs answered (median %.2f ms, worst %.2f ms), %zu of %zu discovery probes "
        "(worst %.2f ms)",
        figures.floodPingsAnswered, figures.floodPings, Percentile(pings, 0.5), figures.floodWorstPingMs,
        figures.floodProbesAnswered, figures.floodProbes, figures.floodWorstProbeMs);
    Say("flood: afterwards PING %.2f ms, discovery probe %s", *figures.afterPingMs,
        figures.afterProbeMs ? (Fixed(*figures.afterProbeMs, 2) + " ms").c_str() : "UNANSWERED");
    Say("flood: server VmRSS %.1f MiB before, %.1f MiB after; log %s bytes before, %s after (+%s)%s; %zu stall lines",
        MiB(*figures.floodRssBefore), MiB(*figures.floodRssAfter), Grouped(*figures.floodLogBefore).c_str(),
        Grouped(*figures.floodLogAfter).c_str(), Grouped(*figures.floodLogAfter - *figures.floodLogBefore).c_str(),
        server.Rotated() ? " (rotated)" : "", figures.floodStalls);
    if (!figures.afterProbeMs || figures.floodPingsAnswered != figures.floodPings) ok = false;
  } catch (const std::exception& e) {
    Say("FAILED flood: %s", e.what());
    ok = false;
  }
  return StopServer(server, "flood") && ok;
}

// ---- Abuse ----------------------------------------------------------------

constexpr std::size_t kGarbagePeers = 4;
constexpr std::uint64_t kGarbagePerPeer = 8 << 20;
constexpr std::size_t kNonReaders = 4;
// A non-reader the server never closes is given up on after this much.
constexpr std::uint64_t kMaxPingBytes = 256 << 20;
constexpr Seconds kNonReaderLimit{20.0};

// Whether the server has closed `fd` (end of stream or reset seen); never reads.
bool ClosedByPeer(int fd) {
  pollfd one{fd, POLLRDHUP, 0};
  return ::poll(&one, 1, 0) > 0 && (one.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void Garbage(Server& server, Figures& figures, std::uint64_t& peakKiB) {
  std::vector<Socket> peers;
  for (std::size_t i = 0; i < kGarbagePeers; ++i) {
    peers.push_back(ConnectPhone(server.port, "Bench/garbage-" + std::to_string(i) + "/Loopback/1"));
  }
  // One more whose hello itself is random bytes; it gets whatever answer such a hello earns.
  Random random{7};
  {
    Socket odd = ConnectTcp(server.port, 0);
    std::uint8_t hello[100];
    random.Fill(hello, sizeof hello);
    SendAll(odd.fd(), hello, sizeof hello);
    peers.push_back(std::move(odd));
  }
  figures.garbagePeers = peers.size();
  std::vector<std::uint8_t> chunk(64 * 1024);
  std::vector<bool> closed(peers.size(), false);
  std::uint8_t sink[65536];
  for (std::uint64_t sent = 0; sent < kGarbagePerPeer; sent += chunk.size()) {
    for (std::size_t i = 0; i < peers.size(); ++i) {
      if (closed[i]) continue;
      random.Fill(chunk.data(), chunk.size());
      Tame(chunk.data(), chunk.size());
      try {
        SendAll(peers[i].fd(), chunk.data(), chunk.size());
        figures.garbageBytes += chunk.size();
      } catch (const BenchError&) {
        closed[i] = true;
      }
      // Whatever it answers is read, so that only the garbage counts here.
      while (::recv(peers[i].fd(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
      }
    }
    peakKiB = std::max(peakKiB, server.RssKiB());
  }
  // Then a stretch no frame can span, and a PING: a peer still served answers it.
  std::vector<std::uint8_t> tail(70 * 1024, 0xEE);
  tail.push_back(ToByte(Command::Ping));
  for (std::size_t i = 0; i < peers.size(); ++i) {
    if (closed[i] || ClosedByPeer(peers[i].fd())) {
      ++figures.garbageClosed;
      continue;
    }
    try {
      SendAll(peers[i].fd(), tail.data(), tail.size());
      AwaitByte(peers[i].fd(), Command::Pong);
      ++figures.garbageAnswered;
    } catch (const BenchError&) {
      ++figures.garbageClosed;
    }
  }
}

void NonReaders(Server& server, Figures& figures, std::uint64_t& peakKiB) {
  std::vector<Socket> peers;
  for (std::size_t i = 0; i < kNonReaders; ++i) {
    // A small receive buffer: the replies pile up in the server, not in this kernel.
    peers.push_back(ConnectPhone(server.port, "Bench/deaf-" + std::to_string(i) + "/Loopback/1", 0, 4096));
    ::fcntl(peers.back().fd(), F_SETFL, ::fcntl(peers.back().fd(), F_GETFL) | O_NONBLOCK);
  }
  figures.readers = peers.size();
  const std::vector<std::uint8_t> pings(64 * 1024, ToByte(Command::Ping));
  std::vector<std::uint64_t> sent(peers.size(), 0);
  std::vector<bool> done(peers.size(), false);
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(kNonReaderLimit);
  std::vector<pollfd> watch;
  std::vector<std::size_t> owner;
  auto lastSample = Clock::now();
  for (;;) {
    watch.clear();
    owner.clear();
    for (std::size_t i = 0; i < peers.size(); ++i) {
      if (done[i]) continue;
      watch.push_back({peers[i].fd(), POLLOUT | POLLRDHUP, 0});
      owner.push_back(i);
    }
    if (watch.empty() || Clock::now() > deadline) break;
    if (::poll(watch.data(), watch.size(), 100) < 0 && errno != EINTR) throw BenchError(ErrnoText("poll"));
    for (std::size_t k = 0; k < watch.size(); ++k) {
      const std::size_t i = owner[k];
      if (watch[k].revents & (POLLRDHUP | POLLHUP | POLLERR)) {
        done[i] = true;
        ++figures.readersClosed;
        continue;
      }
      if (!(watch[k].revents & POLLOUT)) continue;
      const ssize_t n = ::send(peers[i].fd(), pings.data(), pings.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent[i] += static_cast<std::uint64_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        done[i] = true;
        ++figures.readersClosed;
      }
      if (sent[i] >= kMaxPingBytes) done[i] = true;
    }
    if (Clock::now() - lastSample > Milliseconds(50)) {
      peakKiB = std::max(peakKiB, server.RssKiB());
      lastSample = Clock::now();
    }
  }
  for (const auto bytes : sent) figures.pingsToClose = std::max(figures.pingsToClose, bytes);
}

bool Abuse(const Options& options, Figures& figures) {
  Server server = StartServer(options, "abuse", static_cast<std::uint16_t>(options.port + 9), std::nullopt);
  bool ok = true;
  try {
    figures.abuseRssBefore = server.RssKiB();
    figures.abuseLogBefore = server.LogBytes();
    std::uint64_t peak = *figures.abuseRssBefore;
    Garbage(server, figures, peak);
    figures.abuseLogAfterGarbage = server.LogBytes();
    Say("abuse: %s MiB of random bytes after the hello from %zu peers: %zu still served (answered a PING), %zu closed "
        "by the server; log +%s bytes; %zu stall lines",
        Grouped(figures.garbageBytes >> 20).c_str(), figures.garbagePeers, figures.garbageAnswered,
        figures.garbageClosed, Grouped(*figures.abuseLogAfterGarbage - *figures.abuseLogBefore).c_str(),
        server.Stalls());
    NonReaders(server, figures, peak);
    std::this_thread::sleep_for(Milliseconds(500));
    figures.abusePeak = peak;
    figures.abuseRssAfter = server.RssKiB();
    figures.abuseLogAfter = server.LogBytes();
    figures.backlogLines = CountLinesContaining(server.LogPath(), kBacklogLine);
    figures.abuseStalls = server.Stalls();
    Say("abuse: %zu peers sending PINGs and reading nothing: %zu closed by the server (%zu backlog lines in its log), "
        "up to %s MiB of PINGs sent before",
        figures.readers, figures.readersClosed, figures.backlogLines,
        Fixed(static_cast<double>(figures.pingsToClose) / 1048576.0, 1).c_str());
    Say("abuse: server VmRSS %.1f MiB before, %.1f MiB at most, %.1f MiB after; log +%s bytes in all%s; "
        "%zu stall lines",
        MiB(*figures.abuseRssBefore), MiB(*figures.abusePeak), MiB(*figures.abuseRssAfter),
        Grouped(*figures.abuseLogAfter - *figures.abuseLogBefore).c_str(), server.Rotated() ? " (rotated)" : "",
        figures.abuseStalls);
    // The server must still serve a phone.
    Socket phone = ConnectPhone(server.port, "Bench/after-abuse/Loopback/1");
    Say("abuse: a phone afterwards: PING %.2f ms", PingMs(phone.fd()));
    if (figures.readersClosed != figures.readers) ok = false;
  } catch (const std::exception& e) {
    Say("FAILED abuse: %s", e.what());
    ok = false;
  }
  return StopServer(server, "abuse") && ok;
}

// ---- Table -----------------------------------------------------------------

void PrintTable(const Options& options, const Figures& f) {
  std::printf("\n==== for the README ====\n");
  std::printf("Measured with vandrel-load-bench on %s (loopback, private network namespace).\n\n",
              MachineText().c_str());
  std::printf("| Load | Result |\n|---|---|\n");
  if (f.idleRoundTripMs && f.loadedRoundTripMs) {
    std::printf("| Phone connect + hello + AUTH_SUCCESS + PING, median of %u | %s ms alone, %s ms with %s silent "
                "connections open (ratio %s) |\n",
                options.roundTrips, Fixed(*f.idleRoundTripMs, 2).c_str(), Fixed(*f.loadedRoundTripMs, 2).c_str(),
                Grouped(f.silentHeld).c_str(), Fixed(*f.loadedRoundTripMs / *f.idleRoundTripMs, 2).c_str());
  }
  if (f.idleRssKiB && f.silentRssKiB) {
    std::printf("| Server memory (VmRSS) without / with %s silent connections | %s / %s MiB |\n",
                Grouped(f.silentHeld).c_str(), Fixed(MiB(*f.idleRssKiB), 1).c_str(),
                Fixed(MiB(*f.silentRssKiB), 1).c_str());
  }
  if (f.sessionsRssKiB && f.sessionsBaseKiB && f.sessions > 0) {
    const std::uint64_t grown = *f.sessionsRssKiB - std::min(*f.sessionsRssKiB, *f.sessionsBaseKiB);
    std::printf("| Server memory with %s idle authenticated sessions | %s MiB (%s KiB per session) |\n",
                Grouped(f.sessions).c_str(), Fixed(MiB(*f.sessionsRssKiB), 1).c_str(),
                Fixed(static_cast<double>(grown) / static_cast<double>(f.sessions), 2).c_str());
    std::printf("| Sessions accepted per second while %s open, one after another | %s |\n",
                Grouped(f.sessions).c_str(),
                Grouped(static_cast<std::uint64_t>(f.sessionsRate.value_or(0) + 0.5)).c_str());
    if (f.firstRate && f.lastRate) {
      std::printf("| The same, first / last 1,000 of them | %s / %s |\n",
                  Grouped(static_cast<std::uint64_t>(*f.firstRate + 0.5)).c_str(),
                  Grouped(static_cast<std::uint64_t>(*f.lastRate + 0.5)).c_str());
    }
    std::printf("| io_context stall lines with %s sessions, opening and closing them | %zu |\n",
                Grouped(f.sessions).c_str(), f.sessionsStalls);
  }
  if (f.floodRssBefore && f.floodRssAfter && f.floodLogBefore && f.floodLogAfter) {
    std::printf("| %s s of random datagrams on input, discovery and mDNS ports | %s datagrams; PING answered %zu/%zu "
                "(worst %s ms), discovery %zu/%zu; VmRSS %s -> %s MiB; log +%s bytes |\n",
                Fixed(f.floodSeconds, 0).c_str(), Grouped(f.datagrams[0] + f.datagrams[1] + f.datagrams[2]).c_str(),
                f.floodPingsAnswered, f.floodPings, Fixed(f.floodWorstPingMs, 1).c_str(), f.floodProbesAnswered,
                f.floodProbes, Fixed(MiB(*f.floodRssBefore), 1).c_str(), Fixed(MiB(*f.floodRssAfter), 1).c_str(),
                Grouped(*f.floodLogAfter - *f.floodLogBefore).c_str());
  }
  if (f.abuseLogBefore && f.abuseLogAfterGarbage) {
    std::printf("| %s MiB of random bytes after the hello (%zu peers) | log +%s bytes; %zu peers still served |\n",
                Grouped(f.garbageBytes >> 20).c_str(), f.garbagePeers,
                Grouped(*f.abuseLogAfterGarbage - *f.abuseLogBefore).c_str(), f.garbageAnswered);
  }
  if (f.abuseRssBefore && f.abusePeak && f.abuseRssAfter && f.abuseLogAfter && f.abuseLogAfterGarbage) {
    std::printf("| %zu peers sending PINGs, never reading | %zu closed by the server; VmRSS %s MiB, at most %s, after "
                "%s; log +%s bytes; %zu stall lines |\n",
                f.readers, f.readersClosed, Fixed(MiB(*f.abuseRssBefore), 1).c_str(),
                Fixed(MiB(*f.abusePeak), 1).c_str(), Fixed(MiB(*f.abuseRssAfter), 1).c_str(),
                Grouped(*f.abuseLogAfter - *f.abuseLogAfterGarbage).c_str(), f.abuseStalls);
  }
  std::fflush(stdout);
}

int Run(const Options& options) {
  if (!OnlyLoopback()) {
    std::fprintf(stderr, "vandrel-load-bench: this network namespace has more than loopback; run it through "
                         "scripts/netns-run.sh\n");
    return 2;
  }
  if (!fs::is_regular_file(options.vandrel)) {
    std::fprintf(stderr, "vandrel-load-bench: no server program at %s (build it, or pass --vandrel)\n",
                 options.vandrel.c_str());
    return 2;
  }
  const auto benchStart = Clock::now();
  const rlim_t fileLimit = RaiseFileLimit();
  const WorkFolder work("vandrel-load-bench");
  WatchTerminationSignals([] {
    std::error_code ignored;
    fs::remove_all(gWorkFolder, ignored);
  });
  Say("machine: %s", MachineText().c_str());
  Say("open-file limit of the bench and its servers: %llu", static_cast<unsigned long long>(fileLimit));

  Figures figures;
  int failures = 0;
  const auto part = [&](const char* name, auto&& run) {
    try {
      if (!run()) ++failures;
    } catch (const std::exception& e) {
      Say("FAILED %s: %s", name, e.what());
      ++failures;
    }
  };
  if (options.silent > 0) part("silent", [&] { return SilentConnections(options, figures); });
  if (options.sessions > 0) part("sessions", [&] { return IdleSessions(options, figures, fileLimit); });
  if (options.floodSeconds > 0) part("flood", [&] { return DatagramFlood(options, figures); });
  part("abuse", [&] { return Abuse(options, figures); });

  PrintTable(options, figures);
  if (options.keep) {
    // Out of the work folder's reach, which is removed on the way out.
    const fs::path kept = gWorkFolder.string() + "-kept";
    std::error_code ec;
    fs::rename(gWorkFolder, kept, ec);
    if (!ec) Say("servers' folders kept: %s", kept.c_str());
  }
  Say("\nload bench finished in %.1f s with %d failure%s", Seconds(Clock::now() - benchStart).count(), failures,
      failures == 1 ? "" : "s");
  return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace vandrel::bench

int main(int argc, char** argv) {
  const auto options = vandrel::bench::ParseOptions(argc, argv);
  if (!options) return 2;
  try {
    return vandrel::bench::Run(*options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vandrel-load-bench: %s\n", e.what());
    return 1;
  }
}
