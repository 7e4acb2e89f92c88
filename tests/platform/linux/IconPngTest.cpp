// Picking a window's icon from its icon set and the PNG made of it, without X.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "DecodePng.h"
#include "desktop/linux/IconPng.h"

namespace vandrel::desktop::x11 {
namespace {

using Items = std::vector<unsigned long>;

void AddImage(Items& items, std::uint32_t width, std::uint32_t height, unsigned long argb = 0xFF102030) {
  items.push_back(width);
  items.push_back(height);
  items.insert(items.end(), std::size_t{width} * height, argb);
}

IconImage Filled(std::uint32_t width, std::uint32_t height, std::uint32_t argb) {
  return {width, height, std::vector<std::uint32_t>(std::size_t{width} * height, argb)};
}

// Width and height as the IHDR chunk says, right after the signature.
std::pair<std::uint32_t, std::uint32_t> HeaderSize(const std::vector<std::uint8_t>& png) {
  const auto be32 = [&](std::size_t at) {
    return std::uint32_t{png[at]} << 24 | std::uint32_t{png[at + 1]} << 16 | std::uint32_t{png[at + 2]} << 8 |
           png[at + 3];
  };
  return {be32(16), be32(20)};
}

TEST(IconPngChoice, TakesTheSmallestImageOfAtLeast48ElseTheLargest) {
  Items items;
  AddImage(items, 16, 16);
  AddImage(items, 128, 128);
  AddImage(items, 48, 48);
  AddImage(items, 64, 64);
  auto icon = ChooseIcon(items);
  ASSERT_TRUE(icon);
  EXPECT_EQ(icon->width, 48u);

  Items small;
  AddImage(small, 16, 16);
  AddImage(small, 32, 32);
  AddImage(small, 24, 24);
  // 100x40 is large on one side only, so it is no candidate for native size.
  AddImage(small, 100, 40);
  icon = ChooseIcon(small);
  ASSERT_TRUE(icon);
  EXPECT_EQ(icon->width, 100u);
  EXPECT_EQ(icon->height, 40u);
  EXPECT_EQ(icon->argb.size(), 4000u);
}

TEST(IconPngChoice, RejectsMalformedSetsWithoutReadingPastThem) {
  EXPECT_FALSE(ChooseIcon(Items{}));
  Items good;
  AddImage(good, 16, 16);
  for (const Items& bad : {Items{16}, Items{0, 0}, Items{2000, 1}, Items{1, 1025, 0}}) {
    Items items = good;
    items.insert(items.end(), bad.begin(), bad.end());
    EXPECT_FALSE(ChooseIcon(items)) << items.size();
  }
  Items shortPixels = good;
  shortPixels.resize(shortPixels.size() - 1);
  EXPECT_FALSE(ChooseIcon(shortPixels));
  // A sign-extended huge width is garbage too, not a negative size.
  EXPECT_FALSE(ChooseIcon(Items{~0UL, 1, 0}));

  // Read only in part: the whole images before the cut still count.
  Items cut = good;
  cut.insert(cut.end(), {64, 64, 0, 0});
  EXPECT_FALSE(ChooseIcon(cut));
  const auto icon = ChooseIcon(cut, true);
  ASSERT_TRUE(icon);
  EXPECT_EQ(icon->width, 16u);
}

TEST(IconPngChoice, IgnoresTheUpperHalfOfEachLong) {
  Items items{0xFFFFFFFF00000001UL, 1, 0xFFFFFFFFFF0000FFUL};
  const auto icon = ChooseIcon(items);
  ASSERT_TRUE(icon);
  EXPECT_EQ(icon->width, 1u);
  EXPECT_EQ(icon->argb.at(0), 0xFF0000FFu);
}

TEST(IconPngEncoding, SmallImagesBecome64SquareOthersKeepTheirSize) {
  const struct {
    std::uint32_t width, height, outWidth, outHeight;
  } cases[] = {{32, 32, 64, 64}, {16, 16, 64, 64}, {1, 1, 64, 64},   {47, 200, 64, 64},
               {200, 20, 64, 64}, {48, 48, 48, 48}, {64, 64, 64, 64}, {256, 48, 256, 48}};
  for (const auto& c : cases) {
    const auto png = EncodeIconPng(Filled(c.width, c.height, 0xFF336699));
    ASSERT_GE(png.size(), 24u);
    const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    EXPECT_TRUE(std::equal(std::begin(signature), std::end(signature), png.begin()));
    EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
    EXPECT_EQ(HeaderSize(png), std::make_pair(c.outWidth, c.outHeight)) << c.width << "x" << c.height;
    const auto decoded = testing::DecodePng(png);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.rgba[0], 0x33);
    EXPECT_EQ(decoded.rgba[1], 0x66);
    EXPECT_EQ(decoded.rgba[2], 0x99);
    EXPECT_EQ(decoded.rgba[3], 0xFF);
  }
}

TEST(IconPngEncoding, ANativeIconTooBigForTheListGoesAtTheSmallSize) {
  // Noise does not compress: 512 x 512 of it is far over the list's 65,535 icon bytes.
  IconImage noisy{512, 512, {}};
  std::uint32_t state = 1;
  for (std::size_t i = 0; i < 512u * 512u; ++i) {
    state = state * 1664525u + 1013904223u;
    noisy.argb.push_back(state | 0xFF000000u);
  }
  const auto png = EncodeIconPng(noisy);
  EXPECT_LE(png.size(), kMaxIconBytes);
  EXPECT_EQ(HeaderSize(png), std::make_pair(kScaledIconSide, kScaledIconSide));
  EXPECT_TRUE(testing::DecodePng(png).ok);
}

TEST(IconPngEncoding, KeepsStraightAlphaAtNativeSizeAndWhenScaled) {
  IconImage image = Filled(48, 48, 0x00000000);
  image.argb[0] = 0x80FF8040;
  image.argb[1] = 0x01FFFFFF;
  auto decoded = testing::DecodePng(EncodeIconPng(image));
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(std::vector<std::uint8_t>(decoded.rgba.begin(), decoded.rgba.begin() + 8),
            (std::vector<std::uint8_t>{0xFF, 0x80, 0x40, 0x80, 0xFF, 0xFF, 0xFF, 0x01}));
  EXPECT_EQ(decoded.a(5, 5), 0);

  decoded = testing::DecodePng(EncodeIconPng(Filled(32, 32, 0x80FF0000)));
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.a(10, 40), 0x80);
  EXPECT_EQ(decoded.r(10, 40), 0xFF);

  // Left half opaque red, right half transparent black: along the seam the
  // colour stays red (premultiplied scaling) and only the alpha fades.
  IconImage half = Filled(32, 32, 0x00000000);
  for (std::uint32_t y = 0; y < 32; ++y) {
    for (std::uint32_t x = 0; x < 16; ++x) half.argb[y * 32 + x] = 0xFFFF0000;
  }
  decoded = testing::DecodePng(EncodeIconPng(half));
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.a(0, 0), 0xFF);
  EXPECT_EQ(decoded.a(63, 0), 0);
  bool sawSeam = false;
  for (std::uint32_t x = 0; x < 64; ++x) {
    const std::uint8_t alpha = decoded.a(x, 20);
    if (alpha == 0) continue;
    sawSeam = sawSeam || alpha < 0xFF;
    EXPECT_EQ(decoded.r(x, 20), 0xFF) << x;
    EXPECT_EQ(decoded.rgba[(20 * 64 + x) * 4 + 1], 0) << x;
  }
  EXPECT_TRUE(sawSeam);
}

TEST(IconPngEncoding, EmptyForImagesThatAreNone) {
  EXPECT_TRUE(EncodeIconPng(IconImage{}).empty());
  EXPECT_TRUE(EncodeIconPng(IconImage{4, 4, std::vector<std::uint32_t>(15)}).empty());
  EXPECT_TRUE(IconPngFromProperty(Items{3, 3, 0}).empty());
  EXPECT_EQ(HeaderSize(IconPngFromProperty(Items{1, 1, 0xFFFFFFFF})), std::make_pair(64u, 64u));
}

}  // namespace
}  // namespace vandrel::desktop::x11
