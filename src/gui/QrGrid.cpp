#include "gui/QrGrid.h"

#include <qrcodegen/qrcodegen.hpp>

#include <cstddef>
#include <string>

namespace vandrel {

QrImage MakeQrImage(std::string_view text, int width, int height) {
  // encodeText wants a terminated string.
  const std::string terminated(text);
  const auto code = qrcodegen::QrCode::encodeText(terminated.c_str(), qrcodegen::QrCode::Ecc::MEDIUM);

  QrImage image;
  image.modules = code.getSize();
  if (width < 1 || height < 1) return image;
  image.width = width;
  image.height = height;
  image.rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);

  // Nearest neighbour: each pixel takes the module its top-left corner falls in.
  const long long n = image.modules;
  std::size_t at = 0;
  for (int y = 0; y < height; ++y) {
    const int row = static_cast<int>(y * n / height);
    for (int x = 0; x < width; ++x) {
      const int column = static_cast<int>(x * n / width);
      const std::uint8_t value = code.getModule(column, row) ? 0 : 255;
      image.rgb[at++] = value;
      image.rgb[at++] = value;
      image.rgb[at++] = value;
    }
  }
  return image;
}

}  // namespace vandrel
