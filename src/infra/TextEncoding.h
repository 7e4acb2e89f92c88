// Conversions between the platform's wide text and the UTF-8 used everywhere inside.
#pragma once

#include <string>
#include <string_view>

namespace vandrel {

/// UTF-16 (Windows) or UTF-32 (Linux) wide text to UTF-8; bad code units become U+FFFD.
std::string WideToUtf8(std::wstring_view text);
/// UTF-8 to wide text; malformed sequences become U+FFFD.
std::wstring Utf8ToWide(std::string_view text);
/// The same for UTF-16 whatever the platform (window titles, registry strings).
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace vandrel
