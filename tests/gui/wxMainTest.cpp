// The main window: its pages, connection info, preferences, pump timer and
// Log page.
#include <wx/checkbox.h>
#include <wx/listctrl.h>
#include <wx/notebook.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "FakeAutoStart.h"
#include "GuiTest.h"
#include "LogCapture.h"
#include "TempDir.h"
#include "infra/Logger.h"
#include "infra/Settings.h"
#include "unit/gui/ZbarDecode.h"

namespace vandrel::testing {
namespace {

class MainWindowTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    autoStart_ = std::make_shared<FakeAutoStart>();
    settings_ = std::make_unique<Settings>([this] { return dir_.File("settings.ini"); }, autoStart_);
  }
  void MakeFrame() { frame_.reset(new TestFrame(settings_.get())); }
  template <typename T>
  T* Find(int id) {
    return wxDynamicCast(frame_->FindWindow(id), T);
  }
  wxString Label(int id) { return Find<wxStaticText>(id)->GetLabelText(); }

  // One pump timer tick, without waiting for the real timer.
  void Tick(int count = 1) {
    wxTimer timer(frame_.get(), wxMain::kPumpTimerId);
    for (int i = 0; i < count; ++i) {
      wxTimerEvent event(timer);
      frame_->GetEventHandler()->ProcessEvent(event);
    }
  }
  void Check(int id, bool value) {
    Find<wxCheckBox>(id)->SetValue(value);
    wxCommandEvent event(wxEVT_CHECKBOX, id);
    event.SetInt(value ? 1 : 0);
    Fire(Find<wxCheckBox>(id), event);
  }
  void SetPassword(const std::string& utf8) {
    Find<wxTextCtrl>(wxMain::kPasswordId)->SetValue(wxString::FromUTF8(utf8));
    wxCommandEvent click(wxEVT_BUTTON, wxMain::kSetPasswordId);
    Fire(frame_->FindWindow(wxMain::kSetPasswordId), click);
  }

  TempDir dir_;
  std::shared_ptr<FakeAutoStart> autoStart_;
  std::unique_ptr<Settings> settings_;
  FramePtr frame_;
};

TEST_F(MainWindowTest, StartsHiddenAsAFixedFrameWithThreePages) {
  MakeFrame();
  EXPECT_FALSE(frame_->IsShown());
  EXPECT_EQ(frame_->GetSize(), wxSize(500, 450));
  EXPECT_FALSE(frame_->HasFlag(wxRESIZE_BORDER) || frame_->HasFlag(wxMAXIMIZE_BOX));
  wxNotebook* pages = frame_->GetNotebook();
  ASSERT_EQ(pages->GetPageCount(), 3u);
  EXPECT_EQ(pages->GetPageText(0) + "," + pages->GetPageText(1) + "," + pages->GetPageText(2), "Status,Settings,Log");
  EXPECT_EQ(pages->GetSelection(), 0);
  EXPECT_EQ(frame_->GetBleLabel()->GetLabelText(), "BLE: Off");
}

TEST_F(MainWindowTest, ConnectionInfoFillsTheLabelsAndAScannableCode) {
  MakeFrame();
  frame_->SetConnectionInfo("B\xC3\xBCro", "192.168.1.20", "6969");
  EXPECT_EQ(Label(wxMain::kHostLabelId), wxString::FromUTF8("B\xC3\xBCro"));
  EXPECT_EQ(Label(wxMain::kIpLabelId), "192.168.1.20");
  frame_->SetConnectionInfo("DESK", "192.168.1.20", "6969");
  const wxBitmap code = frame_->GetQrBitmap()->GetBitmap();
  ASSERT_TRUE(code.IsOk());
  EXPECT_EQ(code.GetSize(), wxSize(90, 90));

  if (!HaveZbarImg()) GTEST_SKIP() << "zbarimg not installed (package zbar-tools)";
  // On a white margin: the quiet zone a scanner needs, which the window gives.
  wxImage framed(122, 122);
  framed.SetRGB(wxRect(framed.GetSize()), 255, 255, 255);
  framed.Paste(code.ConvertToImage(), 16, 16);
  const std::string path = dir_.File("code.png");
  ASSERT_TRUE(framed.SaveFile(wxString::FromUTF8(path), wxBITMAP_TYPE_PNG));
  EXPECT_EQ(DecodeQrFile(path), "DESK|192.168.1.20:6969");
}

TEST_F(MainWindowTest, BoldLabelsAreNotCutShortOnceShown) {
  // GTK measured the bold labels in the plain font while the window was
  // hidden; the pages not on top are never laid out again by themselves.
  MakeFrame();
  frame_->SetConnectionInfo("Front desk PC", "192.168.100.200", "6969");
  frame_->SetBleStatus("BLE: Advertising to nearby phones");
  frame_->SetInputReach("XWayland (XTest): X11 windows only");
  frame_->Show();
  EXPECT_EQ(Label(wxMain::kInputLabelId), "XWayland (XTest): X11 windows only");
  const wxWindowList& settingsPage = frame_->GetNotebook()->GetPage(1)->GetChildren();
  const auto version = std::find_if(settingsPage.begin(), settingsPage.end(),
                                    [](wxWindow* window) { return window->GetLabel().StartsWith("Vandrel v"); });
  ASSERT_NE(version, settingsPage.end());
  for (wxWindow* label : {frame_->FindWindow(wxMain::kHostLabelId), frame_->FindWindow(wxMain::kIpLabelId),
                          frame_->FindWindow(wxMain::kInputLabelId), static_cast<wxWindow*>(frame_->GetBleLabel()),
                          *version}) {
    EXPECT_GE(label->GetSize().x, label->GetTextExtent(label->GetLabel()).x) << label->GetLabel();
  }
}

TEST_F(MainWindowTest, PreferencesShowTheSettingsAndChangeThem) {
  autoStart_->userEntry = true;
  settings_->SetMinimizeToTray(false);
  settings_->SetConnectionPassword("old");
  MakeFrame();
  EXPECT_TRUE(Find<wxCheckBox>(wxMain::kRunAtStartupId)->GetValue());
  EXPECT_FALSE(Find<wxCheckBox>(wxMain::kMinimizeToTrayId)->GetValue());
  EXPECT_EQ(Find<wxTextCtrl>(wxMain::kPasswordId)->GetValue(), "old");

  Check(wxMain::kRunAtStartupId, false);
  EXPECT_FALSE(autoStart_->userEntry);
  Check(wxMain::kRunAtStartupId, true);
  EXPECT_TRUE(autoStart_->userEntry);
  EXPECT_TRUE(settings_->GetRunAtStartup());
  Check(wxMain::kMinimizeToTrayId, true);
  EXPECT_NE(ReadBinary(dir_.File("settings.ini")).find("MinimizeToTray=true"), std::string::npos);

  SetPassword("p\xC3\xA4ss");
  EXPECT_EQ(settings_->GetConnectionPassword(), "p\xC3\xA4ss");
  SetPassword("");
  EXPECT_EQ(settings_->GetConnectionPassword(), "");
  EXPECT_EQ(frame_->messages, (std::vector<std::string>{"Connection password set. New connections will require it.",
                                                        "Connection password removed. Any device can connect."}));
}

TEST_F(MainWindowTest, MinimisingHidesTheWindowUnlessItGoesToTheTaskbar) {
  settings_->SetMinimizeToTray(false);
  MakeFrame();
  frame_->Show();
  wxIconizeEvent restore(frame_->GetId(), false);
  wxIconizeEvent minimise(frame_->GetId(), true);
  frame_->GetEventHandler()->ProcessEvent(restore);
  EXPECT_TRUE(frame_->IsShown());
  frame_->GetEventHandler()->ProcessEvent(minimise);
  EXPECT_FALSE(frame_->IsShown());

  settings_->SetMinimizeToTray(true);
  frame_->Show();
  frame_->GetEventHandler()->ProcessEvent(minimise);
  EXPECT_TRUE(frame_->IsShown());
}

TEST_F(MainWindowTest, PumpFailuresAreLoggedAndTheStatusLineIsReadEveryFifthTick) {
  MakeFrame();
  LogCapture log;  // after the frame: it takes the line sink over
  int pumps = 0;
  int reads = 0;
  std::string status = "BLE: Advertising";
  frame_->StartGuiPumpTimer(
      [&] {
        if (++pumps == 1) throw std::runtime_error("adapter gone");
        if (pumps == 2) throw 42;
      },
      [&] {
        if (++reads == 2) throw std::runtime_error("no status");
        return status;
      });
  EXPECT_TRUE(log.Contains("[GUI] StartGuiPumpTimer started (200ms)"));

  Tick(4);
  EXPECT_EQ(pumps, 4);
  EXPECT_EQ(reads, 0);
  EXPECT_TRUE(log.Contains("[GUI] bleGuiPump failed (std): adapter gone"));
  EXPECT_TRUE(log.Contains("[GUI] bleGuiPump failed (unknown)"));
  Tick();
  EXPECT_EQ(frame_->GetBleLabel()->GetLabelText(), "BLE: Advertising");
  status = "BLE: Connected";
  Tick(5);
  EXPECT_TRUE(log.Contains("[GUI] bleStatusReader failed (std): no status"));
  EXPECT_EQ(frame_->GetBleLabel()->GetLabelText(), "BLE: Advertising");
  Tick(5);
  EXPECT_EQ(frame_->GetBleLabel()->GetLabelText(), "BLE: Connected");
  EXPECT_EQ(pumps, 15);
  EXPECT_EQ(reads, 3);

  // A second start replaces both callables.
  int newPumps = 0;
  frame_->StartGuiPumpTimer([&] { ++newPumps; }, nullptr);
  Tick(5);
  EXPECT_EQ(newPumps, 5);
  EXPECT_EQ(pumps, 15);
}

TEST_F(MainWindowTest, LogLinesArriveOnTopOnlyWhileTheLogPageIsOnScreen) {
  MakeFrame();
  wxListCtrl* lines = frame_->GetLogList();
  frame_->Show();
  frame_->GetNotebook()->SetSelection(2);
  Log() << "first line";
  std::thread([] { Log() << "from a worker: \xC3\xA9t\xC3\xA9"; }).join();
  ProcessPendingEvents();
  ASSERT_EQ(lines->GetItemCount(), 2);
  EXPECT_EQ(lines->GetItemText(0, 1), wxString::FromUTF8("from a worker: \xC3\xA9t\xC3\xA9"));
  EXPECT_EQ(lines->GetItemText(1, 1), "first line");
  EXPECT_FALSE(lines->GetItemText(0, 0).empty());

  // The page is looked at when the line is inserted, on the GUI thread.
  frame_->GetNotebook()->SetSelection(0);
  Log() << "while the status page is up";
  ProcessPendingEvents();
  frame_->GetNotebook()->SetSelection(2);
  frame_->Hide();
  Log() << "while the window is hidden";
  ProcessPendingEvents();
  EXPECT_EQ(lines->GetItemCount(), 2);

  // Lines queued just before the window goes, and after, reach nothing.
  frame_->Show();
  Log() << "queued before the window closes";
  frame_.reset();
  Log() << "after the window closed";
  ProcessPendingEvents();
}

}  // namespace
}  // namespace vandrel::testing
