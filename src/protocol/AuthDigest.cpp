#include "protocol/AuthDigest.h"

namespace vandrel {

Sha256Digest ComputeAuthDigest(std::span<const std::uint8_t> nonce, std::string_view password) noexcept {
  Sha256Hasher hasher;
  hasher.Update(nonce);
  hasher.Update(password);
  return hasher.Finish();
}

bool AuthDigestMatches(std::span<const std::uint8_t> nonce, std::string_view password,
                       const std::uint8_t* received) noexcept {
  const Sha256Digest expected = ComputeAuthDigest(nonce, password);
  unsigned char difference = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) difference |= static_cast<unsigned char>(expected[i] ^ received[i]);
  return difference == 0;
}

std::string ToHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0f]);
  }
  return text;
}

}  // namespace vandrel
