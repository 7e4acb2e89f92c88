// Everything an input manager decides above the operating system: the HID
// tables, the record batches and their order, the waits, zoom, auto-repeat and
// the debug dump. A platform manager only sends a batch and answers a few
// questions about the desktop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "infra/LogLimiter.h"
#include "input/InputManager.h"
#include "input/InputRecord.h"
#include "input/SystemActions.h"

namespace vandrel::InputManager {

/// Records dumped in full before the dump thins out to one line per 5 s.
inline constexpr std::uint32_t kDumpBurst = 200;

class Injector : public Base {
 public:
  Injector();
  /// Stops auto-repeat and joins its thread. A derived class calls
  /// StopAutoRepeat() in its own destructor, before its mechanism goes away.
  ~Injector() override;

  void LeftClick() override;
  void DoubleClick() override;
  void RightClick() override;
  void MiddleClick() override;
  void MoveRelative(std::int32_t dx, std::int32_t dy) override;
  void Scroll(std::int32_t amount) override;
  void ScrollHorizontal(std::int32_t amount) override;
  void LeftDown() override;
  void LeftUp() override;
  void KeyClick(std::uint8_t key, std::uint8_t modifiers) override;
  void KeyDown(std::uint8_t key, std::uint8_t modifiers) override;
  void KeyUp(std::uint8_t key, std::uint8_t modifiers) override;
  void Zoom(std::int32_t steps) override;
  void Media(std::uint8_t action) override;
  void SetClipboardText(const std::uint8_t* utf8, std::size_t size) override;
  void SystemControl(std::uint8_t page, std::uint8_t usage) override;
  void BrightnessStep(bool up) override;

  /// Keys for a desktop action, from any thread: one batch through the same
  /// mechanism and dump as the phone's typing.
  unsigned SendDesktopKeys(std::span<const InputRecord> keys) { return Send(keys); }
  /// The hardware scan code the system gives a virtual key; 0 when it has none.
  virtual std::uint16_t ScanCodeOf(std::uint16_t /*vk*/) { return 0; }

 protected:
  /// Hands one batch to the system; returns how many records it took.
  virtual unsigned SendBatch(std::span<const InputRecord> batch) = 0;
  /// One auto-repeat round of the held key: `downs` is the batch that pressed
  /// it. Sent again as it is, unless the system repeats a held key its own way.
  virtual unsigned SendRepeat(std::span<const InputRecord> downs) { return SendBatch(downs); }
  /// Attaches the calling thread's input to the foreground window's thread, if any.
  virtual void AttachToForeground() {}
  virtual void DetachFromForeground() {}
  /// Whether Control is held on the real keyboard right now.
  virtual bool IsControlHeld() = 0;
  /// The foreground window's title in UTF-8; empty when there is none.
  virtual std::string ForegroundTitle() { return {}; }
  /// Puts the text (UTF-8, no zero byte, not empty) on the system clipboard,
  /// logging the outcome. Must not wait for other programs.
  virtual void PutClipboardText(std::string_view utf8) = 0;
  /// Whatever must come before `action` (a privilege); false, after logging
  /// why, stops it.
  virtual bool PrepareSystemAction(SystemAction /*action*/) { return true; }
  /// Asks the system for `action`; nothing on success, else the system's
  /// error as the failure line's tail.
  virtual std::optional<std::string> PerformSystemAction(SystemAction action) = 0;
  /// Steps the brightness of every monitor that can be set directly, logging
  /// each; returns the means ("DDC/CI", ...) when at least one changed, else empty.
  virtual std::string StepMonitorBrightness(bool up) = 0;
  /// The pauses between batches; tests record them instead of sleeping.
  virtual void Wait(std::chrono::milliseconds duration);

  /// Dumps the batch (unless switched off) and sends it, through SendRepeat for
  /// an auto-repeat round. Batches never reach the mechanism two at a time,
  /// though the auto-repeat thread sends some of them.
  unsigned Send(std::span<const InputRecord> batch, bool repeat = false);
  /// Ends auto-repeat and joins its thread; call from the operations' thread.
  void StopAutoRepeat();

 private:
  unsigned SendMouse(const MouseRecord& record);
  void StartAutoRepeat(std::vector<InputRecord> downs);
  // Forgets the repeating key and waits out a round already being sent, so
  // nothing repeats once it returns. `lock` holds repeatMutex_.
  void CancelAutoRepeat(std::unique_lock<std::mutex>& lock);
  void AutoRepeatLoop();

  std::mutex sendMutex_;
  // A phone decides how many records there are: past a burst the dump keeps
  // one line per interval with the count of those left out. Under sendMutex_.
  LogLimiter dumpLines_{kDumpBurst};

  // Auto-repeat: one thread per manager, started by the first KeyDown and
  // woken through repeatSignal_ whenever the state below changes.
  std::mutex repeatMutex_;
  std::condition_variable repeatSignal_;
  std::thread repeatThread_;
  std::vector<InputRecord> repeatBatch_;  // empty when no key repeats
  std::chrono::steady_clock::time_point nextRepeat_;
  bool roundRunning_ = false;
  bool quit_ = false;
};

/// The HID usage's virtual key, or 0 when the usage has none.
std::uint16_t HidUsageToVirtualKey(std::uint8_t usage);
/// Whether the virtual key's records carry the extended-key flag.
bool IsExtendedKey(std::uint16_t vk);
/// The name the dump prints for a virtual key ("A", "LShift", "VK_255", ...).
std::string VirtualKeyName(std::uint16_t vk);
/// The virtual keys of the HID modifier bits that are set, lowest bit first.
std::vector<std::uint16_t> ModifierVirtualKeys(std::uint8_t modifiers);

// The debug dump: one log line per record just before its batch is sent, so a
// log shows exactly what was injected and in which order.
inline constexpr const char* kDumpVariable = "VANDREL_SENDINPUT_DEBUG";
/// Whether the dump is wanted for this value of the variable (nothing when
/// unset): on unless the value starts with '0', 'F' or 'f'.
bool DumpWantedFor(const std::optional<std::string>& setting);
/// The process-wide answer, read from the environment on first use.
bool DumpEnabled();
/// The line the dump logs for one record, e.g. "[SendInput] KEYDOWN VK=A (0x41)".
std::string DumpLine(const InputRecord& record);

}  // namespace vandrel::InputManager
