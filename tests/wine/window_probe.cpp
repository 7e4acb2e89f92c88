// Reads what the Windows build's windows show, for the Linux tests that drive
// it under wine: wine draws a window's controls into its X window, so the
// controls themselves can only be asked from the Windows side.
// The tray is the shell's part: what it tells a program about clicks on its
// icon, the probe can tell it too, which is steadier under wine than clicks
// on an icon docked in an X tray.
// Usage: vandrel_window_probe tabs TITLE    the tab labels, one a line
//        vandrel_window_probe texts TITLE   its controls: class, tab, text, one a line
//        vandrel_window_probe tray TITLE double|right
//                    a double click or a right click on the tray icon of the
//                    program with a window TITLE (shown or not)
//        vandrel_window_probe menu first|last   picks that item of the open popup menu
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Search {
  std::wstring title;
  bool visibleOnly = true;
  HWND found = nullptr;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<Search*>(data);
  wchar_t text[256] = {};
  ::GetWindowTextW(window, text, 256);
  if ((!search->visibleOnly || ::IsWindowVisible(window)) && search->title == text) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK MatchTabControl(HWND window, LPARAM data) {
  wchar_t name[64] = {};
  ::GetClassNameW(window, name, 64);
  // The toolkit registers the control's class again under a name of its own.
  if (std::wstring(name) == WC_TABCONTROLW || std::wstring(name) == L"_wx_SysTabCtl32") {
    *reinterpret_cast<HWND*>(data) = window;
    return FALSE;
  }
  return TRUE;
}

std::string Utf8(const wchar_t* text);

BOOL CALLBACK PrintText(HWND window, LPARAM) {
  wchar_t name[64] = {};
  wchar_t text[512] = {};
  ::GetClassNameW(window, name, 64);
  ::GetWindowTextW(window, text, 512);
  std::printf("%s\t%s\n", Utf8(name).c_str(), Utf8(text).c_str());
  return TRUE;
}

std::string Utf8(const wchar_t* text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  return out;
}

// The labels live in the other process: TCM_GETITEMW writes through pointers
// that must be valid there.
int PrintTabs(HWND tabs) {
  DWORD pid = 0;
  ::GetWindowThreadProcessId(tabs, &pid);
  HANDLE process = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) return 3;
  constexpr int kChars = 128;
  const SIZE_T size = sizeof(TCITEMW) + kChars * sizeof(wchar_t);
  auto* remote = static_cast<char*>(::VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
  int rc = remote ? 0 : 3;
  const LRESULT count = remote ? ::SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0) : 0;
  for (LRESULT i = 0; i < count && rc == 0; ++i) {
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(TCITEMW));
    item.cchTextMax = kChars;
    std::vector<wchar_t> text(kChars + 1, L'\0');
    SIZE_T moved = 0;
    if (!::WriteProcessMemory(process, remote, &item, sizeof item, &moved) ||
        !::SendMessageW(tabs, TCM_GETITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(remote)) ||
        !::ReadProcessMemory(process, remote + sizeof(TCITEMW), text.data(), kChars * sizeof(wchar_t), &moved)) {
      rc = 4;
      break;
    }
    std::printf("%s\n", Utf8(text.data()).c_str());
  }
  if (remote) ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  ::CloseHandle(process);
  return rc;
}

struct TrayPost {
  DWORD process;
  UINT message;
  LPARAM mouse;
};

// The toolkit's hidden window that receives the icon's notifications is one
// of the program's top-level windows; the others ignore the message.
BOOL CALLBACK PostToProcess(HWND window, LPARAM data) {
  const auto* post = reinterpret_cast<const TrayPost*>(data);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  if (owner == post->process) ::PostMessageW(window, post->message, 0, post->mouse);
  return TRUE;
}

int ClickTray(const std::wstring& title, const std::wstring& click) {
  Search search{title, false};
  ::EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
  if (!search.found || (click != L"double" && click != L"right")) return 1;
  TrayPost post{0, ::RegisterWindowMessageW(L"wxTaskBarIconMessage"), 0};
  ::GetWindowThreadProcessId(search.found, &post.process);
  const std::vector<UINT> mouse = click == L"double"
                                      ? std::vector<UINT>{WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}
                                      : std::vector<UINT>{WM_RBUTTONDOWN, WM_RBUTTONUP};
  for (UINT m : mouse) {
    post.mouse = m;
    ::EnumWindows(PostToProcess, reinterpret_cast<LPARAM>(&post));
  }
  return 0;
}

// The menu's loop reads the keys from its thread's queue.
int PickMenuItem(const std::wstring& which) {
  if (which != L"first" && which != L"last") return 2;
  const WPARAM key = which == L"first" ? VK_HOME : VK_END;
  for (int i = 0; i < 100; ++i) {
    if (HWND menu = ::FindWindowW(L"#32768", nullptr); menu && ::IsWindowVisible(menu)) {
      ::PostMessageW(menu, WM_KEYDOWN, key, 0);
      ::PostMessageW(menu, WM_KEYUP, key, 0);
      ::PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
      ::PostMessageW(menu, WM_KEYUP, VK_RETURN, 0);
      return 0;
    }
    ::Sleep(100);
  }
  std::fprintf(stderr, "no popup menu is open\n");
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc >= 2 ? argv[1] : L"";
  if (command == L"menu" && argc == 3) return PickMenuItem(argv[2]);
  if (command == L"tray" && argc == 4) return ClickTray(argv[2], argv[3]);
  if ((command != L"tabs" && command != L"texts") || argc != 3) {
    std::fprintf(stderr, "usage: vandrel_window_probe tabs|texts TITLE | tray TITLE double|right | menu first|last\n");
    return 2;
  }
  Search search{argv[2]};
  ::EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
  if (!search.found) {
    std::fprintf(stderr, "no visible window titled so\n");
    return 1;
  }
  if (command == L"texts") {
    ::EnumChildWindows(search.found, PrintText, 0);
    std::fflush(stdout);
    return 0;
  }
  HWND tabs = nullptr;
  ::EnumChildWindows(search.found, MatchTabControl, reinterpret_cast<LPARAM>(&tabs));
  if (!tabs) {
    std::fprintf(stderr, "the window has no tab control\n");
    return 1;
  }
  const int rc = PrintTabs(tabs);
  std::fflush(stdout);
  return rc;
}
