// Clipboard, power, lock and brightness against wine's Win32. The power and
// lock calls always go to fakes: nothing here may switch anything off.
#include <windows.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "LogCapture.h"
#include "input/windows/WindowsInputManager.h"
#include "input/windows/WindowsRecords.h"

namespace vandrel::InputManager {
namespace {

// What the fake system calls were asked, and what they answer.
struct FakeSystem {
  std::vector<std::pair<unsigned, unsigned long>> exits;
  std::vector<std::vector<bool>> suspends;
  int locks = 0;
  bool succeed = true;

  bool Answer() {
    if (!succeed) ::SetLastError(ERROR_ACCESS_DENIED);
    return succeed;
  }
  SystemCalls Calls() {
    SystemCalls calls;
    calls.exitWindows = [this](unsigned flags, unsigned long reason) {
      exits.emplace_back(flags, reason);
      return Answer();
    };
    calls.suspend = [this](bool hibernate, bool force, bool wake) {
      suspends.push_back({hibernate, force, wake});
      return Answer();
    };
    calls.lock = [this] {
      ++locks;
      return Answer();
    };
    return calls;
  }
};

// Keeps the records instead of injecting them.
class CapturingWindows final : public Windows {
 public:
  explicit CapturingWindows(SystemCalls calls) : Windows(std::move(calls)) {}
  ~CapturingWindows() override { StopAutoRepeat(); }

  using Windows::SetMonitorLibrary;
  std::vector<InputRecord> sent;

 protected:
  unsigned SendBatch(std::span<const InputRecord> batch) override {
    sent.insert(sent.end(), batch.begin(), batch.end());
    return static_cast<unsigned>(batch.size());
  }
};

std::size_t IndexOf(const std::vector<std::string>& lines, const std::string& text) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(text) != std::string::npos) return i;
  }
  return lines.size();
}

std::wstring ReadClipboard() {
  if (!::OpenClipboard(nullptr)) return L"<not opened>";
  std::wstring text = L"<no text>";
  if (const HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* chars = static_cast<const wchar_t*>(::GlobalLock(data))) {
      text = chars;
      ::GlobalUnlock(data);
    }
  }
  ::CloseClipboard();
  return text;
}

TEST(WindowsClipboard, TextRoundTripsAndABusyClipboardIsReported) {
  testing::LogCapture log;
  FakeSystem system;
  CapturingWindows windows(system.Calls());
  const std::string utf8 = "h\xc3\xa9llo w\xc3\xb6rld";
  windows.SetClipboardText(reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size());
  EXPECT_TRUE(log.Contains("[Clipboard] Clipboard set successfully"));
  EXPECT_EQ(ReadClipboard(), L"h\u00e9llo w\u00f6rld");

  // Another thread holds it open for a window, as another program would: an
  // opening for no window counts as ours, and wine lets ours open it again.
  std::mutex mutex;
  std::condition_variable changed;
  bool opened = false, release = false;
  std::thread holder([&] {
    const HWND owner = ::CreateWindowExW(0, L"STATIC", L"holder", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    const bool ok = owner && ::OpenClipboard(owner) != FALSE;
    {
      std::unique_lock lock(mutex);
      opened = true;
      changed.notify_all();
      changed.wait(lock, [&] { return release; });
    }
    if (ok) ::CloseClipboard();
    if (owner) ::DestroyWindow(owner);
  });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return opened; });
  }
  windows.SetClipboardText(reinterpret_cast<const std::uint8_t*>("x"), 1);
  {
    std::lock_guard lock(mutex);
    release = true;
    changed.notify_all();
  }
  holder.join();
  EXPECT_TRUE(log.Contains("[Clipboard] OpenClipboard failed: "));
  EXPECT_EQ(log.Count("[Clipboard] Clipboard set successfully"), 1u);
}

TEST(WindowsBrightness, LibraryWithoutTheMonitorApiFallsBackToScanCodes) {
  testing::LogCapture log;
  FakeSystem system;
  CapturingWindows windows(system.Calls());
  windows.SetMonitorLibrary(L"kernel32.dll");
  windows.BrightnessStep(true);
  EXPECT_TRUE(log.Contains("[Brightness] DDC/CI: Physical Monitor API not found in dxva2.dll"));
  EXPECT_TRUE(log.Contains("[Brightness] Step UP scan=0x6f (SendInput fallback)"));
  const std::vector<InputRecord> expected = {KeyRecord{0, false, true, 0x6F}, KeyRecord{0, true, true, 0x6F}};
  EXPECT_EQ(windows.sent, expected);

  windows.SetMonitorLibrary(L"vandrel-no-such-library.dll");
  windows.BrightnessStep(false);
  EXPECT_TRUE(log.Contains("[Brightness] DDC/CI: dxva2.dll not available"));
  EXPECT_TRUE(log.Contains("[Brightness] Step DOWN scan=0x70 (SendInput fallback)"));
}

TEST(WindowsBrightness, RealDxva2EndsInAKnownOutcome) {
  testing::LogCapture log;
  FakeSystem system;
  CapturingWindows windows(system.Calls());
  windows.BrightnessStep(true);
  const bool direct = log.Contains("[Brightness] Step UP via DDC/CI");
  const bool fallback = log.Contains("[Brightness] Step UP scan=0x6f (SendInput fallback)");
  EXPECT_NE(direct, fallback);
  EXPECT_EQ(windows.sent.empty(), direct);
}

TEST(WindowsMedia, ShortVideoForegroundTurnsNextIntoDown) {
  testing::LogCapture log;
  FakeSystem system;
  CapturingWindows windows(system.Calls());
  const HWND window = ::CreateWindowExW(0, L"STATIC", L"\u6296\u97f3 - player", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                        200, 100, nullptr, nullptr, nullptr, nullptr);
  if (!window) GTEST_SKIP() << "no display driver here to show a window";
  ::SetForegroundWindow(window);
  const bool foreground = ::GetForegroundWindow() == window;
  if (foreground) windows.Media(0x04);
  ::DestroyWindow(window);
  if (!foreground) GTEST_SKIP() << "no desktop here lets a test window come to the foreground";
  const std::vector<InputRecord> expected = {KeyRecord{0x28, false, true}, KeyRecord{0x28, true, true}};
  EXPECT_EQ(windows.sent, expected);
  EXPECT_TRUE(log.Contains("[Media] Douyin foreground: NEXT/PREVIOUS remapped to "));
}

TEST(WindowsRecords, ScanCodeOnlyRecordCarriesNoVirtualKey) {
  const INPUT down = ToWin32Input(KeyRecord{0, false, true, 0x6F});
  EXPECT_EQ(down.type, static_cast<DWORD>(INPUT_KEYBOARD));
  EXPECT_EQ(down.ki.wVk, 0);
  EXPECT_EQ(down.ki.wScan, 0x6F);
  EXPECT_EQ(down.ki.dwFlags, static_cast<DWORD>(KEYEVENTF_SCANCODE | KEYEVENTF_EXTENDEDKEY));
  const INPUT up = ToWin32Input(KeyRecord{0, true, false, 0x70});
  EXPECT_EQ(up.ki.dwFlags, static_cast<DWORD>(KEYEVENTF_SCANCODE | KEYEVENTF_KEYUP));

  // A virtual key keeps its own path: no scan-code flag.
  const INPUT key = ToWin32Input(KeyRecord{0x41, true, false, 0});
  EXPECT_EQ(key.ki.wVk, 0x41);
  EXPECT_EQ(key.ki.dwFlags, static_cast<DWORD>(KEYEVENTF_KEYUP));
}

TEST(WindowsSystem, ShutdownGoesThroughThePrivilegeStepFirst) {
  testing::LogCapture log;
  FakeSystem system;
  system.succeed = false;
  CapturingWindows windows(system.Calls());
  windows.SystemControl(0x01, 0x81);
  const auto lines = log.Lines();
  const std::size_t before = IndexOf(lines, "[System] Initiating shutdown (EWX_SHUTDOWN)...");
  if (before == lines.size()) {
    // Wine refused the privilege: nothing may have been asked for.
    EXPECT_TRUE(system.exits.empty());
    return;
  }
  ASSERT_EQ(system.exits.size(), 1u);
  EXPECT_EQ(system.exits[0].first, static_cast<unsigned>(EWX_SHUTDOWN | EWX_FORCEIFHUNG));
  EXPECT_EQ(system.exits[0].second, 0x20000ul);
  EXPECT_LT(before, IndexOf(lines, "[System] ExitWindowsEx(SHUTDOWN) failed: 5"));
  EXPECT_NE(IndexOf(lines, "[System] ExitWindowsEx(SHUTDOWN) failed: 5"), lines.size());
}

TEST(WindowsSystem, SleepLogoffAndLockReachTheirCalls) {
  testing::LogCapture log;
  FakeSystem system;
  CapturingWindows windows(system.Calls());
  windows.SystemControl(0x01, 0x82);
  windows.SystemControl(0x01, 0x85);
  windows.SystemControl(0x01, 0x86);
  ASSERT_EQ(system.suspends.size(), 1u);
  EXPECT_EQ(system.suspends[0], (std::vector<bool>{false, false, false}));
  ASSERT_EQ(system.exits.size(), 1u);
  EXPECT_EQ(system.exits[0].first, static_cast<unsigned>(EWX_LOGOFF | EWX_FORCEIFHUNG));
  EXPECT_EQ(system.exits[0].second, 0x20000ul);
  EXPECT_EQ(system.locks, 1);
  EXPECT_EQ(log.Count(" failed: "), 0u);

  system.succeed = false;
  windows.SystemControl(0x01, 0x86);
  EXPECT_TRUE(log.Contains("[System] LockWorkStation failed: 5"));
}

TEST(WindowsSystem, WinLLocksWithoutSendingKeys) {
  testing::LogCapture log;
  FakeSystem system;
  CapturingWindows windows(system.Calls());
  windows.KeyClick(0x0F, 0x08);
  EXPECT_EQ(system.locks, 1);
  EXPECT_TRUE(windows.sent.empty());
  EXPECT_TRUE(log.Contains("[SendInput] Win+L -> LockWorkStation()"));
}

}  // namespace
}  // namespace vandrel::InputManager
