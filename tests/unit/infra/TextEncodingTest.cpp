#include "infra/TextEncoding.h"

#include <gtest/gtest.h>

namespace vandrel {
namespace {

TEST(TextEncoding, RoundTripsAcrossPlanes) {
  const std::string utf8 = "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80";  // A, e acute, a CJK sign, an emoji
  const std::wstring wide = Utf8ToWide(utf8);
  EXPECT_EQ(wide.size(), sizeof(wchar_t) == 2 ? 5u : 4u);
  EXPECT_EQ(WideToUtf8(wide), utf8);
}

TEST(TextEncoding, MalformedInputBecomesReplacementCharacter) {
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(WideToUtf8(Utf8ToWide("\xC0\xAF")), replacement);  // an overlong "/"
  EXPECT_EQ(WideToUtf8(Utf8ToWide("ab\xE4\xB8")), "ab" + replacement);       // cut short at the end
  EXPECT_EQ(WideToUtf8(Utf8ToWide("\xED\xA0\x80")), replacement);           // an encoded surrogate
  std::wstring lone(1, static_cast<wchar_t>(0xD800));
  EXPECT_EQ(WideToUtf8(lone), replacement);
}

}  // namespace
}  // namespace vandrel
