#include <gtest/gtest.h>
#include <windows.h>

#include "FakeAutoStart.h"
#include "TempDir.h"
#include "infra/AutoStart.h"
#include "infra/Platform.h"
#include "infra/Settings.h"
#include "infra/TextEncoding.h"

namespace vandrel {
namespace {

constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::optional<std::wstring> ReadRunValue(HKEY root) {
  wchar_t data[1024] = {};
  DWORD size = sizeof data;
  DWORD type = 0;
  if (::RegGetValueW(root, kRunKey, L"Vandrel", RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS) return std::nullopt;
  if (type != REG_SZ) return std::nullopt;
  return std::wstring(data);
}

void SetMachineValue(bool present) {
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  if (present) {
    const wchar_t data[] = L"\"C:\\elsewhere\\vandrel.exe\"";
    ::RegSetValueExW(key, L"Vandrel", 0, REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof data);
  } else {
    ::RegDeleteValueW(key, L"Vandrel");
  }
  ::RegCloseKey(key);
}

TEST(RunKeyAutoStart, SettingsWriteAndDeleteTheCurrentUsersValue) {
  testing::TempDir dir;
  Settings settings([&] { return dir.File("settings.ini"); }, MakeAutoStart());
  settings.SetRunAtStartup(false);
  EXPECT_FALSE(settings.IsRunAtStartupRegistered());

  settings.SetRunAtStartup(true);
  const auto value = ReadRunValue(HKEY_CURRENT_USER);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, L"\"" + Utf8ToWide(platform::ExecutablePath().value()) + L"\"");
  EXPECT_TRUE(settings.IsRunAtStartupRegistered());

  settings.SetRunAtStartup(false);
  EXPECT_FALSE(ReadRunValue(HKEY_CURRENT_USER).has_value());
  EXPECT_FALSE(settings.IsRunAtStartupRegistered());
}

TEST(RunKeyAutoStart, MachineWideValueIsOnlyRead) {
  SetMachineValue(true);
  auto autoStart = MakeAutoStart();
  autoStart->Unregister();
  EXPECT_TRUE(autoStart->IsRegistered());
  EXPECT_TRUE(ReadRunValue(HKEY_LOCAL_MACHINE).has_value());
  SetMachineValue(false);
  EXPECT_FALSE(autoStart->IsRegistered());
}

}  // namespace
}  // namespace vandrel
