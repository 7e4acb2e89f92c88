// Reads a PNG back with libpng, to check what the icon encoder wrote.
#pragma once

#include <png.h>

#include <cstdint>
#include <vector>

namespace vandrel::testing {

struct DecodedPng {
  bool ok = false;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgba;  // straight alpha
  std::uint8_t r(std::uint32_t x, std::uint32_t y) const { return rgba[(y * width + x) * 4]; }
  std::uint8_t a(std::uint32_t x, std::uint32_t y) const { return rgba[(y * width + x) * 4 + 3]; }
};

inline DecodedPng DecodePng(const std::vector<std::uint8_t>& bytes) {
  DecodedPng out;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (bytes.empty() || !png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return out;
  image.format = PNG_FORMAT_RGBA;
  out.rgba.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr)) return out;
  out.ok = true;
  out.width = image.width;
  out.height = image.height;
  return out;
}

}  // namespace vandrel::testing
