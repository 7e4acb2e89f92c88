#include "desktop/linux/IconPng.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstddef>

namespace vandrel::desktop::x11 {
namespace {

struct Candidate {
  std::size_t pixels = 0;  // index of the first pixel in the set
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint64_t area() const { return std::uint64_t{width} * height; }
};

// The property is 32-bit on the wire; 64-bit Xlib may sign-extend it into a long.
std::uint32_t Item(std::span<const unsigned long> items, std::size_t at) {
  return static_cast<std::uint32_t>(items[at] & 0xFFFFFFFFUL);
}

// Premultiplied RGBA in floats, so that scaling does not bleed the colour of
// transparent pixels into their neighbours.
std::vector<float> Premultiplied(const IconImage& image) {
  std::vector<float> out(image.argb.size() * 4);
  for (std::size_t i = 0; i < image.argb.size(); ++i) {
    const std::uint32_t p = image.argb[i];
    const float a = static_cast<float>(p >> 24) / 255.0f;
    out[i * 4 + 0] = static_cast<float>((p >> 16) & 0xFF) * a;
    out[i * 4 + 1] = static_cast<float>((p >> 8) & 0xFF) * a;
    out[i * 4 + 2] = static_cast<float>(p & 0xFF) * a;
    out[i * 4 + 3] = a;
  }
  return out;
}

std::uint8_t Channel(float value) {
  return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

// Bilinear, pixel centres on pixel centres, to `side` x `side`; straight-alpha RGBA bytes out.
std::vector<std::uint8_t> ScaledRgba(const IconImage& image, std::uint32_t side) {
  const std::vector<float> source = Premultiplied(image);
  const auto sample = [&](std::uint32_t x, std::uint32_t y, int channel) {
    return source[(std::size_t{y} * image.width + x) * 4 + static_cast<std::size_t>(channel)];
  };
  const auto axis = [side](std::uint32_t to, std::uint32_t from, std::uint32_t& low, std::uint32_t& high, float& t) {
    const float position = (static_cast<float>(to) + 0.5f) * static_cast<float>(from) / static_cast<float>(side) - 0.5f;
    const float clamped = std::clamp(position, 0.0f, static_cast<float>(from - 1));
    low = static_cast<std::uint32_t>(clamped);
    high = std::min(low + 1, from - 1);
    t = clamped - static_cast<float>(low);
  };
  std::vector<std::uint8_t> out(std::size_t{side} * side * 4);
  for (std::uint32_t y = 0; y < side; ++y) {
    std::uint32_t y0 = 0, y1 = 0;
    float ty = 0;
    axis(y, image.height, y0, y1, ty);
    for (std::uint32_t x = 0; x < side; ++x) {
      std::uint32_t x0 = 0, x1 = 0;
      float tx = 0;
      axis(x, image.width, x0, x1, tx);
      float value[4];
      for (int c = 0; c < 4; ++c) {
        const float top = sample(x0, y0, c) * (1 - tx) + sample(x1, y0, c) * tx;
        const float bottom = sample(x0, y1, c) * (1 - tx) + sample(x1, y1, c) * tx;
        value[c] = top * (1 - ty) + bottom * ty;
      }
      std::uint8_t* pixel = &out[(std::size_t{y} * side + x) * 4];
      const float alpha = value[3];
      for (int c = 0; c < 3; ++c) pixel[c] = alpha > 0 ? Channel(value[c] / alpha) : 0;
      pixel[3] = Channel(alpha * 255.0f);
    }
  }
  return out;
}

std::vector<std::uint8_t> NativeRgba(const IconImage& image) {
  std::vector<std::uint8_t> out(image.argb.size() * 4);
  for (std::size_t i = 0; i < image.argb.size(); ++i) {
    const std::uint32_t p = image.argb[i];
    out[i * 4 + 0] = static_cast<std::uint8_t>(p >> 16);
    out[i * 4 + 1] = static_cast<std::uint8_t>(p >> 8);
    out[i * 4 + 2] = static_cast<std::uint8_t>(p);
    out[i * 4 + 3] = static_cast<std::uint8_t>(p >> 24);
  }
  return out;
}

void OnPngError(png_structp png, png_const_charp /*message*/) { png_longjmp(png, 1); }
void OnPngWarning(png_structp /*png*/, png_const_charp /*message*/) {}

void AppendToBuffer(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  bool stored = true;
  // libpng cannot carry an exception through its C frames: it gets its own error instead.
  try {
    out->insert(out->end(), data, data + length);
  } catch (...) {
    stored = false;
  }
  if (!stored) png_error(png, "out of memory");
}

void FlushNothing(png_structp /*png*/) {}

// Only plain locals here: an error longjmps back into this frame and would
// skip any destructor on the way.
bool WritePng(const std::uint8_t* rgba, std::uint32_t width, std::uint32_t height, png_bytep* rows,
              std::vector<std::uint8_t>* out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, OnPngError, OnPngWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, AppendToBuffer, FlushNothing);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  for (std::uint32_t y = 0; y < height; ++y) rows[y] = const_cast<png_bytep>(rgba + std::size_t{y} * width * 4);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

std::optional<IconImage> ChooseIcon(std::span<const unsigned long> items, bool cut) {
  std::optional<Candidate> smallestLarge, largest;
  for (std::size_t at = 0; at < items.size();) {
    if (items.size() - at < 2) {
      if (cut) break;
      return std::nullopt;
    }
    const Candidate image{at + 2, Item(items, at), Item(items, at + 1)};
    if (image.width == 0 || image.height == 0 || image.width > kMaxIconSide || image.height > kMaxIconSide) {
      return std::nullopt;
    }
    if (items.size() - image.pixels < image.area()) {
      if (cut) break;
      return std::nullopt;
    }
    at = image.pixels + static_cast<std::size_t>(image.area());
    if (image.width >= kNativeIconSide && image.height >= kNativeIconSide &&
        (!smallestLarge || image.area() < smallestLarge->area())) {
      smallestLarge = image;
    }
    if (!largest || image.area() > largest->area()) largest = image;
  }
  const std::optional<Candidate>& chosen = smallestLarge ? smallestLarge : largest;
  if (!chosen) return std::nullopt;
  IconImage icon{chosen->width, chosen->height, {}};
  icon.argb.reserve(static_cast<std::size_t>(chosen->area()));
  for (std::size_t i = 0; i < chosen->area(); ++i) icon.argb.push_back(Item(items, chosen->pixels + i));
  return icon;
}

std::vector<std::uint8_t> EncodeIconPng(const IconImage& image) {
  if (image.width == 0 || image.height == 0 || image.width > kMaxIconSide || image.height > kMaxIconSide ||
      image.argb.size() != std::size_t{image.width} * image.height) {
    return {};
  }
  const bool scale = image.width < kNativeIconSide || image.height < kNativeIconSide;
  const std::uint32_t width = scale ? kScaledIconSide : image.width;
  const std::uint32_t height = scale ? kScaledIconSide : image.height;
  const std::vector<std::uint8_t> rgba = scale ? ScaledRgba(image, kScaledIconSide) : NativeRgba(image);
  std::vector<png_bytep> rows(height);
  std::vector<std::uint8_t> png;
  if (!WritePng(rgba.data(), width, height, rows.data(), &png)) return {};
  if (png.size() <= kMaxIconBytes || scale) return png;
  // The list carries 65,535 icon bytes at most and a cut PNG is no image: a
  // big native icon goes at the small size instead.
  const std::vector<std::uint8_t> small = ScaledRgba(image, kScaledIconSide);
  rows.resize(kScaledIconSide);
  png.clear();
  if (!WritePng(small.data(), kScaledIconSide, kScaledIconSide, rows.data(), &png)) return {};
  return png;
}

std::vector<std::uint8_t> IconPngFromProperty(std::span<const unsigned long> items, bool cut) {
  const auto icon = ChooseIcon(items, cut);
  return icon ? EncodeIconPng(*icon) : std::vector<std::uint8_t>{};
}

}  // namespace vandrel::desktop::x11
