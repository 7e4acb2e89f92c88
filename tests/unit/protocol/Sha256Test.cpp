#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/AuthDigest.h"
#include "protocol/Sha256.h"

namespace vandrel {
namespace {

std::string HexOf(std::string_view message) { return ToHex(Sha256(message)); }

TEST(Sha256Test, StandardExamples) {
  EXPECT_EQ(HexOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(HexOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(HexOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(HexOf(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// 55 bytes is the longest message whose padding fits its own block; 56 to 63
// spill into a second one; 64 and 65 cross a whole block.
TEST(Sha256Test, LengthsAroundThePaddingBoundary) {
  const struct {
    std::size_t length;
    const char* hex;
  } cases[] = {
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {65, "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
  };
  for (const auto& c : cases) EXPECT_EQ(HexOf(std::string(c.length, 'a')), c.hex) << c.length << " bytes";
}

TEST(Sha256Test, PiecewiseUpdatesMatchOneShot) {
  std::string message;
  for (int i = 0; i < 1000; ++i) message.push_back(static_cast<char>(i * 37 + 11));
  const Sha256Digest expected = Sha256(message);

  Sha256Hasher hasher;
  std::size_t offset = 0;
  const std::size_t pieces[] = {0, 1, 63, 64, 65, 7, 128, 3, 200};
  for (std::size_t piece : pieces) {
    hasher.Update(std::string_view(message).substr(offset, piece));
    offset += piece;
  }
  hasher.Update(std::string_view(message).substr(offset));
  EXPECT_EQ(hasher.Finish(), expected);

  // Finish starts the hasher over.
  hasher.Update("abc");
  EXPECT_EQ(hasher.Finish(), Sha256("abc"));
}

TEST(AuthDigestTest, HashesNonceThenPassword) {
  const std::uint8_t nonce[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(ComputeAuthDigest(nonce, ""), Sha256(nonce, sizeof nonce));

  const std::string joined = std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8) + "hunter2";
  EXPECT_EQ(ComputeAuthDigest(nonce, "hunter2"), Sha256(joined));
}

TEST(AuthDigestTest, HexIsLowercaseHighNibbleFirst) {
  const std::uint8_t bytes[] = {0x00, 0x0F, 0xA0, 0xFF, 0x5C};
  EXPECT_EQ(ToHex(bytes), "000fa0ff5c");
  EXPECT_EQ(ToHex({}), "");
}

}  // namespace
}  // namespace vandrel
