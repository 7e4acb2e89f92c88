// The pairing QR code as plain RGB pixels, without any GUI toolkit.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace vandrel {

struct QrImage {
  int modules = 0;  // modules per side of the symbol
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;  // width * height * 3 bytes, rows top down
};

/// Encodes `text` (UTF-8, medium error correction) and scales the symbol to
/// width x height pixels: dark modules 0, light 255, no quiet zone. A size
/// below 1 gives no pixels. Throws std::length_error when `text` does not fit.
QrImage MakeQrImage(std::string_view text, int width, int height);

}  // namespace vandrel
