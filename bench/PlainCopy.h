// The yardstick for the server's file transfer: the same bytes over a plain
// loopback TCP connection to a trivial receiver that writes them to a file the
// way the server does (65,535-byte pieces, a 64 KiB stdio buffer, no fsync).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>

namespace vandrel::bench {

/// Sends `source` to a receiver thread that writes it to `target`; returns the
/// time from the first byte sent to the receiver's acknowledgement, which it
/// sends after closing the file. Every wait ends within `timeout`. Throws BenchError.
std::chrono::duration<double> PlainTcpCopy(const std::filesystem::path& source, const std::filesystem::path& target,
                                           std::chrono::milliseconds timeout);

}  // namespace vandrel::bench
