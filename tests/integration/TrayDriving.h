// Driving a tray program through the desktop as its user does: its tray icon,
// the icon's menu, its window, and the QR codes on the screen.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include <X11/keysym.h>

#include "DesktopSession.h"
#include "TempDir.h"

namespace vandrel::testing {

inline std::string Tail(const std::string& text) {
  return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
}

/// What the QR codes on the whole screen say, one a line.
inline std::string ReadCodesOnScreen(const TempDir& dir) {
  const std::string file = dir.File("screen.png");
  const std::string command =
      "import -window root '" + file + "' >/dev/null 2>&1 && zbarimg --raw -q '" + file + "' 2>/dev/null";
  std::string text;
  if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
    for (char buffer[512]; std::fgets(buffer, sizeof buffer, pipe);) text += buffer;
    ::pclose(pipe);
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

class TrayDrivingTest : public DesktopSessionTest {
 protected:
  /// The tray icon of the program `pid`, or 0.
  virtual Window FindTrayIcon(pid_t pid) { return desktop_->TrayIcon(pid); }

  /// The program's tray icon once the tray has stopped moving it about.
  Window Icon(pid_t pid) {
    Window icon = 0;
    std::optional<XRectangle> last;
    DesktopSession::Wait([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      const auto area = (icon = FindTrayIcon(pid)) ? desktop_->Area(icon) : std::nullopt;
      const bool still = area && last && area->x == last->x && area->y == last->y;
      last = area;
      return still;
    });
    return icon;
  }

  /// Double-clicks the tray icon until the window "Vandrel" is on the screen; returns it.
  Window ShowByTrayIcon(pid_t pid) {
    Window frame = 0;
    // A click meeting another client's grab, or a program not yet reading its events, is lost: a few attempts.
    for (int attempt = 0; attempt < 3 && !frame; ++attempt) {
      desktop_->Click(Icon(pid), 1, 2);
      DesktopSession::Wait([&] { return (frame = desktop_->VisibleWindow(pid, "Vandrel")) != 0; },
                           std::chrono::seconds(10));
    }
    return frame;
  }

  /// Opens the tray icon's menu and picks its first item (Home) or its last (End).
  void ChooseFromTrayMenu(pid_t pid, KeySym item) {
    bool open = false;
    for (int attempt = 0; attempt < 3 && !open; ++attempt) {
      desktop_->Click(Icon(pid), 3);
      open = DesktopSession::Wait([&] { return desktop_->PopupMenu(pid) != 0; }, std::chrono::seconds(10));
    }
    ASSERT_TRUE(open) << "a right click on the tray icon opened no menu";
    ASSERT_TRUE(DesktopSession::Wait([&] { return desktop_->KeyboardGrabbed(); })) << "the menu has no keyboard";
    desktop_->Key(item);
    desktop_->Key(XK_Return);
  }

  /// Focuses `box` and presses Return until `exited` says the process ended.
  template <typename Exited>
  void DismissWithReturn(Window box, Exited exited) {
    // A key sent before the box has the focus goes elsewhere: focus it first, and again if need be.
    for (int attempt = 0; attempt < 3 && !exited(std::chrono::milliseconds(0)); ++attempt) {
      desktop_->Activate(box);
      DesktopSession::Wait([&] { return desktop_->ActiveWindow() == box; }, std::chrono::seconds(10));
      desktop_->Key(XK_Return);
      exited(std::chrono::seconds(10));
    }
  }
};

}  // namespace vandrel::testing
