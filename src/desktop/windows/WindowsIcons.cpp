// Program and window icons as PNG bytes, through GDI+.
#include <windows.h>

#include <objidl.h>
#include <shellapi.h>

// GDI+ headers want min/max and the COM types in scope.
#include <algorithm>
using std::max;
using std::min;
#include <gdiplus.h>

#include <array>
#include <cstring>
#include <mutex>
#include <optional>

#include "desktop/windows/WindowsDesktop.h"

namespace vandrel::desktop {
namespace {

// Below this an icon is scaled up, so that the phone never shows a blurry thumbnail.
constexpr int kSmallIcon = 48;
constexpr std::array<int, 4> kFileIconSizes{256, 128, 64, 48};
constexpr UINT kLoadFromFile = 0x10;  // LR_LOADFROMFILE
constexpr UINT kWindowIconTimeoutMs = 100;

std::optional<CLSID> PngEncoder() {
  static std::once_flag once;
  static std::optional<CLSID> png;
  std::call_once(once, [] {
    if (!StartGdiplus()) return;
    UINT count = 0, bytes = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0) return;
    std::vector<std::uint8_t> buffer(bytes);
    auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::GetImageEncoders(count, bytes, encoders) != Gdiplus::Ok) return;
    for (UINT i = 0; i < count; ++i) {
      if (std::wcscmp(encoders[i].MimeType, L"image/png") == 0) png = encoders[i].Clsid;
    }
  });
  return png;
}

std::vector<std::uint8_t> EncodePng(Gdiplus::Bitmap& bitmap, const CLSID& png) {
  IStream* stream = nullptr;
  if (FAILED(::CreateStreamOnHGlobal(nullptr, TRUE, &stream)) || !stream) return {};
  std::vector<std::uint8_t> bytes;
  STATSTG stat{};
  if (bitmap.Save(stream, &png, nullptr) == Gdiplus::Ok && SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME)) &&
      stat.cbSize.QuadPart > 0 && stat.cbSize.QuadPart <= 0x7fffffff) {
    bytes.resize(static_cast<std::size_t>(stat.cbSize.QuadPart));
    LARGE_INTEGER start{};
    ULONG read = 0;
    if (FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr)) ||
        FAILED(stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read))) {
      read = 0;
    }
    bytes.resize(read);
  }
  stream->Release();
  return bytes;
}

// The icon's colour bitmap as straight ARGB, when it carries an alpha channel.
// Bitmap::FromHICON would go through a mask and lose the soft edges.
struct ArgbPixels {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;
};

std::optional<ArgbPixels> AlphaPixels(HICON icon) {
  ICONINFO info{};
  if (!::GetIconInfo(icon, &info)) return std::nullopt;
  std::optional<ArgbPixels> result;
  BITMAP colour{};
  if (info.hbmColor && ::GetObjectW(info.hbmColor, sizeof(colour), &colour) == sizeof(colour) &&
      colour.bmBitsPixel == 32 && colour.bmWidth > 0 && colour.bmHeight > 0) {
    ArgbPixels argb{colour.bmWidth, colour.bmHeight, {}};
    argb.pixels.resize(static_cast<std::size_t>(argb.width) * static_cast<std::size_t>(argb.height));
    BITMAPINFO request{};
    request.bmiHeader.biSize = sizeof(request.bmiHeader);
    request.bmiHeader.biWidth = argb.width;
    request.bmiHeader.biHeight = -argb.height;  // top-down, as GDI+ scans
    request.bmiHeader.biPlanes = 1;
    request.bmiHeader.biBitCount = 32;
    request.bmiHeader.biCompression = BI_RGB;
    const HDC screen = ::GetDC(nullptr);
    const int lines = ::GetDIBits(screen, info.hbmColor, 0, static_cast<UINT>(argb.height), argb.pixels.data(),
                                  &request, DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, screen);
    const bool hasAlpha = std::any_of(argb.pixels.begin(), argb.pixels.end(),
                                      [](std::uint32_t pixel) { return (pixel >> 24) != 0; });
    if (lines == argb.height && hasAlpha) result = std::move(argb);
  }
  if (info.hbmColor) ::DeleteObject(info.hbmColor);
  if (info.hbmMask) ::DeleteObject(info.hbmMask);
  return result;
}

std::vector<std::uint8_t> FirstFileIcon(const std::wstring& path, UINT flags) {
  for (const int size : kFileIconSizes) {
    HICON icon = nullptr;
    const UINT got = ::PrivateExtractIconsW(path.c_str(), 0, size, size, &icon, nullptr, 1, flags);
    if (got == 0 || got == 0xFFFFFFFF || !icon) continue;
    std::vector<std::uint8_t> png = IconToPng(icon);
    ::DestroyIcon(icon);
    if (!png.empty()) return png;
  }
  return {};
}

}  // namespace

// GDI+ stays up until the process ends: shutting it down from a static
// destructor could run while a worker still draws, or after gdiplus.dll's own teardown.
bool StartGdiplus() {
  static const bool started = [] {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    return Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
  }();
  return started;
}

std::vector<std::uint8_t> IconToPng(HICON icon, int size) {
  if (!icon) return {};
  const std::optional<CLSID> png = PngEncoder();
  if (!png) return {};
  std::optional<ArgbPixels> argb = AlphaPixels(icon);
  std::optional<Gdiplus::Bitmap> owned;
  std::unique_ptr<Gdiplus::Bitmap> fromIcon;
  Gdiplus::Bitmap* source = nullptr;
  if (argb) {
    // The pixels outlive every use of the bitmap that points at them.
    owned.emplace(argb->width, argb->height, argb->width * 4, PixelFormat32bppARGB,
                  reinterpret_cast<BYTE*>(argb->pixels.data()));
    source = &*owned;
  } else {
    fromIcon.reset(Gdiplus::Bitmap::FromHICON(icon));
    source = fromIcon.get();
  }
  if (!source || source->GetLastStatus() != Gdiplus::Ok) return {};
  const int width = static_cast<int>(source->GetWidth());
  const int height = static_cast<int>(source->GetHeight());
  std::vector<std::uint8_t> native;
  const bool small = (width < kSmallIcon || height < kSmallIcon) && !(width == size && height == size);
  if (!small) {
    native = EncodePng(*source, *png);
    // The list carries 65,535 icon bytes at most and a cut PNG is no image:
    // a big icon that would not fit goes at the small size.
    if (native.size() <= kMaxIconBytes) return native;
  }
  {
    Gdiplus::Bitmap scaled(size, size, PixelFormat32bppARGB);
    if (scaled.GetLastStatus() != Gdiplus::Ok) return {};
    {
      Gdiplus::Graphics graphics(&scaled);
      graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
      graphics.Clear(Gdiplus::Color(0, 0, 0, 0));
      graphics.DrawImage(source, 0, 0, size, size);
    }
    return EncodePng(scaled, *png);
  }
}

std::vector<std::uint8_t> IconForFile(const std::wstring& path) {
  if (auto png = FirstFileIcon(path, 0); !png.empty()) return png;
  if (auto png = FirstFileIcon(path, kLoadFromFile); !png.empty()) return png;
  SHFILEINFOW info{};
  if (::SHGetFileInfoW(path.c_str(), 0, &info, sizeof(info), SHGFI_ICON) && info.hIcon) {
    std::vector<std::uint8_t> png = IconToPng(info.hIcon);
    ::DestroyIcon(info.hIcon);
    return png;
  }
  return {};
}

std::vector<std::uint8_t> IconForWindow(HWND window, const std::wstring& imagePath) {
  // A program file without an icon still leaves the window's own.
  if (!imagePath.empty()) {
    if (auto png = IconForFile(imagePath); !png.empty()) return png;
  }
  // The icons a window reports belong to it: they are converted, never destroyed.
  for (const WPARAM kind : {WPARAM{ICON_SMALL2}, WPARAM{ICON_SMALL}}) {
    DWORD_PTR answer = 0;
    if (::SendMessageTimeoutW(window, WM_GETICON, kind, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG, kWindowIconTimeoutMs,
                              &answer) &&
        answer != 0) {
      return IconToPng(reinterpret_cast<HICON>(answer));
    }
  }
  for (const int index : {GCLP_HICONSM, GCLP_HICON}) {
    if (const ULONG_PTR icon = ::GetClassLongPtrW(window, index)) return IconToPng(reinterpret_cast<HICON>(icon));
  }
  return {};
}

}  // namespace vandrel::desktop
