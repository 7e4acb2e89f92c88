// The release feed's body as the update check reads it, and the addresses it
// offers as the download takes them apart.
#include "FuzzSupport.h"
#include "update/Updater.h"

namespace vandrel::fuzz {
namespace {

constexpr const char* kCurrent = "1.0";

class FeedClient final : public update::IHttpClient {
 public:
  explicit FeedClient(std::string body) : body_(std::move(body)) {}
  std::string Get(const std::string&) override { return body_; }
  bool DownloadToFile(const std::string&, const std::string&, const update::UpdateProgress&) override { return false; }

 private:
  std::string body_;
};

void TakeApart(const std::string& url) {
  try {
    const auto parsed = update::ParseUrl(url);
    if (parsed.path.empty()) Fail("an address without a path: " + Printable(url));
  } catch (const std::exception&) {
    // Refused with a reason, as the download expects.
  }
}

void RunOne(const std::uint8_t* data, std::size_t size) {
  // The HTTP clients stop reading there.
  if (size > update::kMaxFeedBytes) return;
  const std::string body(reinterpret_cast<const char*>(data), size);
  const auto info = update::CheckForUpdate(
      kCurrent, [&body] { return std::make_unique<FeedClient>(body); }, "https://feed.invalid/latest");
  if (!info.available) return;
  if (update::CompareVersions(info.version, kCurrent) <= 0) Fail("an offer that is not newer: " + Printable(info.version));
  TakeApart(info.downloadUrl);
  TakeApart(info.pageUrl);
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
