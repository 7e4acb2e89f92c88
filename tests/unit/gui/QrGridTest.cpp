#include "gui/QrGrid.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "TempDir.h"
#include "unit/gui/ZbarDecode.h"

namespace vandrel {
namespace {

constexpr const char* kPairing = "DESK|192.168.1.20:6969";

bool DarkAt(const QrImage& image, int x, int y) {
  return image.rgb[(static_cast<std::size_t>(y) * image.width + x) * 3] == 0;
}

TEST(QrGridTest, PairingTextIsAVersionTwoCodeOfPureBlackAndWhitePixels) {
  const QrImage image = MakeQrImage(kPairing, 90, 90);
  EXPECT_EQ(image.modules, 25);
  ASSERT_EQ(image.width, 90);
  ASSERT_EQ(image.height, 90);
  ASSERT_EQ(image.rgb.size(), 90u * 90u * 3u);
  for (std::size_t i = 0; i < image.rgb.size(); i += 3) {
    ASSERT_TRUE(image.rgb[i] == 0 || image.rgb[i] == 255) << "pixel " << i / 3;
    ASSERT_TRUE(image.rgb[i + 1] == image.rgb[i] && image.rgb[i + 2] == image.rgb[i]) << "pixel " << i / 3;
  }
  // Finder patterns in the very corners: no quiet zone.
  EXPECT_TRUE(DarkAt(image, 0, 0) && DarkAt(image, 89, 0) && DarkAt(image, 0, 89));
}

TEST(QrGridTest, EachAxisScalesOnItsOwnWithinTheLimits) {
  // At one pixel a module the image is the symbol; 2x wide and 4x tall it
  // must be made of whole 2x4 blocks of it.
  const QrImage grid = MakeQrImage(kPairing, 25, 25);
  const QrImage scaled = MakeQrImage(kPairing, 50, 100);
  ASSERT_EQ(scaled.rgb.size(), 50u * 100u * 3u);
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 50; ++x) ASSERT_EQ(DarkAt(scaled, x, y), DarkAt(grid, x / 2, y / 4)) << x << "," << y;
  }

  const QrImage empty = MakeQrImage(kPairing, 0, 90);
  EXPECT_EQ(empty.modules, 25);
  EXPECT_TRUE(empty.rgb.empty());
  EXPECT_THROW(MakeQrImage(std::string(4000, 'x'), 90, 90), std::length_error);
}

TEST(QrGridTest, ScannerReadsBackTheExactText) {
  if (!testing::HaveZbarImg()) GTEST_SKIP() << "zbarimg not installed (package zbar-tools)";
  testing::TempDir dir;
  const std::string path = dir.File("code.ppm");
  for (const std::string text : {kPairing, "DESK|0.0.0.0:6969"}) {
    const QrImage image = MakeQrImage(text, 90, 90);
    // zbarimg reads a PPM directly. The white margin is the quiet zone a
    // scanner needs, which the image leaves to the window around it.
    constexpr int kMargin = 16;
    const int side = 90 + 2 * kMargin;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "P6\n" << side << ' ' << side << "\n255\n";
    for (int y = -kMargin; y < 90 + kMargin; ++y) {
      for (int x = -kMargin; x < 90 + kMargin; ++x) {
        const bool inside = x >= 0 && y >= 0 && x < 90 && y < 90;
        out << std::string(3, static_cast<char>(inside && DarkAt(image, x, y) ? 0 : 255));
      }
    }
    out.close();
    EXPECT_EQ(testing::DecodeQrFile(path), text);
  }
}

}  // namespace
}  // namespace vandrel
