#include "update/windows/WinHttpClient.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <vector>

#include "infra/Logger.h"
#include "infra/TextEncoding.h"

namespace vandrel::update {

namespace {

struct HandleCloser {
  void operator()(void* handle) const { WinHttpCloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// One request whose response headers have arrived. Members close in reverse
// order: request, connection, session.
struct Response {
  Handle session;
  Handle connection;
  Handle request;
};

Response Send(const std::string& url) {
  const ParsedUrl parsed = ParseUrl(url);
  const std::wstring host = Utf8ToWide(parsed.host);
  const std::wstring path = Utf8ToWide(parsed.path);
  Response response;
  response.session.reset(WinHttpOpen(L"Vandrel-Updater/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!response.session) throw std::runtime_error("WinHttpOpen failed");
  response.connection.reset(WinHttpConnect(response.session.get(), host.c_str(), parsed.port, 0));
  if (!response.connection) throw std::runtime_error("WinHttpConnect failed: " + parsed.host);
  response.request.reset(WinHttpOpenRequest(response.connection.get(), L"GET", path.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                            parsed.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!response.request) throw std::runtime_error("WinHttpOpenRequest failed");
  WinHttpAddRequestHeaders(response.request.get(), L"User-Agent: Vandrel-Updater/1.0\r\n", static_cast<DWORD>(-1),
                           WINHTTP_ADDREQ_FLAG_ADD);
  if (!WinHttpSendRequest(response.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                          0)) {
    throw std::runtime_error("WinHttpSendRequest failed");
  }
  if (!WinHttpReceiveResponse(response.request.get(), nullptr)) {
    response.request.reset();
    throw std::runtime_error("WinHttpReceiveResponse failed");
  }
  return response;
}

// Hands the body over block by block; false from `sink` stops early.
template <typename Sink>
void ReadBody(HINTERNET request, Sink&& sink) {
  std::vector<char> block;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) throw std::runtime_error("WinHttpQueryDataAvailable failed");
    if (available == 0) return;
    block.resize(available);
    DWORD read = 0;
    if (!WinHttpReadData(request, block.data(), available, &read)) throw std::runtime_error("WinHttpReadData failed");
    if (read == 0) return;
    if (!sink(block.data(), static_cast<std::size_t>(read))) return;
  }
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::string WinHttpClient::Get(const std::string& url) {
  Response response = Send(url);
  std::string body;
  ReadBody(response.request.get(), [&](const char* data, std::size_t size) {
    if (body.size() + size > kMaxFeedBytes) throw std::runtime_error("release feed larger than 1 MiB");
    body.append(data, size);
    return true;
  });
  return body;
}

bool WinHttpClient::DownloadToFile(const std::string& url, const std::string& path, const UpdateProgress& progress) {
  const std::string part = path + ".part";
  try {
    Response response = Send(url);
    // An error page must never become the installer that is started.
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!WinHttpQueryHeaders(response.request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX) ||
        status < 200 || status > 299) {
      Log() << "[UPDATE] Download refused: HTTP status " << status;
      return false;
    }
    DWORD length = 0;
    DWORD lengthSize = sizeof length;
    std::int64_t total = 0;
    if (WinHttpQueryHeaders(response.request.get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &length, &lengthSize, WINHTTP_NO_HEADER_INDEX)) {
      total = static_cast<std::int64_t>(length);
    }
    std::unique_ptr<std::FILE, FileCloser> file(_wfopen(Utf8ToWide(part).c_str(), L"wb"));
    if (!file) {
      Log() << "[UPDATE] Cannot write " << part;
      return false;
    }
    std::int64_t downloaded = 0;
    bool written = true;
    ReadBody(response.request.get(), [&](const char* data, std::size_t size) {
      written = std::fwrite(data, 1, size, file.get()) == size;
      if (!written) return false;
      downloaded += static_cast<std::int64_t>(size);
      if (progress) progress(downloaded, total);
      return true;
    });
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed) {
      Log() << "[UPDATE] Cannot write " << part;
      return false;
    }
    if (total != 0 && downloaded != total) {
      Log() << "[UPDATE] Download incomplete: " << downloaded << " of " << total << " bytes";
      return false;
    }
    if (!MoveFileExW(Utf8ToWide(part).c_str(), Utf8ToWide(path).c_str(), MOVEFILE_REPLACE_EXISTING)) {
      Log() << "[UPDATE] Cannot rename " << part << ": error " << static_cast<unsigned long>(GetLastError());
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    Log() << "[UPDATE] Download error: " << e.what();
    return false;
  }
}

}  // namespace vandrel::update
