// SHA-256 (FIPS 180-4), used for the password handshake. Self-contained so the
// server needs no crypto library on either platform.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vandrel {

inline constexpr std::size_t kSha256DigestSize = 32;
using Sha256Digest = std::array<std::uint8_t, kSha256DigestSize>;

/// Hashes a message fed in pieces of any size.
class Sha256Hasher {
 public:
  Sha256Hasher() noexcept;

  void Update(const void* data, std::size_t length) noexcept;
  void Update(std::span<const std::uint8_t> data) noexcept { Update(data.data(), data.size()); }
  void Update(std::string_view text) noexcept { Update(text.data(), text.size()); }

  /// The digest of everything fed since construction or the last Finish; the
  /// hasher then starts over on an empty message.
  Sha256Digest Finish() noexcept;

 private:
  static constexpr std::size_t kBlockSize = 64;

  void Reset() noexcept;
  void ProcessBlock(const std::uint8_t* block) noexcept;

  std::array<std::uint32_t, 8> state_{};
  std::array<std::uint8_t, kBlockSize> buffer_{};
  std::size_t buffered_ = 0;
  // Message length in bytes; the padding needs it in bits, modulo 2^64.
  std::uint64_t totalBytes_ = 0;
};

/// One-shot digest of `length` bytes at `data`.
Sha256Digest Sha256(const void* data, std::size_t length) noexcept;

inline Sha256Digest Sha256(std::span<const std::uint8_t> data) noexcept {
  return Sha256(data.data(), data.size());
}

inline Sha256Digest Sha256(std::string_view text) noexcept {
  return Sha256(text.data(), text.size());
}

}  // namespace vandrel
