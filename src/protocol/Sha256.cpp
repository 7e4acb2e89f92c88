#include "protocol/Sha256.h"

#include <algorithm>
#include <cstring>

namespace vandrel {
namespace {

// First 32 bits of the fractional parts of the cube roots of the first 64 primes.
constexpr std::array<std::uint32_t, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2,
};

// First 32 bits of the fractional parts of the square roots of the first 8 primes.
constexpr std::array<std::uint32_t, 8> kInitialState = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr std::uint32_t RotateRight(std::uint32_t x, unsigned n) noexcept {
  return (x >> n) | (x << (32 - n));
}

constexpr std::uint32_t Choose(std::uint32_t x, std::uint32_t y, std::uint32_t z) noexcept {
  return (x & y) ^ (~x & z);
}

constexpr std::uint32_t Majority(std::uint32_t x, std::uint32_t y, std::uint32_t z) noexcept {
  return (x & y) ^ (x & z) ^ (y & z);
}

constexpr std::uint32_t BigSigma0(std::uint32_t x) noexcept {
  return RotateRight(x, 2) ^ RotateRight(x, 13) ^ RotateRight(x, 22);
}

constexpr std::uint32_t BigSigma1(std::uint32_t x) noexcept {
  return RotateRight(x, 6) ^ RotateRight(x, 11) ^ RotateRight(x, 25);
}

constexpr std::uint32_t SmallSigma0(std::uint32_t x) noexcept {
  return RotateRight(x, 7) ^ RotateRight(x, 18) ^ (x >> 3);
}

constexpr std::uint32_t SmallSigma1(std::uint32_t x) noexcept {
  return RotateRight(x, 17) ^ RotateRight(x, 19) ^ (x >> 10);
}

// The algorithm is defined on big-endian words, whatever the host order.
std::uint32_t LoadBe32(const std::uint8_t* p) noexcept {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

void StoreBe32(std::uint8_t* p, std::uint32_t value) noexcept {
  p[0] = static_cast<std::uint8_t>(value >> 24);
  p[1] = static_cast<std::uint8_t>(value >> 16);
  p[2] = static_cast<std::uint8_t>(value >> 8);
  p[3] = static_cast<std::uint8_t>(value);
}

}  // namespace

Sha256Hasher::Sha256Hasher() noexcept { Reset(); }

void Sha256Hasher::Reset() noexcept {
  state_ = kInitialState;
  buffered_ = 0;
  totalBytes_ = 0;
}

void Sha256Hasher::Update(const void* data, std::size_t length) noexcept {
  if (length == 0) return;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  totalBytes_ += length;

  // Top up a partly filled block first.
  if (buffered_ > 0) {
    const std::size_t take = std::min(length, kBlockSize - buffered_);
    std::memcpy(buffer_.data() + buffered_, bytes, take);
    buffered_ += take;
    bytes += take;
    length -= take;
    if (buffered_ < kBlockSize) return;
    ProcessBlock(buffer_.data());
    buffered_ = 0;
  }
  // Whole blocks straight from the caller's memory, no copy.
  while (length >= kBlockSize) {
    ProcessBlock(bytes);
    bytes += kBlockSize;
    length -= kBlockSize;
  }
  if (length > 0) {
    std::memcpy(buffer_.data(), bytes, length);
    buffered_ = length;
  }
}

Sha256Digest Sha256Hasher::Finish() noexcept {
  const std::uint64_t bitLength = totalBytes_ * 8;

  // Padding: one 1 bit, zeros up to 56 bytes into a block, then the 64-bit
  // big-endian message length. A block too full for the length spills into one more.
  buffer_[buffered_++] = 0x80;
  if (buffered_ > kBlockSize - 8) {
    std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(buffered_), buffer_.end(), 0);
    ProcessBlock(buffer_.data());
    buffered_ = 0;
  }
  std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(buffered_), buffer_.end() - 8, 0);
  StoreBe32(buffer_.data() + kBlockSize - 8, static_cast<std::uint32_t>(bitLength >> 32));
  StoreBe32(buffer_.data() + kBlockSize - 4, static_cast<std::uint32_t>(bitLength));
  ProcessBlock(buffer_.data());

  Sha256Digest digest{};
  for (std::size_t i = 0; i < state_.size(); ++i) StoreBe32(digest.data() + 4 * i, state_[i]);
  Reset();
  return digest;
}

void Sha256Hasher::ProcessBlock(const std::uint8_t* block) noexcept {
  std::array<std::uint32_t, 64> schedule;
  for (std::size_t t = 0; t < 16; ++t) schedule[t] = LoadBe32(block + 4 * t);
  for (std::size_t t = 16; t < 64; ++t) {
    schedule[t] = SmallSigma1(schedule[t - 2]) + schedule[t - 7] + SmallSigma0(schedule[t - 15]) +
                  schedule[t - 16];
  }

  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  std::uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (std::size_t t = 0; t < 64; ++t) {
    const std::uint32_t t1 = h + BigSigma1(e) + Choose(e, f, g) + kRoundConstants[t] + schedule[t];
    const std::uint32_t t2 = BigSigma0(a) + Majority(a, b, c);
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  state_[5] += f;
  state_[6] += g;
  state_[7] += h;
}

Sha256Digest Sha256(const void* data, std::size_t length) noexcept {
  Sha256Hasher hasher;
  hasher.Update(data, length);
  return hasher.Finish();
}

}  // namespace vandrel
