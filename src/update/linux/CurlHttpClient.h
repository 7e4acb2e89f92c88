// The updater's HTTP on libcurl: TLS always verified, redirects followed
// within http and https, and time-outs so that a dead server cannot hold the
// check or a download forever.
#pragma once

#include <chrono>

#include "update/Updater.h"

namespace vandrel::update {

struct CurlHttpOptions {
  std::chrono::seconds connectTimeout{10};
  /// A transfer slower than 1 byte/s for this long is abandoned.
  std::chrono::seconds stallTime{20};
};

/// Certificates are checked against the system's store, or against the PEM
/// file named by $VANDREL_UPDATE_CA when set (a local mirror, the tests' CA).
class CurlHttpClient : public IHttpClient {
 public:
  explicit CurlHttpClient(CurlHttpOptions options = {});

  std::string Get(const std::string& url) override;
  bool DownloadToFile(const std::string& url, const std::string& path, const UpdateProgress& progress) override;

 private:
  CurlHttpOptions options_;
};

}  // namespace vandrel::update
