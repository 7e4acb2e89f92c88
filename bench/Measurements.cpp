#include "Measurements.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "vandrel-phone/PhoneClient.h"

namespace vandrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBlock = 1 << 20;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File OpenFile(const std::filesystem::path& path, const char* mode) {
  File file(std::fopen(path.c_str(), mode));
  if (!file) throw BenchError("cannot open " + path.string() + ": " + std::strerror(errno));
  return file;
}

std::string SessionHello(std::size_t index) { return "Bench/bench-" + std::to_string(index) + "/Loopback/1"; }

}  // namespace

void WritePayload(const std::filesystem::path& path, std::uint64_t bytes) {
  const File file = OpenFile(path, "wb");
  std::vector<std::uint64_t> block(kBlock / sizeof(std::uint64_t));
  // splitmix64: cheap, and no two blocks repeat.
  std::uint64_t state = 0x9e3779b97f4a7c15u;
  std::uint64_t left = bytes;
  while (left > 0) {
    for (auto& word : block) {
      std::uint64_t z = (state += 0x9e3779b97f4a7c15u);
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
      word = z ^ (z >> 31);
    }
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, left));
    if (std::fwrite(block.data(), 1, count, file.get()) != count) {
      throw BenchError("cannot write " + path.string() + ": " + std::strerror(errno));
    }
    left -= count;
  }
  if (std::fflush(file.get()) != 0) throw BenchError("cannot write " + path.string() + ": " + std::strerror(errno));
}

bool SameContent(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code ec;
  const auto sizeA = std::filesystem::file_size(a, ec);
  if (ec) return false;
  const auto sizeB = std::filesystem::file_size(b, ec);
  if (ec || sizeA != sizeB) return false;
  const File fileA = OpenFile(a, "rb");
  const File fileB = OpenFile(b, "rb");
  std::vector<char> blockA(kBlock);
  std::vector<char> blockB(kBlock);
  for (;;) {
    const std::size_t gotA = std::fread(blockA.data(), 1, blockA.size(), fileA.get());
    const std::size_t gotB = std::fread(blockB.data(), 1, blockB.size(), fileB.get());
    if (gotA != gotB || std::memcmp(blockA.data(), blockB.data(), gotA) != 0) return false;
    if (gotA < blockA.size()) return true;
  }
}

void ProbeServer(std::uint16_t port, Milliseconds timeout) {
  RawSession session;
  session.Open(port, "Bench/probe/Loopback/1", timeout);
}

Seconds ServerFileTransfer(std::uint16_t port, const std::filesystem::path& file, Milliseconds timeout) {
  phone::PhoneClient client{phone::Seconds(timeout)};
  client.Connect("127.0.0.1", port, "Bench/file-transfer/Loopback/1");
  const auto handshake = client.Handshake(std::nullopt);
  if (handshake != phone::HandshakeResult::Success) {
    throw BenchError(handshake == phone::HandshakeResult::PasswordRequired
                         ? "the server asks for a password; the bench needs none set"
                         : "the file transfer session was not authenticated");
  }
  const auto start = Clock::now();
  client.SendFile(file);
  // The server handles a connection's packets in order: the PONG means the
  // file is written and closed.
  client.Ping();
  const Seconds elapsed = Clock::now() - start;
  client.Close();
  return elapsed;
}

std::vector<RawSession> OpenSessions(std::uint16_t port, std::size_t count, Milliseconds timeout,
                                     Milliseconds keepAlive) {
  std::vector<RawSession> sessions(count);
  auto lastKeepAlive = Clock::now();
  for (std::size_t i = 0; i < count; ++i) {
    try {
      sessions[i].Open(port, SessionHello(i), timeout);
    } catch (const BenchError& e) {
      throw BenchError("session " + std::to_string(i + 1) + " of " + std::to_string(count) + ": " + e.what());
    }
    if (Clock::now() - lastKeepAlive >= keepAlive) {
      for (std::size_t k = 0; k <= i; ++k) sessions[k].SendPing();
      lastKeepAlive = Clock::now();
    }
  }
  return sessions;
}

RateResult ConnectionRate(std::uint16_t port, std::size_t total, unsigned threads, Milliseconds timeout,
                          Seconds limit) {
  threads = std::max(1u, threads);
  constexpr std::size_t kMaxFailuresPerThread = 5;
  RateResult result;
  std::mutex mutex;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(limit);

  const auto work = [&](std::size_t share, std::size_t firstIndex) {
    std::size_t completed = 0;
    std::size_t failed = 0;
    std::string firstError;
    Seconds slowest{};
    RawSession session;
    for (std::size_t i = 0; i < share && failed < kMaxFailuresPerThread && Clock::now() < deadline; ++i) {
      try {
        const auto began = Clock::now();
        session.Open(port, SessionHello(firstIndex + i), timeout);
        session.Close();
        slowest = std::max(slowest, Seconds(Clock::now() - began));
        ++completed;
      } catch (const BenchError& e) {
        ++failed;
        if (firstError.empty()) firstError = e.what();
      }
    }
    std::lock_guard lock(mutex);
    result.completed += completed;
    result.failed += failed;
    result.slowest = std::max(result.slowest, slowest);
    if (result.firstError.empty()) result.firstError = firstError;
  };

  if (threads == 1) {
    work(total, 0);
  } else {
    std::vector<std::jthread> workers;
    std::size_t next = 0;
    for (unsigned t = 0; t < threads; ++t) {
      const std::size_t share = total / threads + (t < total % threads ? 1 : 0);
      workers.emplace_back(work, share, next);
      next += share;
    }
  }
  result.elapsed = Clock::now() - start;
  return result;
}

std::size_t CountLinesContaining(const std::filesystem::path& file, std::string_view needle) {
  std::ifstream in(file);
  std::size_t count = 0;
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(needle) != std::string::npos) ++count;
  }
  return count;
}

}  // namespace vandrel::bench
