// The smart media buttons' keys, sent straight to the foreground window with SendInput.
#include <windows.h>

#include <array>

#include "desktop/windows/WindowsDesktop.h"
#include "infra/TextEncoding.h"

namespace vandrel::desktop {
namespace {

INPUT Key(WORD vk, WORD scan, DWORD flags) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = vk;
  input.ki.wScan = scan;
  input.ki.dwFlags = flags;
  return input;
}

}  // namespace

std::optional<ForegroundInfo> WindowsSmartMediaKeys::Foreground() {
  const HWND window = ::GetForegroundWindow();
  if (!window) return std::nullopt;
  ForegroundInfo info;
  if (const int length = ::GetWindowTextLengthW(window); length > 0) {
    std::wstring title(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = ::GetWindowTextW(window, title.data(), length + 1);
    title.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    info.wideTitle.assign(title.begin(), title.end());
  }
  info.process = WideToUtf8(FileNameOf(ImagePathOfWindow(window)));
  return info;
}

std::optional<std::uint16_t> WindowsSmartMediaKeys::LetterKey(char letter) {
  const SHORT key = ::VkKeyScanA(letter);
  if (key == -1) return std::nullopt;
  // The high byte is the shift state, which a media shortcut does not want.
  return static_cast<std::uint16_t>(key & 0xFF);
}

std::uint16_t WindowsSmartMediaKeys::TapKey(std::uint16_t vk) {
  const auto scan = static_cast<WORD>(::MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
  std::array<INPUT, 2> inputs{Key(vk, scan, 0), Key(vk, scan, KEYEVENTF_KEYUP)};
  SendToForeground(inputs);
  return scan;
}

void WindowsSmartMediaKeys::SendAltEnter() {
  std::array<INPUT, 4> inputs{Key(VK_MENU, 0, 0), Key(VK_RETURN, 0, 0), Key(VK_RETURN, 0, KEYEVENTF_KEYUP),
                              Key(VK_MENU, 0, KEYEVENTF_KEYUP)};
  SendToForeground(inputs);
}

void WindowsSmartMediaKeys::SendToForeground(std::span<INPUT> inputs) {
  const HWND window = ::GetForegroundWindow();
  const DWORD target = window ? ::GetWindowThreadProcessId(window, nullptr) : 0;
  if (target == 0) {
    calls_.sendInput(inputs);
    return;
  }
  // Sharing the foreground thread's input state makes the keys land as if typed there.
  const DWORD current = ::GetCurrentThreadId();
  ::AttachThreadInput(current, target, TRUE);
  calls_.sendInput(inputs);
  ::AttachThreadInput(current, target, FALSE);
}

}  // namespace vandrel::desktop
