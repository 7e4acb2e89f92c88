#include "input/SystemActions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "RecordingInjector.h"
#include "input/InputQueue.h"
#include "input/KeyStateTracker.h"

namespace vandrel {
namespace {

using InputManager::BrightnessLevel;
using InputManager::SteppedBrightness;
using Lines = std::vector<std::string>;
using testing::LogCapture;
using testing::RecordingInjector;

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(MediaKeys, EachActionBitIsOneKeyAndAnythingElseIsRefused) {
  RecordingInjector injector;
  injector.Media(0x10);
  EXPECT_EQ(injector.Transcript(), (Lines{"attach", "batch +B3(ext) -B3(ext)", "detach"}));
  injector.Clear();
  injector.Media(0x01);
  injector.Media(0x80);
  EXPECT_EQ(injector.Transcript(), (Lines{"attach", "batch +27(ext) -27(ext)", "detach", "attach",
                                          "batch +AE(ext) -AE(ext)", "detach"}));

  // Two bits, none, or an unknown one: no key, and the attachment is undone all the same.
  for (const std::uint8_t action : {0x03, 0x00, 0x11, 0xFF}) {
    injector.Clear();
    EXPECT_THROW(injector.Media(action), std::out_of_range) << int{action};
    EXPECT_EQ(injector.Transcript(), (Lines{"attach", "detach"})) << int{action};
  }
}

TEST(MediaKeys, UnknownActionThroughTheQueueIsLoggedAsTheGuardsCrash) {
  LogCapture log;
  RecordingInjector injector;
  KeyStateTracker tracker;
  InputQueue queue(&injector, &tracker);
  queue.Start();
  const std::uint8_t bad[] = {10, 0x03};
  const std::uint8_t good[] = {10, 0x20};
  queue.Enqueue(bad, sizeof bad);
  queue.Enqueue(good, sizeof good);
  queue.Stop();
  EXPECT_EQ(log.Count("[INPUT_QUEUE][FATAL] inputmanager.execute crashed"), 1u);
  EXPECT_EQ(injector.Transcript(), (Lines{"attach", "detach", "attach", "batch +AD(ext) -AD(ext)", "detach"}));
}

TEST(MediaKeys, ShortVideoAppInFrontTurnsNextAndPreviousIntoArrows) {
  LogCapture log;
  RecordingInjector injector;
  injector.SetForegroundTitle("Watching DouYin - Browser");
  injector.Media(0x04);
  injector.Media(0x08);
  EXPECT_EQ(injector.Transcript(),
            (Lines{"attach", "batch +28(ext) -28(ext)", "detach", "attach", "batch +26(ext) -26(ext)", "detach"}));
  EXPECT_TRUE(log.Contains("[Media] Douyin foreground: NEXT/PREVIOUS remapped to Down (0x28)"));
  EXPECT_TRUE(log.Contains("[Media] Douyin foreground: NEXT/PREVIOUS remapped to Up (0x26)"));

  // Only next and previous are remapped; the Chinese name counts too.
  injector.Clear();
  injector.SetForegroundTitle("\xE6\x8A\x96\xE9\x9F\xB3");
  injector.Media(0x10);
  injector.Media(0x04);
  EXPECT_EQ(injector.Transcript(),
            (Lines{"attach", "batch +B3(ext) -B3(ext)", "detach", "attach", "batch +28(ext) -28(ext)", "detach"}));

  for (const char* title : {"", "Music player", "douyi n", "Douyi"}) {
    injector.Clear();
    injector.SetForegroundTitle(title);
    injector.Media(0x04);
    EXPECT_EQ(injector.Transcript(), (Lines{"attach", "batch +B0(ext) -B0(ext)", "detach"})) << title;
  }
}

TEST(Clipboard, LogsAPreviewAndSetsTheTextUpToItsFirstZero) {
  LogCapture log;
  RecordingInjector injector;
  const std::string sixty(60, 'x');
  auto bytes = Bytes(sixty);
  injector.SetClipboardText(bytes.data(), bytes.size());
  EXPECT_TRUE(log.Contains("[Clipboard] Setting clipboard text (size=60): " + std::string(50, 'x') + "..."));
  bytes = Bytes("ten bytes!");
  injector.SetClipboardText(bytes.data(), bytes.size());
  EXPECT_EQ(log.Lines().back(), "[Clipboard] Setting clipboard text (size=10): ten bytes!");
  const std::uint8_t withZero[] = {'a', 'b', 0, 'c', 'd'};
  injector.SetClipboardText(withZero, sizeof withZero);
  injector.SetClipboardText(withZero, 0);  // nothing at all, not even a line
  EXPECT_EQ(injector.Transcript(), (Lines{"clipboard " + sixty, "clipboard ten bytes!", "clipboard ab"}));
  EXPECT_EQ(log.Count("[Clipboard] Setting"), 3u);

  // Exactly 50 bytes is shown whole, without the ellipsis.
  const std::string fifty(50, 'y');
  EXPECT_EQ(InputManager::ClipboardLogLine(reinterpret_cast<const std::uint8_t*>(fifty.data()), 50),
            "[Clipboard] Setting clipboard text (size=50): " + fifty);
}

TEST(Clipboard, PreviewEscapesControlBytesAndTheTextKeepsThem) {
  LogCapture log;
  RecordingInjector injector;
  const std::string forged = "ok\n[SERVER] Closed.\x1b[2J";
  auto bytes = Bytes(forged);
  injector.SetClipboardText(bytes.data(), bytes.size());
  EXPECT_EQ(log.Lines().back(),
            "[Clipboard] Setting clipboard text (size=23): ok\\x0a[SERVER] Closed.\\x1b[2J");
  EXPECT_EQ(injector.Transcript(), (Lines{"clipboard " + forged}));
  const std::uint8_t zeros[] = {0, 0, 0, 0};
  injector.SetClipboardText(zeros, sizeof zeros);
  EXPECT_EQ(log.Lines().back(), "[Clipboard] Setting clipboard text (size=4): \\x00\\x00\\x00\\x00");
}

TEST(SystemUsages, EachRowLogsBeforeItsCallAndItsFailureAfter) {
  LogCapture log;
  RecordingInjector injector;
  injector.SystemControl(0x01, 0x82);
  injector.SystemControl(0x01, 0x86);
  injector.SystemControl(0x01, 0x83);  // wake: only a line
  EXPECT_EQ(injector.Transcript(), (Lines{"system 1", "lock"}));
  EXPECT_TRUE(log.Contains("[System] control request: page=0x1 usage=0x82"));
  EXPECT_TRUE(log.Contains("[System] Initiating sleep (SetSuspendState)..."));
  EXPECT_TRUE(log.Contains("[System] Locking workstation..."));
  EXPECT_TRUE(log.Contains("[System] Wake-up requested (software wake-up is typically handled by BIOS/OS); no-op."));
  EXPECT_FALSE(log.Contains("failed"));

  injector.Clear();
  injector.SetSystemError("org.freedesktop.DBus.Error.AccessDenied: no");
  injector.SystemControl(0x01, 0x81);
  injector.SystemControl(0x01, 0x84);
  injector.SystemControl(0x01, 0x85);
  EXPECT_EQ(injector.Transcript(), (Lines{"system 0", "system 3", "system 4"}));
  const Lines lines = log.Lines();
  const auto at = [&](const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) - lines.begin();
  };
  EXPECT_LT(at("[System] Initiating shutdown (EWX_SHUTDOWN)..."),
            at("[System] ExitWindowsEx(SHUTDOWN) failed: org.freedesktop.DBus.Error.AccessDenied: no"));
  EXPECT_TRUE(log.Contains("[System] ExitWindowsEx(REBOOT) failed: org.freedesktop.DBus.Error.AccessDenied: no"));
  EXPECT_TRUE(log.Contains("[System] ExitWindowsEx(LOGOFF) failed: org.freedesktop.DBus.Error.AccessDenied: no"));
}

TEST(SystemUsages, WithoutThePrivilegeShutdownStopsButLogoffGoesOn) {
  LogCapture log;
  RecordingInjector injector;
  injector.SetPrivilegeGranted(false);
  injector.SystemControl(0x01, 0x81);
  injector.SystemControl(0x01, 0x84);
  injector.SystemControl(0x01, 0x85);
  EXPECT_EQ(injector.Transcript(), (Lines{"system 4"}));
  EXPECT_FALSE(log.Contains("Initiating shutdown"));
}

TEST(SystemUsages, OtherPagesAndUsagesAreOnlyReported) {
  LogCapture log;
  RecordingInjector injector;
  injector.SystemControl(0x0C, 0x81);
  injector.SystemControl(0x01, 0x90);
  injector.SystemControl(0x01, 0x00);
  EXPECT_TRUE(injector.Transcript().empty());
  EXPECT_TRUE(log.Contains("[System] Unsupported HID page: 12"));
  EXPECT_TRUE(log.Contains("[System] Unsupported usage: 0x90"));
  EXPECT_EQ(log.Lines().back(), "[System] Unsupported usage: 0x0");
}

TEST(Brightness, StepIsATwentiethOfTheRangeRoundedUpAndClamped) {
  EXPECT_EQ(SteppedBrightness({0, 50, 100}, true), 55u);
  EXPECT_EQ(SteppedBrightness({0, 50, 100}, false), 45u);
  EXPECT_EQ(SteppedBrightness({0, 3, 100}, false), 0u);
  EXPECT_EQ(SteppedBrightness({0, 98, 100}, true), 100u);
  EXPECT_EQ(SteppedBrightness({0, 5, 100}, false), 0u) << "at one step above the minimum it lands on the minimum";
  EXPECT_EQ(SteppedBrightness({0, 6, 100}, false), 1u);
  EXPECT_EQ(SteppedBrightness({10, 12, 31}, true), 14u) << "21 values: step 2";
  EXPECT_EQ(SteppedBrightness({0, 0, 1}, true), 1u);
  EXPECT_EQ(SteppedBrightness({0, 3000, 4882}, true), 3245u) << "a backlight's long range";
  EXPECT_EQ(SteppedBrightness({0, 0xFFFFFFF0u, 0xFFFFFFFFu}, true), 0xFFFFFFFFu) << "no overflow";
  EXPECT_EQ(SteppedBrightness({7, 7, 7}, true), std::nullopt);
  EXPECT_EQ(SteppedBrightness({9, 5, 7}, false), std::nullopt);
}

TEST(Brightness, MonitorsThatAnswerAreSteppedAndLogged) {
  LogCapture log;
  std::vector<std::uint32_t> written;
  const auto write = [&](std::uint32_t level) {
    written.push_back(level);
    return true;
  };
  EXPECT_TRUE(InputManager::StepOneMonitor([] { return BrightnessLevel{0, 50, 100}; }, write, true, "[X] "));
  EXPECT_FALSE(InputManager::StepOneMonitor([] { return std::optional<BrightnessLevel>(); }, write, true, "[X] "));
  EXPECT_FALSE(InputManager::StepOneMonitor([] { return BrightnessLevel{3, 3, 3}; }, write, true, "[X] "));
  EXPECT_FALSE(InputManager::StepOneMonitor([] { return BrightnessLevel{0, 3, 100}; }, [](std::uint32_t) { return false; },
                                            false, "[X] "));
  EXPECT_EQ(written, std::vector<std::uint32_t>{55});
  EXPECT_EQ(log.Lines(), Lines{"[X] 50 -> 55 (range 0-100)"});
}

TEST(Brightness, FallsBackToTheExtendedScanCodeOnlyWhenNoMonitorChanged) {
  LogCapture log;
  RecordingInjector injector;
  injector.BrightnessStep(true);
  injector.BrightnessStep(false);
  EXPECT_EQ(injector.Transcript(), (Lines{"brightness up", "attach", "batch +00(ext)[scan 6F] -00(ext)[scan 6F]",
                                          "detach", "brightness down", "attach",
                                          "batch +00(ext)[scan 70] -00(ext)[scan 70]", "detach"}));
  EXPECT_TRUE(log.Contains("[Brightness] Step UP scan=0x6f (SendInput fallback)"));
  EXPECT_TRUE(log.Contains("[Brightness] Step DOWN scan=0x70 (SendInput fallback)"));

  injector.Clear();
  injector.SetBrightnessMeans("DDC/CI");
  injector.BrightnessStep(true);
  EXPECT_EQ(injector.Transcript(), Lines{"brightness up"});
  EXPECT_TRUE(log.Contains("[Brightness] Step UP via DDC/CI"));
}

}  // namespace
}  // namespace vandrel
