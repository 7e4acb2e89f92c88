#include "protocol/DesktopFolder.h"

#include <windows.h>

#include <cctype>
#include <fcntl.h>
#include <io.h>
#include <shlobj.h>

#include "infra/Platform.h"
#include "infra/TextEncoding.h"

namespace vandrel {

std::string GetDesktopFolder() {
  // The wide form, so that a user folder outside the ANSI code page still works.
  wchar_t folder[MAX_PATH] = {};
  if (SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, folder)) &&
      folder[0] != L'\0') {
    return WideToUtf8(folder);
  }
  if (auto profile = platform::Environment("USERPROFILE")) return *profile + "\\Desktop";
  return "C:\\Temp";
}

namespace platform {

bool IsPlainFileName(const std::string& name) {
  if (name.find(':') != std::string::npos) return false;
  // A device name stays a device with any extension and trailing spaces ("nul .txt").
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (base == device) return false;
  }
  if (base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '0' && base[3] <= '9') {
    return false;
  }
  return true;
}

std::string DesktopFilePath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) return folder + name;
  return folder + "\\" + name;
}

std::FILE* CreateReceivedFile(const std::string& utf8Path, bool& nameTaken) {
  nameTaken = false;
  // CREATE_NEW fails on any existing entry, a link included; the handle is not
  // inherited by programs we start.
  HANDLE handle = ::CreateFileW(Utf8ToWide(utf8Path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    nameTaken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return nullptr;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
  if (fd < 0) {
    ::CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = ::_fdopen(fd, "wb");
  if (!file) ::_close(fd);
  return file;
}

}  // namespace platform
}  // namespace vandrel
