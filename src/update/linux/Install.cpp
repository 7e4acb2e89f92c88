#include <memory>

#include "update/Updater.h"
#include "update/linux/CurlHttpClient.h"

namespace vandrel::update {

std::unique_ptr<IHttpClient> MakePlatformHttpClient() { return std::make_unique<CurlHttpClient>(); }

const char* AssetPattern() { return "linux-x86_64"; }

// Packages install through the system's own tools; the window opens the
// release page instead.
bool DownloadAndLaunchInstaller(const UpdateInfo&, const UpdateProgress&, const HttpClientFactory&) { return false; }

}  // namespace vandrel::update
