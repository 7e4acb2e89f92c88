// A window's icon for the phone: the image picked from the window's icon set
// (_NET_WM_ICON's layout) and its PNG form. No X here, so it is tested alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "desktop/AppInfo.h"

namespace vandrel::desktop::x11 {

/// Images at least this wide and high go as they are; smaller ones are scaled.
inline constexpr std::uint32_t kNativeIconSide = 48;
/// The side a small image is scaled to.
inline constexpr std::uint32_t kScaledIconSide = 64;
/// Larger sides are taken for garbage.
inline constexpr std::uint32_t kMaxIconSide = 1024;

struct IconImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint32_t> argb;  // row by row, 0xAARRGGBB, straight alpha
};

/// Picks from an icon set laid out as (width, height, width*height ARGB pixels)
/// repeated, one 32-bit value per item as Xlib returns format-32 data (the
/// upper half of a long is ignored): the smallest image at least
/// kNativeIconSide on both sides, else the largest. Nothing when the set is
/// empty or any length is wrong. `cut` says the set was read only in part:
/// then an image that runs past the end just ends the set.
std::optional<IconImage> ChooseIcon(std::span<const unsigned long> items, bool cut = false);

/// The PNG (RGBA, 8 bits a channel) of `image`: at its own size, or scaled to
/// kScaledIconSide square when a side is under kNativeIconSide, or when the
/// native PNG would pass kMaxIconBytes. Empty when
/// the image is empty or encoding fails.
std::vector<std::uint8_t> EncodeIconPng(const IconImage& image);

/// ChooseIcon then EncodeIconPng; empty when there is no valid image.
std::vector<std::uint8_t> IconPngFromProperty(std::span<const unsigned long> items, bool cut = false);

}  // namespace vandrel::desktop::x11
