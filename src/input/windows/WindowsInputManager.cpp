#include "input/windows/WindowsInputManager.h"

#include <windows.h>

#include <vector>

#include "infra/Logger.h"
#include "infra/TextEncoding.h"
#include "input/windows/WindowsRecords.h"

namespace vandrel::InputManager {
namespace {

// The foreground thread the calling thread is attached to, 0 when none. Per
// thread, as the operations' thread and the auto-repeat thread attach apart.
thread_local DWORD attachedThread = 0;

INPUT ToInput(const KeyRecord& key) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  const DWORD extended = key.extended ? KEYEVENTF_EXTENDEDKEY : 0;
  const DWORD up = key.up ? KEYEVENTF_KEYUP : 0;
  if (key.vk == 0 && key.scan != 0) {
    // Keys with no virtual key (brightness) exist only as scan codes.
    input.ki.wScan = key.scan;
    input.ki.dwFlags = KEYEVENTF_SCANCODE | extended | up;
    return input;
  }
  input.ki.wVk = key.vk;
  input.ki.wScan = static_cast<WORD>(::MapVirtualKeyW(key.vk, MAPVK_VK_TO_VSC));
  input.ki.dwFlags = extended | up;
  return input;
}

INPUT ToInput(const MouseRecord& mouse) {
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi.dx = mouse.dx;
  input.mi.dy = mouse.dy;
  // Negative wheel data travels as its two's complement, as SendInput expects.
  input.mi.mouseData = static_cast<DWORD>(mouse.wheel);
  input.mi.dwFlags = mouse.flags;
  return input;
}

}  // namespace

INPUT ToWin32Input(const InputRecord& record) {
  return std::visit([](const auto& r) { return ToInput(r); }, record);
}

Windows::Windows() : Windows(RealSystemCalls()) {}

Windows::Windows(SystemCalls calls) : calls_(std::move(calls)) {}

Windows::~Windows() { StopAutoRepeat(); }

unsigned Windows::SendBatch(std::span<const InputRecord> batch) {
  if (batch.empty()) return 0;
  std::vector<INPUT> inputs;
  inputs.reserve(batch.size());
  for (const auto& record : batch) inputs.push_back(ToWin32Input(record));
  return ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), static_cast<int>(sizeof(INPUT)));
}

void Windows::AttachToForeground() {
  const HWND foreground = ::GetForegroundWindow();
  if (!foreground) return;
  const DWORD target = ::GetWindowThreadProcessId(foreground, nullptr);
  const DWORD current = ::GetCurrentThreadId();
  if (target == 0 || target == current) return;
  if (::AttachThreadInput(current, target, TRUE)) attachedThread = target;
}

void Windows::DetachFromForeground() {
  if (attachedThread == 0) return;
  ::AttachThreadInput(::GetCurrentThreadId(), attachedThread, FALSE);
  attachedThread = 0;
}

bool Windows::IsControlHeld() { return (::GetAsyncKeyState(VK_CONTROL) & 0x8000) != 0; }

std::string Windows::ForegroundTitle() {
  const HWND foreground = ::GetForegroundWindow();
  if (!foreground) return {};
  const int length = ::GetWindowTextLengthW(foreground);
  if (length <= 0) return {};
  std::wstring title(static_cast<std::size_t>(length) + 1, L'\0');
  // The title may have changed since its length was asked; take what fits.
  const int copied = ::GetWindowTextW(foreground, title.data(), length + 1);
  if (copied <= 0) return {};
  title.resize(static_cast<std::size_t>(copied));
  return WideToUtf8(title);
}

}  // namespace vandrel::InputManager
