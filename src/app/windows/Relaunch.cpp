#include "app/Relaunch.h"

#include <windows.h>

#include "infra/TextEncoding.h"

namespace vandrel {
namespace {

std::wstring Quote(const std::wstring& arg) { return L"\"" + arg + L"\""; }

}  // namespace

int Relaunch(const std::string& executable, const std::vector<std::string>& arguments, const std::string& folder) {
  std::wstring commandLine = Quote(Utf8ToWide(executable));
  for (const auto& arg : arguments) commandLine += L" " + Quote(Utf8ToWide(arg));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const std::wstring directory = Utf8ToWide(folder);
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(), &startup,
                        &process)) {
    return static_cast<int>(::GetLastError());
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return 0;
}

bool HasUsableDisplay() { return true; }

}  // namespace vandrel
