// APP_LIST_DATA as vandrel-phone reads it: the packet taken apart, the payload
// decoded and each entry put in words the way the apps command prints it. A
// list the decoder accepts must be exactly what the PC would send for it.
//
// Input: a whole packet when it starts with the APP_LIST_DATA byte, else the
// payload alone.
#include "FuzzSupport.h"
#include "desktop/AppInfo.h"
#include "protocol/PacketCodec.h"
#include "vandrel-phone/AppListDecode.h"
#include "vandrel-phone/ByteText.h"

namespace vandrel::fuzz {
namespace {

// What the phone refuses to buffer (PhoneClient).
constexpr std::size_t kMaxAppListBytes = 64u << 20;

void RunOne(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  (void)phone::DescribePacket(input);
  std::span<const std::uint8_t> payload = input;
  if (size > 0 && data[0] == ToByte(Command::AppListData)) {
    const auto whole = packet::AppListDataFrameLength(data, size);
    if (whole && *whole > kMaxAppListBytes) return;
    const auto read = packet::ReadAppListData(input);
    if (!read) return;
    payload = *read;
  }
  std::vector<phone::AppEntry> entries;
  try {
    entries = phone::DecodeAppList(payload);
  } catch (const phone::AppListError& e) {
    (void)phone::EscapeText(e.what());
    return;
  }
  std::vector<desktop::AppInfo> apps;
  for (const auto& entry : entries) {
    for (const auto* text : {&entry.name, &entry.process, &entry.path}) {
      const std::string shown = phone::EscapeText(*text);
      for (const char c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) Fail("a control byte reaches the terminal");
      }
    }
    apps.push_back({entry.name, entry.process, entry.icon, entry.hwnd, entry.running, entry.path});
  }
  // The PC lists at most 255 entries, so longer lists have no such counterpart.
  if (apps.size() > desktop::kMaxListedApps) return;
  const auto again = desktop::SerializeAppList(apps);
  if (!std::equal(again.begin(), again.end(), payload.begin(), payload.end())) {
    Fail("a decoded list of " + std::to_string(apps.size()) + " entries serializes differently");
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
