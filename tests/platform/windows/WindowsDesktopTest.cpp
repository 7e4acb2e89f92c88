// Switching, launching, addresses and the media keys through the desktop's
// seam: the records and requests are kept, never sent to wine's desktop.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogCapture.h"
#include "desktop/windows/WindowsDesktop.h"
#include "fakes/WaitUntil.h"

namespace vandrel::desktop {
namespace {

struct FakeDesktop {
  std::vector<INPUT> sent;
  std::vector<HWND> foregroundAsked;
  bool foregroundAnswer = true;
  std::vector<std::wstring> launched;
  ULONG launchMask = 0;
  int launchShow = 0;
  std::wstring launchVerb;
  bool launchAnswer = true;
  std::vector<std::wstring> urls;
  INT_PTR urlAnswer = 42;

  DesktopCalls Calls() {
    DesktopCalls calls;
    calls.sendInput = [this](std::span<INPUT> inputs) {
      sent.insert(sent.end(), inputs.begin(), inputs.end());
      return static_cast<UINT>(inputs.size());
    };
    calls.setForegroundWindow = [this](HWND window) {
      foregroundAsked.push_back(window);
      return foregroundAnswer;
    };
    calls.shellExecuteEx = [this](SHELLEXECUTEINFOW* info) {
      launched.emplace_back(info->lpFile);
      launchVerb = info->lpVerb;
      launchMask = info->fMask;
      launchShow = info->nShow;
      return launchAnswer;
    };
    calls.openUrl = [this](const std::wstring& url) {
      urls.push_back(url);
      return urlAnswer;
    };
    return calls;
  }
};

HWND TestWindow(const wchar_t* title) {
  static const ATOM kind = [] {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ::DefWindowProcW;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VandrelDesktopTest";
    return ::RegisterClassW(&windowClass);
  }();
  return ::CreateWindowExW(0, reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(kind)), title,
                           WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 120, nullptr, nullptr,
                           ::GetModuleHandleW(nullptr), nullptr);
}

void ExpectKey(const INPUT& input, WORD vk, WORD scan, DWORD flags) {
  EXPECT_EQ(input.type, static_cast<DWORD>(INPUT_KEYBOARD));
  EXPECT_EQ(input.ki.wVk, vk);
  EXPECT_EQ(input.ki.wScan, scan);
  EXPECT_EQ(input.ki.dwFlags, flags);
}

TEST(WindowsDesktopTest, TapKeyAndAltEnterBuildTheirRecords) {
  FakeDesktop fake;
  WindowsSmartMediaKeys keys(fake.Calls());
  const auto scan = static_cast<WORD>(::MapVirtualKeyW(VK_SPACE, MAPVK_VK_TO_VSC));
  ASSERT_NE(scan, 0);
  EXPECT_EQ(keys.TapKey(VK_SPACE), scan);
  ASSERT_EQ(fake.sent.size(), 2u);
  ExpectKey(fake.sent[0], VK_SPACE, scan, 0);
  ExpectKey(fake.sent[1], VK_SPACE, scan, KEYEVENTF_KEYUP);

  fake.sent.clear();
  keys.SendAltEnter();
  ASSERT_EQ(fake.sent.size(), 4u);
  ExpectKey(fake.sent[0], VK_MENU, 0, 0);
  ExpectKey(fake.sent[1], VK_RETURN, 0, 0);
  ExpectKey(fake.sent[2], VK_RETURN, 0, KEYEVENTF_KEYUP);
  ExpectKey(fake.sent[3], VK_MENU, 0, KEYEVENTF_KEYUP);

  EXPECT_EQ(keys.LetterKey('k'), std::optional<std::uint16_t>('K'));
}

TEST(WindowsDesktopTest, ForegroundNamesTheWindowAndOurProgram) {
  const HWND window = TestWindow(L"Vandrel foreground \u00e9");
  ASSERT_NE(window, nullptr);
  ::SetForegroundWindow(window);
  if (!testing::WaitUntil([&] { return ::GetForegroundWindow() == window; })) {
    ::DestroyWindow(window);
    GTEST_SKIP() << "wine's desktop did not hand the foreground to the test window";
  }
  FakeDesktop fake;
  WindowsSmartMediaKeys keys(fake.Calls());
  const auto info = keys.Foreground();
  ::DestroyWindow(window);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->wideTitle, u"Vandrel foreground \u00e9");
  EXPECT_EQ(info->process, "vandrel_unit_tests.exe");
}

TEST(WindowsDesktopTest, SwitchToWindowRefusesMissingWindowsAndRetriesOnce) {
  FakeDesktop fake;
  WindowsDesktop desktop(fake.Calls());
  EXPECT_FALSE(desktop.SwitchToWindow(0));
  const HWND closed = TestWindow(L"Vandrel closed");
  ASSERT_NE(closed, nullptr);
  ::DestroyWindow(closed);
  EXPECT_FALSE(desktop.SwitchToWindow(reinterpret_cast<std::uintptr_t>(closed)));
  EXPECT_TRUE(fake.foregroundAsked.empty());

  const HWND window = TestWindow(L"Vandrel switch");
  ASSERT_NE(window, nullptr);
  ::ShowWindow(window, SW_MINIMIZE);
  fake.foregroundAnswer = false;
  EXPECT_FALSE(desktop.SwitchToWindow(reinterpret_cast<std::uintptr_t>(window)));
  EXPECT_FALSE(::IsIconic(window));
  EXPECT_EQ(fake.foregroundAsked, (std::vector<HWND>{window, window}));

  fake.foregroundAsked.clear();
  fake.foregroundAnswer = true;
  EXPECT_TRUE(desktop.SwitchToWindow(reinterpret_cast<std::uintptr_t>(window)));
  EXPECT_EQ(fake.foregroundAsked.size(), 1u);
  ::DestroyWindow(window);
}

TEST(WindowsDesktopTest, LaunchAppOpensThePathAndLogsFailuresByteWise) {
  testing::LogCapture log;
  FakeDesktop fake;
  WindowsDesktop desktop(fake.Calls());
  EXPECT_FALSE(desktop.LaunchApp(""));
  EXPECT_TRUE(fake.launched.empty());

  EXPECT_TRUE(desktop.LaunchApp("C:\\Apps\\caf\xc3\xa9.exe"));
  ASSERT_EQ(fake.launched.size(), 1u);
  EXPECT_EQ(fake.launched[0], L"C:\\Apps\\caf\u00e9.exe");
  EXPECT_EQ(fake.launchVerb, L"open");
  EXPECT_EQ(fake.launchShow, SW_SHOWNORMAL);
  EXPECT_EQ(fake.launchMask, static_cast<ULONG>(SEE_MASK_NOCLOSEPROCESS));

  fake.launchAnswer = false;
  EXPECT_FALSE(desktop.LaunchApp("C:\\Apps\\\xe4\xb8\xad.exe"));  // U+4E2D narrows to 0x2D
  EXPECT_TRUE(log.Contains("[AppList] Failed to launch: C:\\Apps\\-.exe"));
}

TEST(WindowsDesktopTest, OpenUrlTakesShellAnswersAbove32) {
  FakeDesktop fake;
  WindowsDesktop desktop(fake.Calls());
  EXPECT_STREQ(desktop.UrlOpenerName(), "ShellExecuteW");
  EXPECT_TRUE(desktop.OpenUrl("https://example.org/\xc3\xa9"));
  ASSERT_EQ(fake.urls.size(), 1u);
  EXPECT_EQ(fake.urls[0], L"https://example.org/\u00e9");
  fake.urlAnswer = 32;  // SE_ERR_DLLNOTFOUND and below are failures
  EXPECT_FALSE(desktop.OpenUrl("https://example.org/"));
}

}  // namespace
}  // namespace vandrel::desktop
