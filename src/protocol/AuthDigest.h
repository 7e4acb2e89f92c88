// The password handshake's proof: the phone answers AUTH_REQUEST with the
// SHA-256 of the nonce followed by the password, so the password itself never
// crosses the network.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocol/Sha256.h"

namespace vandrel {

/// Sha256(nonce bytes immediately followed by the UTF-8 password bytes). An
/// empty password still yields a digest (that of the nonce alone).
Sha256Digest ComputeAuthDigest(std::span<const std::uint8_t> nonce, std::string_view password) noexcept;

/// Whether `received` (kSha256DigestSize bytes) is the digest of the nonce
/// and password; in the same time whatever the bytes, so a wrong guess tells
/// nothing about how close it was.
bool AuthDigestMatches(std::span<const std::uint8_t> nonce, std::string_view password,
                       const std::uint8_t* received) noexcept;

/// Lowercase hex, two characters per byte, high nibble first; for logs and tests.
std::string ToHex(std::span<const std::uint8_t> bytes);

}  // namespace vandrel
