// The updater's HTTP on WinHTTP, which brings the system's proxy settings and
// certificate store.
#pragma once

#include "update/Updater.h"

namespace vandrel::update {

class WinHttpClient : public IHttpClient {
 public:
  std::string Get(const std::string& url) override;
  bool DownloadToFile(const std::string& url, const std::string& path, const UpdateProgress& progress) override;
};

}  // namespace vandrel::update
