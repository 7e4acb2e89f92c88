// What the window tests share: the wxWidgets application set up by the test
// main, a frame that records its message boxes, and event helpers.
#pragma once

#include <gtest/gtest.h>
#include <wx/event.h>
#include <wx/image.h>
#include <wx/window.h>

#include <memory>
#include <string>
#include <vector>

#include "gui/wxMain.h"
#include "protocol/DeviceInfo.h"

namespace vandrel::testing {

/// True once the test main has opened the display and started wxWidgets.
bool GuiReady();
/// Why the window tests are skipped when GuiReady() is false.
const std::string& GuiSkipReason();

/// Runs the calls queued with CallAfter (the log sink's) and deletes the
/// windows waiting for it, without running the event loop or its timers.
void ProcessPendingEvents();

/// Sends `event` to `window` as if its control had fired it; command events
/// travel up to the frame.
inline bool Fire(wxWindow* window, wxEvent& event) {
  event.SetEventObject(window);
  return window->GetEventHandler()->ProcessEvent(event);
}

/// A phone as the device list shows it; `isWifi` 0 is a USB one.
inline DeviceInfo Device(const char* address, const char* name, const char* maker, const char* model, int isWifi) {
  DeviceInfo device;
  device.address = address;
  device.name = name;
  device.manufacturer = maker;
  device.model = model;
  device.isWifi = isWifi;
  return device;
}

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!GuiReady()) GTEST_SKIP() << GuiSkipReason();
  }
};

/// The real window, with the confirmation boxes recorded instead of shown.
class TestFrame : public wxMain {
 public:
  using wxMain::wxMain;
  std::vector<std::string> messages;

 protected:
  void ShowMessage(const wxString& text) override { messages.push_back(text.utf8_string()); }
};

struct FrameDeleter {
  void operator()(wxMain* frame) const {
    frame->Destroy();
    ProcessPendingEvents();
  }
};
using FramePtr = std::unique_ptr<TestFrame, FrameDeleter>;

}  // namespace vandrel::testing
