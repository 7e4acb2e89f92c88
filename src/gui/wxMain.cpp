#include "gui/wxMain.h"

#include <wx/msgdlg.h>
#include <wx/notebook.h>
#include <wx/panel.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <exception>
#include <utility>

#include "gui/Artwork.h"
#include "gui/wxDeviceList.h"
#include "gui/wxMTaskbar.h"
#include "infra/Logger.h"
#include "infra/Settings.h"

namespace vandrel {
namespace {

constexpr int kPumpIntervalMs = 200;
// Five pump ticks: the BLE line is read once a second.
constexpr int kTicksPerStatusRead = 5;
constexpr int kQrSide = 90;

}  // namespace

wxMain::wxMain(Settings* settings)
    : wxFrame(nullptr, wxID_ANY, "Vandrel", wxDefaultPosition, wxSize(500, 450),
              wxCAPTION | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxCLOSE_BOX | wxCLIP_CHILDREN),
      settings_(settings) {
  // Equal minimum and maximum sizes tell window managers to offer no maximise.
  SetSizeHints(GetSize(), GetSize());
  // The frame cannot be resized; as its only child the notebook fills it.
  notebook_ = new wxNotebook(this, wxID_ANY, wxPoint(10, 10), wxSize(477, 405), wxNB_TOP);

  const wxIcon icon = MakeAppIcon();
  SetIcon(icon);
  taskbar_ = new wxMTaskbar(this);
  taskbar_->SetIcon(icon, "Vandrel");

  BuildStatusPage(AddPage("Status", true));
  BuildSettingsPage(AddPage("Settings", false));
  BuildLogPage(AddPage("Log", false));
  InstallLogSink();

  Bind(wxEVT_TIMER, &wxMain::OnPumpTimer, this, kPumpTimerId);
  Bind(wxEVT_CHECKBOX, &wxMain::OnRunAtStartup, this, kRunAtStartupId);
  Bind(wxEVT_CHECKBOX, &wxMain::OnMinimizeToTray, this, kMinimizeToTrayId);
  Bind(wxEVT_BUTTON, &wxMain::OnSetPassword, this, kSetPasswordId);
  Bind(wxEVT_ICONIZE, &wxMain::OnIconize, this);
  Bind(wxEVT_SHOW, &wxMain::OnShow, this);
}

wxMain::~wxMain() {
  if (pumpTimer_) {
    pumpTimer_->Stop();
    delete pumpTimer_;
    pumpTimer_ = nullptr;
  }
  if (taskbar_) {
    taskbar_->RemoveIcon();
    taskbar_->Destroy();
    taskbar_ = nullptr;
  }
  RemoveLogSink();
}

void wxMain::SetConnectionInfo(std::string name, std::string ip, std::string port) {
  hostLabel_->SetLabelText(wxString::FromUTF8(name));
  ipLabel_->SetLabelText(wxString::FromUTF8(ip));
  ip_ = std::move(ip);
  port_ = std::move(port);

  wxBitmap qr;
  try {
    qr = MakeQrBitmap(name + "|" + ip_ + ":" + port_, wxSize(kQrSide, kQrSide));
  } catch (const std::exception& e) {
    // Too long for any QR code: the labels still tell the user what to type.
    Log() << "[GUI] QR code failed: " << e.what();
  }
  qrBitmap_->SetBitmap(qr);
  // The labels and the code changed size: centre them again.
  statusPage_->Layout();
  qrBitmap_->Refresh();
}

void wxMain::SetBleStatus(const std::string& text) { ApplyBleText(wxString::FromUTF8(text)); }

void wxMain::SetInputReach(const std::string& text) {
  inputLabel_->SetLabelText(wxString::FromUTF8(text));
  statusPage_->Layout();
}

void wxMain::ApplyBleText(const wxString& text) {
  bleLabel_->SetLabelText(text);
  statusPage_->Layout();
}

void wxMain::SetExitCallback(std::function<void()> callback) { taskbar_->SetExitCallback(std::move(callback)); }

void wxMain::SetRestartCallback(std::function<void()> callback) {
  taskbar_->SetRestartCallback(std::move(callback));
}

void wxMain::StartGuiPumpTimer(std::function<void()> bleGuiPump, std::function<std::string()> bleStatusReader) {
  pump_ = std::move(bleGuiPump);
  statusReader_ = std::move(bleStatusReader);
  if (!pumpTimer_) pumpTimer_ = new wxTimer(this, kPumpTimerId);
  pumpTimer_->Start(kPumpIntervalMs, wxTIMER_CONTINUOUS);
  Log() << "[GUI] StartGuiPumpTimer started (200ms)";
}

void wxMain::OnPumpTimer(wxTimerEvent&) {
  // A failing callable costs its own tick only; the timer goes on.
  if (pump_) {
    try {
      pump_();
    } catch (const std::exception& e) {
      Log() << "[GUI] bleGuiPump failed (std): " << e.what();
    } catch (...) {
      Log() << "[GUI] bleGuiPump failed (unknown)";
    }
  }
  if (++tick_ < kTicksPerStatusRead) return;
  tick_ = 0;
  if (!statusReader_) return;
  try {
    const wxString text = wxString::FromUTF8(statusReader_());
    // Setting an unchanged label would still relayout and repaint the page.
    if (bleLabel_->GetLabelText() != text) ApplyBleText(text);
  } catch (const std::exception& e) {
    Log() << "[GUI] bleStatusReader failed (std): " << e.what();
  } catch (...) {
    Log() << "[GUI] bleStatusReader failed (unknown)";
  }
}

void wxMain::OnRunAtStartup(wxCommandEvent& event) {
  if (settings_) settings_->SetRunAtStartup(event.IsChecked());
}

void wxMain::OnMinimizeToTray(wxCommandEvent& event) {
  if (settings_) settings_->SetMinimizeToTray(event.IsChecked());
}

void wxMain::OnSetPassword(wxCommandEvent&) {
  auto* field = wxDynamicCast(FindWindow(kPasswordId), wxTextCtrl);
  if (!field || !settings_) return;
  const std::string password = field->GetValue().utf8_string();
  settings_->SetConnectionPassword(password);
  ShowMessage(password.empty() ? "Connection password removed. Any device can connect."
                               : "Connection password set. New connections will require it.");
}

void wxMain::ShowMessage(const wxString& text) {
  wxMessageBox(text, "Vandrel", wxOK | wxICON_INFORMATION, nullptr);
}

void wxMain::OnShow(wxShowEvent& event) {
  // GTK measures a label in a font of its own (the bold ones) only once the
  // window is realised, on its first showing: a layout made before would cut
  // those labels short.
  if (event.IsShown()) RefitPages();
  event.Skip();
}

void wxMain::OnIconize(wxIconizeEvent& event) {
  // Only the minimising: a restore must not hide the window it brings back.
  if (event.IsIconized() && settings_ && !settings_->GetMinimizeToTray()) Hide();
  event.Skip();
}

}  // namespace vandrel
