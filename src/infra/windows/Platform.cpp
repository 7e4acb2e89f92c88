#include "infra/Platform.h"

#include <windows.h>
#include <io.h>
#include <share.h>
#include <shlobj.h>
#include <bcrypt.h>

#include <cstdlib>
#include <system_error>

#include "infra/TextEncoding.h"

namespace vandrel::platform {
namespace {

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { if (valid()) ::CloseHandle(h_); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }
  void close() { if (valid()) ::CloseHandle(h_); h_ = INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

std::string ParentFolder(const std::string& path) {
  const auto sep = path.find_last_of("\\/");
  return sep == std::string::npos ? std::string() : path.substr(0, sep);
}

}  // namespace

std::optional<std::string> Environment(const char* name) {
  const wchar_t* value = ::_wgetenv(Utf8ToWide(name).c_str());
  if (!value || !*value) return std::nullopt;
  return WideToUtf8(value);
}

std::optional<std::string> ExecutablePath() {
  wchar_t buffer[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::nullopt;
  return WideToUtf8(std::wstring_view(buffer, n));
}

std::string DefaultLogFilePath() {
  const auto exe = ExecutablePath();
  if (!exe) return "vandrel.log";
  const auto sep = exe->find_last_of("\\/");
  if (sep == std::string::npos) return "vandrel.log";
  return exe->substr(0, sep) + "\\vandrel.log";
}

std::FILE* OpenForAppendShared(const std::string& utf8Path) {
  // "N" keeps it from child processes; the handle flag too, for a runtime that ignores "N".
  std::FILE* file = ::_wfsopen(Utf8ToWide(utf8Path).c_str(), L"atN", _SH_DENYNO);
  if (file) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    if (handle != INVALID_HANDLE_VALUE) ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
  }
  return file;
}

std::uint64_t OpenFileSize(std::FILE* file) {
  const __int64 size = ::_filelengthi64(::_fileno(file));
  return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

bool RenameReplacing(const std::string& utf8From, const std::string& utf8To) {
  return ::MoveFileExW(Utf8ToWide(utf8From).c_str(), Utf8ToWide(utf8To).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::tm LocalTime(std::time_t t) {
  std::tm result{};
  ::localtime_s(&result, &t);
  return result;
}

unsigned long CurrentProcessId() { return ::GetCurrentProcessId(); }

std::string SettingsFilePath() {
  // The wide form, so that a user folder outside the ANSI code page still works.
  wchar_t folder[MAX_PATH] = {};
  ::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
  return WideToUtf8(folder) + "\\Vandrel\\settings.ini";
}

std::optional<std::string> ReadWholeFile(const std::string& utf8Path) {
  Handle file(::CreateFileW(Utf8ToWide(utf8Path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return std::nullopt;
  std::string text;
  char chunk[4096];
  DWORD n = 0;
  while (::ReadFile(file.get(), chunk, sizeof chunk, &n, nullptr) && n > 0) text.append(chunk, n);
  return text;
}

void FillRandom(void* data, std::size_t size) {
  const NTSTATUS status = ::BCryptGenRandom(nullptr, static_cast<PUCHAR>(data), static_cast<ULONG>(size),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) throw std::system_error(static_cast<int>(status), std::system_category(), "BCryptGenRandom");
}

std::string_view NativeLineEnd() { return "\r\n"; }

bool WriteFileAtomically(const std::string& utf8Path, std::string_view contents, bool /*privateFile*/) {
  // The roaming profile folder is already private to its user.
  const std::string folder = ParentFolder(utf8Path);
  if (!folder.empty()) ::CreateDirectoryW(Utf8ToWide(folder).c_str(), nullptr);

  const std::wstring target = Utf8ToWide(utf8Path);
  const std::wstring temp = target + L".tmp";
  Handle file(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  DWORD written = 0;
  bool ok = ::WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
            written == contents.size() && ::FlushFileBuffers(file.get());
  file.close();
  ok = ok && ::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) ::DeleteFileW(temp.c_str());
  return ok;
}

}  // namespace vandrel::platform
