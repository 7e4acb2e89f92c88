#include "infra/TextEncoding.h"

namespace vandrel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

template <class Unit>
void AppendUnits(std::basic_string<Unit>& out, char32_t cp) {
  if constexpr (sizeof(Unit) == 2) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<Unit>(0xD800 + (cp >> 10));
      out += static_cast<Unit>(0xDC00 + (cp & 0x3FF));
      return;
    }
  }
  out += static_cast<Unit>(cp);
}

// Decodes one UTF-8 sequence at text[i], advancing i; rejects overlong forms,
// surrogates and truncated sequences.
char32_t DecodeUtf8(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i++]);
  if (lead < 0x80) return lead;
  int extra;
  char32_t cp;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) { extra = 1; cp = lead & 0x1F; minimum = 0x80; }
  else if ((lead & 0xF0) == 0xE0) { extra = 2; cp = lead & 0x0F; minimum = 0x800; }
  else if ((lead & 0xF8) == 0xF0) { extra = 3; cp = lead & 0x07; minimum = 0x10000; }
  else return kReplacement;
  for (int k = 0; k < extra; ++k) {
    if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return kReplacement;
    cp = (cp << 6) | (static_cast<unsigned char>(text[i++]) & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  return cp;
}

template <class Unit>
std::string UnitsToUtf8(std::basic_string_view<Unit> text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto unit = static_cast<char32_t>(text[i]);
    if constexpr (sizeof(Unit) == 2) {
      unit &= 0xFFFF;
      if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size()) {
        const auto low = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
        if (low >= 0xDC00 && low <= 0xDFFF) {
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    AppendUtf8(out, unit);
  }
  return out;
}

template <class Unit>
std::basic_string<Unit> Utf8ToUnits(std::string_view text) {
  std::basic_string<Unit> out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) AppendUnits(out, DecodeUtf8(text, i));
  return out;
}

}  // namespace

std::string WideToUtf8(std::wstring_view text) { return UnitsToUtf8(text); }
std::wstring Utf8ToWide(std::string_view text) { return Utf8ToUnits<wchar_t>(text); }
std::string Utf16ToUtf8(std::u16string_view text) { return UnitsToUtf8(text); }
std::u16string Utf8ToUtf16(std::string_view text) { return Utf8ToUnits<char16_t>(text); }

}  // namespace vandrel
