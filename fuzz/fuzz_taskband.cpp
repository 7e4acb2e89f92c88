// The taskbar's pinned-programs blob from the registry: the paths it yields,
// and their way into UTF-8 as the Windows desktop takes them.
#include "FuzzSupport.h"
#include "desktop/AppInfo.h"
#include "infra/TextEncoding.h"

namespace vandrel::fuzz {
namespace {

constexpr std::size_t kMaxPathUnits = 259;  // MAX_PATH without its terminator

bool IsWellFormedUtf16(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

void RunOne(const std::uint8_t* data, std::size_t size) {
  const auto paths = desktop::ParseTaskbandBlob(std::span(data, size));
  for (const auto& path : paths) {
    if (path.empty() || path.size() > kMaxPathUnits || path.back() == u'\0') {
      Fail("a pinned path of " + std::to_string(path.size()) + " units");
    }
    const std::string utf8 = Utf16ToUtf8(path);
    const std::u16string back = Utf8ToUtf16(utf8);
    if (IsWellFormedUtf16(path) && back != path) Fail("a pinned path changed on its way through UTF-8");
    if (Utf16ToUtf8(back) != utf8) Fail("UTF-8 of a pinned path is not stable");
  }
}

}  // namespace
}  // namespace vandrel::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vandrel::fuzz::QuietLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vandrel::fuzz::RunOne(data, size);
  return 0;
}
