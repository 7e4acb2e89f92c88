#include "update/linux/CurlHttpClient.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "infra/Logger.h"

namespace vandrel::update {

namespace {

struct EasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// The easy handle with everything both requests share; `errors` must outlive it.
Easy OpenEasy(const std::string& url, const CurlHttpOptions& options, char* errors) {
  // Same scheme rule and message as on Windows.
  (void)ParseUrl(url);
  Easy curl(curl_easy_init());
  if (!curl) throw std::runtime_error("curl_easy_init failed");
  CURL* c = curl.get();
  errors[0] = '\0';
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errors);
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "Vandrel-Updater/1.0");
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  if (const char* ca = std::getenv("VANDREL_UPDATE_CA"); ca && *ca) curl_easy_setopt(c, CURLOPT_CAINFO, ca);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
  curl_easy_setopt(c, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(options.connectTimeout.count()));
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.stallTime.count()));
  return curl;
}

std::string Describe(CURLcode code, const char* errors) {
  std::string text = curl_easy_strerror(code);
  if (errors[0]) text += std::string(": ") + errors;
  return text;
}

struct FeedSink {
  std::string body;
  bool tooLarge = false;
};

std::size_t AppendFeed(char* data, std::size_t size, std::size_t count, void* user) {
  auto& sink = *static_cast<FeedSink*>(user);
  const std::size_t bytes = size * count;
  if (sink.body.size() + bytes > kMaxFeedBytes) {
    sink.tooLarge = true;
    return 0;  // curl ends the transfer with a write error
  }
  sink.body.append(data, bytes);
  return bytes;
}

struct FileSink {
  CURL* curl = nullptr;
  std::FILE* file = nullptr;
  const UpdateProgress* progress = nullptr;
  std::int64_t downloaded = 0;
  std::int64_t total = 0;
};

std::size_t WriteFile(char* data, std::size_t size, std::size_t count, void* user) {
  auto& sink = *static_cast<FileSink*>(user);
  const std::size_t bytes = size * count;
  if (std::fwrite(data, 1, bytes, sink.file) != bytes) return 0;
  sink.downloaded += static_cast<std::int64_t>(bytes);
  curl_off_t length = -1;
  if (curl_easy_getinfo(sink.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0) {
    sink.total = static_cast<std::int64_t>(length);
  }
  // An exception must not cross libcurl's C frames.
  try {
    if (*sink.progress) (*sink.progress)(sink.downloaded, sink.total);
  } catch (const std::exception& e) {
    Log() << "[UPDATE] Download progress failed: " << e.what();
    return 0;
  }
  return bytes;
}

}  // namespace

CurlHttpClient::CurlHttpClient(CurlHttpOptions options) : options_(options) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string CurlHttpClient::Get(const std::string& url) {
  char errors[CURL_ERROR_SIZE];
  Easy curl = OpenEasy(url, options_, errors);
  FeedSink sink;
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &AppendFeed);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
  const CURLcode code = curl_easy_perform(curl.get());
  if (sink.tooLarge) throw std::runtime_error("release feed larger than 1 MiB");
  if (code != CURLE_OK) throw std::runtime_error(Describe(code, errors));
  return std::move(sink.body);
}

bool CurlHttpClient::DownloadToFile(const std::string& url, const std::string& path, const UpdateProgress& progress) {
  const std::string part = path + ".part";
  try {
    char errors[CURL_ERROR_SIZE];
    Easy curl = OpenEasy(url, options_, errors);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(part.c_str(), "wb"));
    if (!file) {
      Log() << "[UPDATE] Cannot write " << part;
      return false;
    }
    FileSink sink{curl.get(), file.get(), &progress};
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &WriteFile);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
    // An error page must never be taken for the download.
    curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
    const CURLcode code = curl_easy_perform(curl.get());
    const bool closed = std::fclose(file.release()) == 0;
    if (code != CURLE_OK) {
      Log() << "[UPDATE] Download error: " << Describe(code, errors);
      return false;
    }
    if (!closed) {
      Log() << "[UPDATE] Cannot write " << part;
      return false;
    }
    if (sink.total != 0 && sink.downloaded != sink.total) {
      Log() << "[UPDATE] Download incomplete: " << sink.downloaded << " of " << sink.total << " bytes";
      return false;
    }
    std::error_code error;
    std::filesystem::rename(part, path, error);
    if (error) {
      Log() << "[UPDATE] Cannot rename " << part << ": " << error.message();
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    Log() << "[UPDATE] Download error: " << e.what();
    return false;
  }
}

}  // namespace vandrel::update
