// Start at log-on through the Run key: the current user's value is written and
// deleted, the machine-wide one only read.
#include <windows.h>

#include "infra/AutoStart.h"
#include "infra/TextEncoding.h"

namespace vandrel {
namespace {

constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* kValueName = L"Vandrel";

bool ValueExists(HKEY root) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, kRunKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  const bool exists = ::RegQueryValueExW(key, kValueName, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  ::RegCloseKey(key);
  return exists;
}

class RunKeyAutoStart final : public AutoStart {
 public:
  void Register(const std::string& executable) override {
    const std::wstring data = L"\"" + Utf8ToWide(executable) + L"\"";
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                          &key, nullptr) != ERROR_SUCCESS) {
      return;
    }
    const auto bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
    ::RegSetValueExW(key, kValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()), bytes);
    ::RegCloseKey(key);
  }

  void Unregister() override {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    ::RegDeleteValueW(key, kValueName);
    ::RegCloseKey(key);
  }

  bool IsRegistered() const override { return ValueExists(HKEY_CURRENT_USER) || ValueExists(HKEY_LOCAL_MACHINE); }
};

}  // namespace

std::unique_ptr<AutoStart> MakeAutoStart() { return std::make_unique<RunKeyAutoStart>(); }

}  // namespace vandrel
