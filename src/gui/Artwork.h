// The program's pictures: the window and tray icon, and the pairing QR code.
#pragma once

#include <wx/bitmap.h>
#include <wx/gdicmn.h>
#include <wx/icon.h>

#include <string>

namespace vandrel {

/// 32x32: a phone sending a signal, on a transparent background.
wxIcon MakeAppIcon();

/// The QR code of `text` (UTF-8) scaled to `size`, without a quiet zone. An
/// invalid bitmap when `size` is empty. Throws std::length_error when `text`
/// does not fit in a QR code.
wxBitmap MakeQrBitmap(const std::string& text, wxSize size);

}  // namespace vandrel
