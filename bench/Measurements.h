// The measuring steps, each against a server already listening on 127.0.0.1.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "RawSession.h"

namespace vandrel::bench {

using Seconds = std::chrono::duration<double>;

/// Writes `bytes` of pseudo-random content: nothing along the way can compress
/// it, and every run sends the same bytes.
void WritePayload(const std::filesystem::path& path, std::uint64_t bytes);

/// Whether the two files hold the same bytes.
bool SameContent(const std::filesystem::path& a, const std::filesystem::path& b);

/// One authenticated phone session that closes again; for waiting until the
/// server listens. Throws on any failure.
void ProbeServer(std::uint16_t port, Milliseconds timeout);

/// Sends `file` through the server with PhoneClient and returns the time from
/// FILE_TRANSFER_START to the PONG after FILE_TRANSFER_END. Throws.
Seconds ServerFileTransfer(std::uint16_t port, const std::filesystem::path& file, Milliseconds timeout);

/// Opens `count` authenticated sessions one after another. Sessions opened
/// earlier are PINGed every `keepAlive`, so the server's idle limit never ends
/// them while the rest open. Throws BenchError naming the failed session.
std::vector<RawSession> OpenSessions(std::uint16_t port, std::size_t count, Milliseconds timeout,
                                     Milliseconds keepAlive);

struct RateResult {
  std::size_t completed = 0;
  std::size_t failed = 0;
  Seconds elapsed{};
  /// The longest single connect-to-close.
  Seconds slowest{};
  std::string firstError;

  double PerSecond() const { return elapsed.count() > 0 ? static_cast<double>(completed) / elapsed.count() : 0.0; }
};

/// `total` times connect, hello, wait for AUTH_SUCCESS and close, spread over
/// `threads` client threads. A thread stops early after a few failures or when
/// `limit` has passed.
RateResult ConnectionRate(std::uint16_t port, std::size_t total, unsigned threads, Milliseconds timeout,
                          Seconds limit);

/// Lines of the file that contain `needle`; 0 when the file cannot be read.
std::size_t CountLinesContaining(const std::filesystem::path& file, std::string_view needle);

}  // namespace vandrel::bench
