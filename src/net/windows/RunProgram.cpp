#include <windows.h>

#include "infra/Platform.h"
#include "infra/TextEncoding.h"
#include "net/AdbReverse.h"

namespace vandrel {
namespace {

constexpr DWORD kLimitMs = 20000;

std::string ExecutableFolder() {
  const auto exe = platform::ExecutablePath();
  if (!exe) return {};
  const auto sep = exe->find_last_of("\\/");
  return sep == std::string::npos ? *exe : exe->substr(0, sep);
}

// Quotes one argument, where it needs it, the way the C runtime splits a
// command line; plain words stay bare for programs that parse it themselves.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

}  // namespace

std::string AdbReverse::FindAdb() { return ExecutableFolder() + "\\adb.exe"; }

std::string AdbReverse::FindAdbForKillServer() { return ExecutableFolder() + "\\adb\\adb.exe"; }

std::optional<int> AdbReverse::RunProgram(const std::string& program, const std::vector<std::string>& args) {
  std::wstring commandLine = Quote(Utf8ToWide(program));
  for (const auto& arg : args) commandLine += L" " + Quote(Utf8ToWide(arg));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // Started directly, not through cmd.exe: no console window flashes up.
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
    return std::nullopt;
  }
  std::optional<int> result;
  if (::WaitForSingleObject(process.hProcess, kLimitMs) == WAIT_OBJECT_0) {
    DWORD code = 0;
    if (::GetExitCodeProcess(process.hProcess, &code)) result = static_cast<int>(code);
  } else {
    ::TerminateProcess(process.hProcess, 1);
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return result;
}

}  // namespace vandrel
