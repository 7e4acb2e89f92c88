// The text conversions that window titles need: Latin-1 (ICCCM names) and
// UTF-8 as clients set it (possibly broken or cut) to valid UTF-8 and UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace vandrel::desktop::x11 {

std::string Latin1ToUtf8(std::string_view latin1);
/// The same text with each invalid byte (or cut sequence) as U+FFFD.
std::string ValidUtf8(std::string_view utf8);
/// Invalid bytes, overlong forms, surrogates and values past U+10FFFF become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

}  // namespace vandrel::desktop::x11
