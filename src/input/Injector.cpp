#include "input/Injector.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <thread>
#include <utility>

#include "infra/Logger.h"

namespace vandrel::InputManager {
namespace {

using std::chrono::milliseconds;

// Applications poll the keyboard state; without these pauses some of them see
// the key before its modifier, or miss a key released in the same instant.
constexpr milliseconds kModifierPause{10};
constexpr milliseconds kKeyPause{5};
// Short enough for any double-click time, long enough to read as two clicks.
constexpr milliseconds kDoubleClickPause{20};
// The phone sends one KeyDown and one KeyUp for a held key, so the repeats a
// keyboard would make are made here, at the usual half-second delay and 25 a second.
constexpr milliseconds kRepeatDelay{500};
constexpr milliseconds kRepeatInterval{40};

// Windows ignores an injected Win+L, so the lock is asked for directly.
constexpr std::uint8_t kWinModifier = 0x08;
constexpr std::uint8_t kUsageL = 0x0F;

constexpr std::uint16_t kVkControl = 0x11;
constexpr std::uint16_t kVkPlus = 0xBB;
constexpr std::uint16_t kVkMinus = 0xBD;
constexpr std::int64_t kMaxZoomSteps = 120;
// One scroll unit from the phone is a tenth of a wheel notch.
constexpr std::int64_t kWheelPerUnit = 10;

KeyRecord Key(std::uint16_t vk, bool up) { return KeyRecord{vk, up, IsExtendedKey(vk)}; }

void AppendModifierDowns(std::vector<InputRecord>& batch, std::uint8_t modifiers) {
  for (const auto vk : ModifierVirtualKeys(modifiers)) batch.emplace_back(Key(vk, false));
}

// Released in the reverse order of pressing.
void AppendModifierUps(std::vector<InputRecord>& batch, std::uint8_t modifiers) {
  const auto keys = ModifierVirtualKeys(modifiers);
  for (auto it = keys.rbegin(); it != keys.rend(); ++it) batch.emplace_back(Key(*it, true));
}

std::int32_t WheelData(std::int32_t amount) {
  const std::int64_t wheel = std::int64_t{amount} * kWheelPerUnit;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(wheel, std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

Injector::Injector() = default;

Injector::~Injector() { StopAutoRepeat(); }

void Injector::Wait(milliseconds duration) { std::this_thread::sleep_for(duration); }

unsigned Injector::Send(std::span<const InputRecord> batch, bool repeat) {
  // One batch at a time, so its dump lines stay together and a mechanism
  // never sees the operations' thread and the auto-repeat thread at once.
  std::lock_guard lock(sendMutex_);
  if (DumpEnabled()) {
    const auto now = LogLimiter::Clock::now();
    for (const auto& record : batch) {
      if (auto permit = dumpLines_.Next(now)) Log() << DumpLine(record) << permit;
    }
  }
  return repeat ? SendRepeat(batch) : SendBatch(batch);
}

unsigned Injector::SendMouse(const MouseRecord& record) {
  const InputRecord batch[] = {record};
  return Send(batch);
}

void Injector::LeftClick() { SendMouse({kMouseLeftDown | kMouseLeftUp}); }
void Injector::RightClick() { SendMouse({kMouseRightDown | kMouseRightUp}); }
void Injector::MiddleClick() { SendMouse({kMouseMiddleDown | kMouseMiddleUp}); }
void Injector::LeftDown() { SendMouse({kMouseLeftDown}); }
void Injector::LeftUp() { SendMouse({kMouseLeftUp}); }

void Injector::DoubleClick() {
  const InputRecord click[] = {MouseRecord{kMouseLeftDown}, MouseRecord{kMouseLeftUp}};
  const unsigned first = Send(click);
  Wait(kDoubleClickPause);
  const unsigned second = Send(click);
  if (first == 0 || second == 0) {
    Log() << "[SendInput] WARNING: double_click injection failed ret1=" << first << " ret2=" << second
          << " (0=blocked by UIPI or wrong desktop)";
  }
}

void Injector::MoveRelative(std::int32_t dx, std::int32_t dy) { SendMouse({kMouseMove, dx, dy}); }

void Injector::Scroll(std::int32_t amount) { SendMouse({kMouseWheel, 0, 0, WheelData(amount)}); }

void Injector::ScrollHorizontal(std::int32_t amount) { SendMouse({kMouseHWheel, 0, 0, WheelData(amount)}); }

void Injector::KeyClick(std::uint8_t key, std::uint8_t modifiers) {
  if (modifiers == kWinModifier && key == kUsageL) {
    Log() << "[SendInput] Win+L -> LockWorkStation()";
    if (const auto error = PerformSystemAction(SystemAction::kLock)) {
      Log() << "[SendInput] LockWorkStation failed, error " << *error;
    }
    return;
  }
  const std::uint16_t vk = HidUsageToVirtualKey(key);
  AttachToForeground();
  std::vector<InputRecord> batch;
  AppendModifierDowns(batch, modifiers);
  if (!batch.empty()) {
    Send(batch);
    Wait(kModifierPause);
  }
  if (vk != 0) {
    const InputRecord press[] = {Key(vk, false), Key(vk, true)};
    Send(press);
    Wait(kKeyPause);
  }
  batch.clear();
  AppendModifierUps(batch, modifiers);
  if (!batch.empty()) Send(batch);
  DetachFromForeground();
}

void Injector::KeyDown(std::uint8_t key, std::uint8_t modifiers) {
  {
    // The new key replaces the repeating one before its own press goes out.
    std::unique_lock lock(repeatMutex_);
    CancelAutoRepeat(lock);
  }
  const std::uint16_t vk = HidUsageToVirtualKey(key);
  std::vector<InputRecord> downs;
  AppendModifierDowns(downs, modifiers);
  if (vk != 0) downs.emplace_back(Key(vk, false));
  AttachToForeground();
  if (!downs.empty()) Send(downs);
  DetachFromForeground();
  StartAutoRepeat(std::move(downs));
}

void Injector::KeyUp(std::uint8_t key, std::uint8_t modifiers) {
  {
    std::unique_lock lock(repeatMutex_);
    CancelAutoRepeat(lock);
  }
  const std::uint16_t vk = HidUsageToVirtualKey(key);
  std::vector<InputRecord> ups;
  if (vk != 0) ups.emplace_back(Key(vk, true));
  AppendModifierUps(ups, modifiers);
  AttachToForeground();
  if (!ups.empty()) Send(ups);
  DetachFromForeground();
}

void Injector::Zoom(std::int32_t steps) {
  if (steps == 0) return;
  // Control with plus or minus zooms in browsers, editors and viewers alike.
  const std::uint16_t zoomKey = steps < 1 ? kVkMinus : kVkPlus;
  const auto count = static_cast<std::size_t>(std::min(std::abs(std::int64_t{steps}), kMaxZoomSteps));
  // When the user already holds Control, pressing and releasing it ourselves
  // would leave it released under their finger.
  const bool held = IsControlHeld();
  AttachToForeground();
  if (!held) {
    const InputRecord down[] = {KeyRecord{kVkControl, false, false}};
    Send(down);
    Wait(kModifierPause);
  }
  std::vector<InputRecord> presses;
  presses.reserve(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    presses.emplace_back(KeyRecord{zoomKey, false, false});
    presses.emplace_back(KeyRecord{zoomKey, true, false});
  }
  Send(presses);
  Wait(kKeyPause);
  if (!held) {
    const InputRecord up[] = {KeyRecord{kVkControl, true, false}};
    Send(up);
  }
  DetachFromForeground();
}

// One auto-repeat thread per manager: it sleeps until a key is held and
// wakes at once when the key is let go or replaced.
void Injector::StartAutoRepeat(std::vector<InputRecord> downs) {
  // KeyDown has cancelled the previous key already.
  if (downs.empty()) return;
  {
    std::lock_guard lock(repeatMutex_);
    repeatBatch_ = std::move(downs);
    nextRepeat_ = std::chrono::steady_clock::now() + kRepeatDelay;
    if (!repeatThread_.joinable()) repeatThread_ = std::thread([this] { AutoRepeatLoop(); });
  }
  repeatSignal_.notify_all();
}

void Injector::CancelAutoRepeat(std::unique_lock<std::mutex>& lock) {
  repeatBatch_.clear();
  repeatSignal_.notify_all();
  repeatSignal_.wait(lock, [this] { return !roundRunning_; });
}

void Injector::StopAutoRepeat() {
  {
    std::unique_lock lock(repeatMutex_);
    CancelAutoRepeat(lock);
    if (!repeatThread_.joinable()) return;
    quit_ = true;
  }
  repeatSignal_.notify_all();
  repeatThread_.join();
  // A later KeyDown starts the thread again.
  std::lock_guard lock(repeatMutex_);
  quit_ = false;
}

void Injector::AutoRepeatLoop() {
  std::unique_lock lock(repeatMutex_);
  while (!quit_) {
    if (repeatBatch_.empty()) {
      repeatSignal_.wait(lock);
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < nextRepeat_) {
      repeatSignal_.wait_until(lock, nextRepeat_);
      continue;
    }
    // Keep the cadence, but after a stall carry on from now rather than
    // sending the missed repeats in a burst.
    nextRepeat_ += kRepeatInterval;
    if (nextRepeat_ <= now) nextRepeat_ = now + kRepeatInterval;
    const std::vector<InputRecord> batch = repeatBatch_;
    roundRunning_ = true;
    lock.unlock();
    AttachToForeground();
    Send(batch, true);
    DetachFromForeground();
    lock.lock();
    roundRunning_ = false;
    repeatSignal_.notify_all();
  }
}

void Injector::Media(std::uint8_t action) {
  AttachToForeground();
  // Detached on every way out, the unknown action's exception included.
  struct Detach {
    Injector& injector;
    ~Detach() { injector.DetachFromForeground(); }
  } detach{*this};
  std::uint16_t vk = MediaVirtualKey(action);
  const std::uint16_t remapped = RemapForForeground(vk, ForegroundTitle());
  if (remapped != vk) {
    vk = remapped;
    Log() << "[Media] Douyin foreground: NEXT/PREVIOUS remapped to " << VirtualKeyName(vk) << " (0x" << std::hex << vk
          << std::dec << ")";
  }
  const InputRecord press[] = {Key(vk, false), Key(vk, true)};
  Send(press);
}

void Injector::SetClipboardText(const std::uint8_t* utf8, std::size_t size) {
  if (size == 0) return;
  Log() << ClipboardLogLine(utf8, size);
  PutClipboardText(ClipboardText(utf8, size));
}

void Injector::SystemControl(std::uint8_t page, std::uint8_t usage) {
  Log() << "[System] control request: page=0x" << std::hex << unsigned{page} << " usage=0x" << unsigned{usage}
        << std::dec;
  if (page != kGenericDesktopPage) {
    Log() << "[System] Unsupported HID page: " << unsigned{page};
    return;
  }
  const SystemUsage* row = FindSystemUsage(usage);
  if (!row) {
    Log() << "[System] Unsupported usage: 0x" << std::hex << unsigned{usage} << std::dec;
    return;
  }
  if (row->needsShutdownPrivilege && !PrepareSystemAction(row->action)) return;
  Log() << row->before;
  if (!row->failure) return;
  if (const auto error = PerformSystemAction(row->action)) Log() << row->failure << *error;
}

void Injector::BrightnessStep(bool up) {
  const char* direction = up ? "UP" : "DOWN";
  const std::string means = StepMonitorBrightness(up);
  if (!means.empty()) {
    Log() << "[Brightness] Step " << direction << " via " << means;
    return;
  }
  const std::uint16_t scan = up ? kBrightnessUpScan : kBrightnessDownScan;
  const InputRecord press[] = {KeyRecord{0, false, true, scan}, KeyRecord{0, true, true, scan}};
  AttachToForeground();
  Send(press);
  DetachFromForeground();
  Log() << "[Brightness] Step " << direction << " scan=0x" << std::hex << scan << std::dec << " (SendInput fallback)";
}

}  // namespace vandrel::InputManager
