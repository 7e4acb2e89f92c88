// vandrel-bench: starts the headless server as a child process and measures,
// from the phone's side over loopback, file transfer throughput against a plain
// TCP copy, memory per idle session, connections accepted per second and
// network-thread stalls. Prints one line per figure and a table for the README.
//
// It must run inside a private network namespace (scripts/netns-run.sh): the
// server it starts listens on real ports, and only loopback may carry that.

#include <sys/resource.h>
#include <sys/utsname.h>

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BenchText.h"
#include "Measurements.h"
#include "PlainCopy.h"
#include "RawSession.h"
#include "ServerProcess.h"

namespace vandrel::bench {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr std::string_view kStallLine = "[DIAG] io_context stall";
// The server ends sessions silent for 20 s; half of that leaves room.
constexpr Milliseconds kKeepAlive{8000};
constexpr Milliseconds kStepTimeout{5000};
constexpr Milliseconds kTransferTimeout{60000};
constexpr Seconds kRateLimit{60.0};
// Each closed connection leaves its client port in TIME_WAIT for a minute;
// this keeps a run well inside the 28,000 ephemeral ports.
constexpr std::size_t kMaxConnections = 20000;
constexpr std::size_t kMaxSessions = 10000;

struct Options {
  fs::path vandrel = "build/vandrel";
  std::uint16_t port = 6969;
  std::uint64_t fileMiB = 256;
  std::size_t sessions = 1000;
  std::size_t connections = 5000;
  unsigned threads = 4;
  unsigned rounds = 3;
  fs::path tempParent;
  bool keep = false;
};

constexpr const char* kUsage =
    "Usage: vandrel-bench [options]   (run it through scripts/netns-run.sh)\n"
    "  --vandrel PATH      the server program (default build/vandrel)\n"
    "  --port N            TCP port for the server (default 6969)\n"
    "  --file-mib N        size of the transferred file in MiB, 0 to skip (default 256)\n"
    "  --sessions N        idle sessions for the memory figure, 0 to skip (default 1000)\n"
    "  --connections N     connections per accept-rate run, 0 to skip (default 5000)\n"
    "  --threads N         client threads for the parallel accept rate (default 4)\n"
    "  --rounds N          repetitions of the transfer and accept-rate runs; medians count (default 3)\n"
    "  --temp-dir DIR      where the work folder is made (default $TMPDIR or /tmp)\n"
    "  --keep              keep the work folder (payload, received files, server log)\n";


std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  const char* tmp = std::getenv("TMPDIR");
  options.tempParent = tmp && *tmp ? tmp : "/tmp";
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
      std::fprintf(stderr, "vandrel-bench: %s needs a value (or is unknown; see --help)\n", arg.c_str());
      return std::nullopt;
    }
    const std::string& value = args[++i];
    bool ok = true;
    if (arg == "--vandrel") options.vandrel = value;
    else if (arg == "--temp-dir") options.tempParent = value;
    else if (arg == "--port") ok = ParseNumber<std::uint16_t>(value, options.port, 1, 65535);
    else if (arg == "--file-mib") ok = ParseNumber<std::uint64_t>(value, options.fileMiB, 0, 16384);
    else if (arg == "--sessions") ok = ParseNumber<std::size_t>(value, options.sessions, 0, kMaxSessions);
    else if (arg == "--connections") ok = ParseNumber<std::size_t>(value, options.connections, 0, kMaxConnections);
    else if (arg == "--threads") ok = ParseNumber<unsigned>(value, options.threads, 1, 64);
    else if (arg == "--rounds") ok = ParseNumber<unsigned>(value, options.rounds, 1, 9);
    else {
      std::fprintf(stderr, "vandrel-bench: unknown option %s (see --help)\n", arg.c_str());
      return std::nullopt;
    }
    if (!ok) {
      std::fprintf(stderr, "vandrel-bench: bad value for %s: %s\n", arg.c_str(), value.c_str());
      return std::nullopt;
    }
  }
  return options;
}




double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double MiB(std::uint64_t kib) { return static_cast<double>(kib) / 1024.0; }

// Interfaces of the network namespace this process is in; /proc/net follows
// the reader's namespace, unlike /sys/class/net.
std::vector<std::string> NetworkInterfaces() {
  std::ifstream dev("/proc/net/dev");
  std::vector<std::string> names;
  std::string line;
  while (std::getline(dev, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    const auto first = line.find_first_not_of(' ');
    names.push_back(line.substr(first, colon - first));
  }
  return names;
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

// 1,000 sessions mean 1,000 sockets in the bench and as many in the server,
// which inherits the limit.
void RaiseFileLimit(std::size_t sessions) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = std::max<rlim_t>(4096, static_cast<rlim_t>(sessions) + 512);
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  ::setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < wanted) {
    Say("warning: open-file limit is %llu, below the %llu wanted for %zu sessions",
        static_cast<unsigned long long>(limit.rlim_cur), static_cast<unsigned long long>(wanted), sessions);
  }
}

std::string Tail(const fs::path& file, std::size_t maxBytes) {
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.size() > maxBytes) text = "..." + text.substr(text.size() - maxBytes);
  return text;
}

// The work folder goes away on every way out, after the server has stopped
// (it is declared before the server).
struct WorkFolder {
  fs::path path;
  bool keep = false;
  ~WorkFolder() {
    if (path.empty()) return;
    if (keep) {
      std::printf("work folder kept: %s\n", path.c_str());
      return;
    }
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

struct Figures {
  std::optional<double> serverMBps, plainMBps;
  std::optional<std::uint64_t> startKiB, sessionsKiB;
  std::optional<double> perSessionKiB;
  std::optional<double> sequentialRate, parallelRate;
  std::optional<std::size_t> sessionStalls, totalStalls;
};

void WaitUntilListening(ServerProcess& server, std::uint16_t port, const fs::path& errorFile) {
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  std::string lastError;
  while (Clock::now() < deadline) {
    if (!server.Running()) {
      throw BenchError("the server ended during start-up (" + server.ExitText() + "); its error output:\n" +
                       Tail(errorFile, 2000));
    }
    try {
      ProbeServer(port, Milliseconds(1000));
      return;
    } catch (const BenchError& e) {
      lastError = e.what();
    }
    std::this_thread::sleep_for(Milliseconds(50));
  }
  throw BenchError("the server did not accept a session within 15 s: " + lastError);
}

void PrintTable(const Options& options, const Figures& figures) {
  std::printf("\n==== for the README ====\n");
  std::printf("Measured with scripts/bench.sh on %s (loopback, private network namespace).\n\n",
              MachineText().c_str());
  std::printf("| Measure | Result |\n|---|---|\n");
  if (figures.serverMBps && figures.plainMBps) {
    std::printf("| File transfer, %s MiB over loopback | %s MB/s (plain TCP copy %s MB/s, ratio %s) |\n",
                Grouped(options.fileMiB).c_str(), Fixed(*figures.serverMBps, 0).c_str(),
                Fixed(*figures.plainMBps, 0).c_str(),
                Fixed(*figures.serverMBps / *figures.plainMBps, 2).c_str());
  }
  if (figures.startKiB) {
    std::printf("| Server memory (VmRSS) at start | %s MiB |\n", Fixed(MiB(*figures.startKiB), 1).c_str());
  }
  if (figures.sessionsKiB && figures.perSessionKiB) {
    std::printf("| Server memory with %s idle sessions | %s MiB (%s KiB per session) |\n",
                Grouped(options.sessions).c_str(), Fixed(MiB(*figures.sessionsKiB), 1).c_str(),
                Fixed(*figures.perSessionKiB, 1).c_str());
  }
  if (figures.sequentialRate) {
    std::printf("| Connections accepted per second, 1 client thread | %s |\n",
                Grouped(static_cast<std::uint64_t>(*figures.sequentialRate + 0.5)).c_str());
  }
  if (figures.parallelRate) {
    std::printf("| Connections accepted per second, %u client threads | %s |\n", options.threads,
                Grouped(static_cast<std::uint64_t>(*figures.parallelRate + 0.5)).c_str());
  }
  if (figures.sessionStalls) {
    std::printf("| Network-thread stalls logged up to %s idle sessions | %zu |\n", Grouped(options.sessions).c_str(),
                *figures.sessionStalls);
  }
  std::fflush(stdout);
}

int Run(const Options& options) {
  const auto interfaces = NetworkInterfaces();
  if (interfaces.size() != 1 || interfaces[0] != "lo") {
    std::fprintf(stderr,
                 "vandrel-bench: this network namespace has more than loopback; run it through "
                 "scripts/netns-run.sh\n");
    return 2;
  }
  if (!fs::is_regular_file(options.vandrel)) {
    std::fprintf(stderr, "vandrel-bench: no server program at %s (build it, or pass --vandrel)\n",
                 options.vandrel.c_str());
    return 2;
  }
  const auto benchStart = Clock::now();
  RaiseFileLimit(options.sessions);

  WorkFolder work;
  work.keep = options.keep;
  {
    std::string pattern = (options.tempParent / "vandrel-bench.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
      std::fprintf(stderr, "vandrel-bench: cannot make a folder in %s: %s\n", options.tempParent.c_str(),
                   std::strerror(errno));
      return 2;
    }
    work.path = pattern;
  }
  WatchTerminationSignals([folder = work.path, keep = options.keep] {
    std::error_code ignored;
    if (!keep) fs::remove_all(folder, ignored);
  });
  const fs::path config = work.path / "config";
  const fs::path state = work.path / "state";
  const fs::path runtime = work.path / "runtime";
  const fs::path desktop = work.path / "desktop";
  for (const auto& folder : {config, state, runtime, desktop}) fs::create_directory(folder);
  fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
  const fs::path logFile = state / "Vandrel" / "vandrel.log";
  const fs::path errorFile = work.path / "server-stderr.txt";
  const fs::path payload = work.path / "bench-payload.bin";
  const std::uint64_t payloadBytes = options.fileMiB << 20;

  Say("machine: %s", MachineText().c_str());
  Say("work folder: %s", work.path.c_str());
  if (payloadBytes > 0) {
    const auto start = Clock::now();
    WritePayload(payload, payloadBytes);
    Say("payload: %s MiB of pseudo-random bytes written in %.2f s", Grouped(options.fileMiB).c_str(),
        Seconds(Clock::now() - start).count());
  }

  int failures = 0;
  Figures figures;
  const auto stalls = [&] { return CountLinesContaining(logFile, kStallLine); };

  ServerProcess server(options.vandrel,
                       {"--headless", "--port", std::to_string(options.port), "--no-ble", "--no-mdns", "--no-adb"},
                       {{"XDG_CONFIG_HOME", config.string()},
                        {"XDG_STATE_HOME", state.string()},
                        {"XDG_RUNTIME_DIR", runtime.string()},
                        {"XDG_DESKTOP_DIR", desktop.string()},
                        {"VANDREL_UPDATE_FEED", "http://127.0.0.1:9/releases/latest"},
                        {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vandrel-bench-bus"}},
                       errorFile);
  try {
    WaitUntilListening(server, options.port, errorFile);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vandrel-bench: %s\n", e.what());
    return 1;
  }
  Say("server: pid %d listening on 127.0.0.1:%u", static_cast<int>(server.pid()), options.port);
  if (!fs::exists(logFile)) Say("warning: no server log at %s; stall lines cannot be counted", logFile.c_str());

  // Let the probe session's end settle before the baseline.
  std::this_thread::sleep_for(Milliseconds(300));
  try {
    const auto memory = server.Memory();
    figures.startKiB = memory.residentKiB;
    Say("memory at start:               %8.1f MiB VmRSS (%llu KiB), %u threads", MiB(memory.residentKiB),
        static_cast<unsigned long long>(memory.residentKiB), memory.threads);
  } catch (const std::exception& e) {
    Say("FAILED memory at start: %s", e.what());
    ++failures;
  }

  // Idle sessions: memory per session, and whether opening them stalls the network thread.
  if (options.sessions > 0 && server.Running()) {
    try {
      const auto start = Clock::now();
      auto sessions = OpenSessions(options.port, options.sessions, kStepTimeout, kKeepAlive);
      const Seconds opening = Clock::now() - start;
      const std::size_t answered = PingAll(sessions, kStepTimeout);
      const auto memory = server.Memory();
      Say("sessions: %s opened and authenticated in %.2f s; %s of them answered PING", Grouped(sessions.size()).c_str(),
          opening.count(), Grouped(answered).c_str());
      if (answered != sessions.size()) {
        Say("FAILED: %zu sessions did not stay open", sessions.size() - answered);
        ++failures;
      }
      const std::uint64_t baseline = figures.startKiB.value_or(0);
      const std::uint64_t grown = memory.residentKiB > baseline ? memory.residentKiB - baseline : 0;
      figures.sessionsKiB = memory.residentKiB;
      figures.perSessionKiB = static_cast<double>(grown) / static_cast<double>(sessions.size());
      Say("memory with %s sessions:    %8.1f MiB VmRSS (%llu KiB), %u threads", Grouped(sessions.size()).c_str(),
          MiB(memory.residentKiB), static_cast<unsigned long long>(memory.residentKiB), memory.threads);
      Say("memory per idle session:       %8.1f KiB (growth %llu KiB / %zu)", *figures.perSessionKiB,
          static_cast<unsigned long long>(grown), sessions.size());
      sessions.clear();
      // Closing a thousand sessions at once belongs to the step: its stall,
      // if any, is logged only once the network thread runs again.
      std::this_thread::sleep_for(Milliseconds(500));
      Say("memory after closing them:     %8.1f MiB VmRSS", MiB(server.Memory().residentKiB));
      figures.sessionStalls = stalls();
      Say("io_context stall lines so far:  %8zu (target 0)", *figures.sessionStalls);
    } catch (const std::exception& e) {
      Say("FAILED idle sessions: %s", e.what());
      ++failures;
    }
  }

  // File transfer, alternating plain copy and server for several rounds so
  // that neither always runs first; each written file is checked and removed
  // before the next run. The medians are the figures.
  if (payloadBytes > 0 && server.Running()) {
    const double megabytes = static_cast<double>(payloadBytes) / 1e6;
    std::vector<double> plainRates;
    std::vector<double> serverRates;
    for (unsigned round = 1; round <= options.rounds && server.Running(); ++round) {
      try {
        const fs::path copy = desktop / "plain-copy.bin";
        const Seconds elapsed = PlainTcpCopy(payload, copy, kTransferTimeout);
        const bool same = SameContent(payload, copy);
        fs::remove(copy);
        if (!same) throw BenchError("the plain copy differs from the payload");
        plainRates.push_back(megabytes / elapsed.count());
        Say("round %u plain TCP copy:       %8.1f MB/s (%s bytes in %.3f s, content verified)", round,
            plainRates.back(), Grouped(payloadBytes).c_str(), elapsed.count());
      } catch (const std::exception& e) {
        Say("FAILED plain TCP copy: %s", e.what());
        ++failures;
        break;
      }
      try {
        const fs::path received = desktop / payload.filename();
        const Seconds elapsed = ServerFileTransfer(options.port, payload, kTransferTimeout);
        std::error_code ec;
        const auto size = fs::file_size(received, ec);
        if (ec) throw BenchError("no received file at " + received.string());
        if (size != payloadBytes) {
          throw BenchError("received " + Grouped(size) + " bytes of " + Grouped(payloadBytes));
        }
        const bool same = SameContent(payload, received);
        fs::remove(received);
        if (!same) throw BenchError("the received file differs from the payload");
        serverRates.push_back(megabytes / elapsed.count());
        Say("round %u transfer via vandrel: %8.1f MB/s (%s bytes in %.3f s, size and content verified)", round,
            serverRates.back(), Grouped(payloadBytes).c_str(), elapsed.count());
      } catch (const std::exception& e) {
        Say("FAILED file transfer through vandrel: %s", e.what());
        ++failures;
        break;
      }
    }
    if (!plainRates.empty() && !serverRates.empty()) {
      figures.plainMBps = Median(plainRates);
      figures.serverMBps = Median(serverRates);
      Say("file transfer via vandrel:     %8.1f MB/s (median of %zu)", *figures.serverMBps, serverRates.size());
      Say("plain TCP copy:                %8.1f MB/s (median of %zu)", *figures.plainMBps, plainRates.size());
      Say("file transfer ratio vandrel/plain: %.2f", *figures.serverMBps / *figures.plainMBps);
    }
  }

  // Accept rate: one client thread, then several; the median of the rounds.
  if (options.connections > 0 && server.Running()) {
    for (const unsigned threads : {1u, options.threads}) {
      std::vector<double> rates;
      for (unsigned round = 1; round <= options.rounds && server.Running(); ++round) {
        const RateResult rate = ConnectionRate(options.port, options.connections, threads, kStepTimeout, kRateLimit);
        if (rate.failed > 0 || rate.completed != options.connections) {
          Say("FAILED: %zu connections failed, %s of %s completed; first error: %s", rate.failed,
              Grouped(rate.completed).c_str(), Grouped(options.connections).c_str(), rate.firstError.c_str());
          ++failures;
          break;
        }
        rates.push_back(rate.PerSecond());
        Say("round %u connections/s, %u thread%s: %8.0f (%s in %.3f s, slowest %.1f ms)", round, threads,
            threads == 1 ? " " : "s", rates.back(), Grouped(rate.completed).c_str(), rate.elapsed.count(),
            rate.slowest.count() * 1000);
      }
      if (rates.size() == options.rounds) {
        (threads == 1 ? figures.sequentialRate : figures.parallelRate) = Median(rates);
        Say("connections/s, %u client thread%s: %8.0f (median of %zu rounds of %s)", threads,
            threads == 1 ? " " : "s", Median(rates), rates.size(), Grouped(options.connections).c_str());
      }
      if (options.threads == 1) break;
    }
  }

  figures.totalStalls = stalls();
  Say("io_context stall lines, whole run: %zu", *figures.totalStalls);

  if (!server.Running()) {
    Say("FAILED: the server ended during the run (%s)", server.ExitText().c_str());
    ++failures;
  }
  bool clean = false;
  const std::string ending = server.Stop(std::chrono::seconds(10), clean);
  Say("server stopped by SIGINT: %s", ending.c_str());
  if (!clean) {
    ++failures;
    const std::string errors = Tail(errorFile, 2000);
    if (!errors.empty()) Say("server error output:\n%s", errors.c_str());
  }

  PrintTable(options, figures);
  Say("\nbench finished in %.1f s with %d failure%s", Seconds(Clock::now() - benchStart).count(), failures,
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
    std::fprintf(stderr, "vandrel-bench: %s\n", e.what());
    return 1;
  }
}
