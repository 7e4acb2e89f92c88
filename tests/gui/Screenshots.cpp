// `vandrel_gui_tests --screenshots DIR`: the README's pictures of the three
// pages, filled with made-up devices, a pairing code and a few log lines.
#include <wx/app.h>
#include <wx/image.h>
#include <wx/notebook.h>
#include <wx/utils.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "FakeAutoStart.h"
#include "GuiTest.h"
#include "TempDir.h"
#include "gui/wxDeviceList.h"
#include "infra/Logger.h"
#include "infra/Settings.h"
// Last: Xlib defines macros (Bool, Status, None) that clash with names above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace vandrel::testing {
namespace {

// Lets the X server map and paint the window; a picture needs no precision.
void Settle() {
  for (int i = 0; i < 20; ++i) {
    wxTheApp->Yield(true);
    wxMilliSleep(25);
  }
}

// The screen under the window, read from the X server: with no compositor
// that is exactly what the window painted. (wxScreenDC under GTK 3 hands back
// a stale picture.)
bool Capture(wxWindow* window, const std::filesystem::path& file) {
  window->Update();
  Settle();
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  const wxRect area(window->GetScreenPosition(), window->GetSize());
  XImage* shot = XGetImage(display, DefaultRootWindow(display), area.x, area.y, static_cast<unsigned>(area.width),
                           static_cast<unsigned>(area.height), AllPlanes, ZPixmap);
  bool saved = false;
  if (shot) {
    wxImage picture(area.width, area.height);
    for (int y = 0; y < area.height; ++y) {
      for (int x = 0; x < area.width; ++x) {
        const unsigned long pixel = XGetPixel(shot, x, y);
        // A 24-bit TrueColor screen (Xvfb's -screen ...x24): 8 bits a channel.
        picture.SetRGB(x, y, static_cast<unsigned char>((pixel & shot->red_mask) >> 16),
                       static_cast<unsigned char>((pixel & shot->green_mask) >> 8),
                       static_cast<unsigned char>(pixel & shot->blue_mask));
      }
    }
    XDestroyImage(shot);
    saved = picture.SaveFile(wxString::FromUTF8(file.string()), wxBITMAP_TYPE_PNG);
  }
  XCloseDisplay(display);
  return saved;
}

}  // namespace

int WriteScreenshots(const std::string& folder) {
  const std::filesystem::path out(folder);
  std::filesystem::create_directories(out);
  TempDir dir;
  Settings settings([&dir] { return dir.File("settings.ini"); }, std::make_shared<FakeAutoStart>());
  settings.SetConnectionPassword("hunter2");

  auto* frame = new wxMain(&settings);
  frame->SetConnectionInfo("DESK-7", "192.168.1.20", "6969");
  frame->GetDeviceList()->SetDevices({Device("192.168.1.31", "Ana's Pixel", "Google", "Pixel 8", 2),
                                      Device("usb:R58M40", "Galaxy Tab", "samsung", "SM-X200", 0)});
  frame->SetBleStatus("BLE: Advertising");
  frame->SetInputReach("X11 (XTest)");
  frame->Move(0, 0);
  frame->Show();

  wxNotebook* pages = frame->GetNotebook();
  bool ok = true;
  const char* const names[] = {"status.png", "settings.png", "log.png"};
  for (int page = 0; page < 3; ++page) {
    pages->SetSelection(static_cast<std::size_t>(page));
    if (page == 2) {
      Settle();
      // Lines the program really writes, as a phone connects.
      Log() << "[MDNS] Started, service: _vandrel, host: DESK-7, ip: 192.168.1.20, port: 6969";
      Log() << "[SERVER] UDP discovery started (port 6970, event-driven)";
      Log() << "[SERVER] Started";
      Log() << "[SERVER] Device connected: 192.168.1.31:40112";
      Log() << "[CONNECTION] Sending AUTH_REQUEST (nonce=5f1c09a2e47b3d60)";
      Log() << "[CONNECTION] Authentication successful";
      Log() << "[INPUT_QUEUE] Processing: MOVE dx=-3 dy=2 seq=0";
    }
    const auto file = out / names[page];
    if (Capture(frame, file)) {
      std::printf("wrote %s\n", file.string().c_str());
    } else {
      std::fprintf(stderr, "could not capture %s\n", file.string().c_str());
      ok = false;
    }
  }
  frame->Destroy();
  ProcessPendingEvents();
  return ok ? 0 : 1;
}

}  // namespace vandrel::testing
