// The three pages of the main window and the Log page's line sink.
#include <wx/app.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/datetime.h>
#include <wx/listctrl.h>
#include <wx/notebook.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/thread.h>
#include <wx/weakref.h>

#include <string>
#include <utility>

#include "Version.h"
#include "gui/wxDeviceList.h"
#include "gui/wxMain.h"
#include "infra/Logger.h"
#include "infra/Settings.h"

namespace vandrel {
namespace {

// A long session with the Log page open must not grow without bound.
constexpr int kMaxLogRows = 2000;

wxStaticText* TextIn(const wxFont& font, wxWindow* parent, wxWindowID id, const wxString& text) {
  auto* label = new wxStaticText(parent, id, text);
  label->SetFont(font);
  return label;
}

wxStaticText* BoldText(wxWindow* parent, wxWindowID id, const wxString& text) {
  return TextIn(wxFont(wxFontInfo(10).Bold()), parent, id, text);
}

// Between the text and background colours: quieter than the text, yet
// readable on light and dark themes alike.
wxColour Muted(const wxWindow* window) {
  const wxColour fg = window->GetForegroundColour();
  const wxColour bg = window->GetBackgroundColour();
  const auto mix = [](unsigned char a, unsigned char b) {
    return static_cast<unsigned char>((a * 3 + b * 2) / 5);
  };
  return wxColour(mix(fg.Red(), bg.Red()), mix(fg.Green(), bg.Green()), mix(fg.Blue(), bg.Blue()));
}

void ForgetBestSizes(wxWindow* window) {
  window->InvalidateBestSize();
  for (wxWindow* child : window->GetChildren()) ForgetBestSizes(child);
}

}  // namespace

// Touched on the GUI thread only; the logging threads just pass it along.
struct wxMain::LogTarget {
  wxWeakRef<wxListCtrl> list;

  void Insert(const wxString& time, const std::string& line) {
    wxListCtrl* view = list.get();
    // Lines are for watching, not keeping: off screen they are dropped.
    if (!view || !wxIsMainThread() || !view->IsShownOnScreen()) return;
    view->InsertItem(0, time);
    view->SetItem(0, 1, wxString::FromUTF8(line));
    if (view->GetItemCount() > kMaxLogRows) view->DeleteItem(view->GetItemCount() - 1);
  }
};

wxPanel* wxMain::AddPage(const wxString& title, bool select) {
  auto* page = new wxPanel(notebook_, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER);
  notebook_->AddPage(page, title, select);
  return page;
}

void wxMain::BuildStatusPage(wxPanel* panel) {
  statusPage_ = panel;
  auto* page = new wxBoxSizer(wxVERTICAL);

  auto* pcBox = new wxStaticBoxSizer(wxVERTICAL, statusPage_, "This PC");
  pcBox->SetMinSize(wxSize(-1, 160));
  wxWindow* pc = pcBox->GetStaticBox();
  auto* row = new wxBoxSizer(wxHORIZONTAL);

  auto* qrColumn = new wxBoxSizer(wxVERTICAL);
  qrBitmap_ = new wxStaticBitmap(pc, wxID_ANY, wxBitmap());
  qrColumn->Add(qrBitmap_, 0, wxALIGN_CENTER_HORIZONTAL);
  auto* hint = TextIn(wxFont(wxFontInfo(9)), pc, wxID_ANY, "Scan the QR to connect automatically");
  qrColumn->Add(hint, 0, wxALIGN_CENTER_HORIZONTAL | wxTOP, 12);
  row->Add(qrColumn, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 10);
  row->AddStretchSpacer(1);

  auto* infoColumn = new wxBoxSizer(wxVERTICAL);
  auto* nameRow = new wxBoxSizer(wxHORIZONTAL);
  nameRow->Add(new wxStaticText(pc, wxID_ANY, "Name: "), 0, wxALIGN_CENTER_VERTICAL);
  hostLabel_ = BoldText(pc, kHostLabelId, "");
  nameRow->Add(hostLabel_, 0, wxALIGN_CENTER_VERTICAL);
  infoColumn->Add(nameRow, 0, wxALIGN_CENTER_HORIZONTAL);
  auto* ipRow = new wxBoxSizer(wxHORIZONTAL);
  ipRow->Add(new wxStaticText(pc, wxID_ANY, "IP: "), 0, wxALIGN_CENTER_VERTICAL);
  ipLabel_ = BoldText(pc, kIpLabelId, "");
  ipRow->Add(ipLabel_, 0, wxALIGN_CENTER_VERTICAL);
  infoColumn->Add(ipRow, 0, wxALIGN_CENTER_HORIZONTAL | wxTOP, 4);
  row->Add(infoColumn, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 10);

  pcBox->Add(row, 1, wxEXPAND | wxALL, 5);
  // Where the phone's input goes on this desktop, so a user whose windows
  // ignore it can tell why; below the code, where its longest text fits.
  auto* inputRow = new wxBoxSizer(wxHORIZONTAL);
  inputRow->Add(new wxStaticText(pc, wxID_ANY, "Input: "), 0, wxALIGN_CENTER_VERTICAL);
  inputLabel_ = BoldText(pc, kInputLabelId, "");
  inputRow->Add(inputLabel_, 0, wxALIGN_CENTER_VERTICAL);
  pcBox->Add(inputRow, 0, wxALIGN_CENTER_HORIZONTAL | wxLEFT | wxRIGHT | wxBOTTOM, 5);
  page->Add(pcBox, 0, wxEXPAND | wxALL, 5);

  auto* devicesBox = new wxStaticBoxSizer(wxVERTICAL, statusPage_, "Devices");
  deviceList_ = new wxDeviceList(devicesBox->GetStaticBox());
  devicesBox->Add(deviceList_, 1, wxEXPAND | wxALL, 5);
  page->Add(devicesBox, 1, wxEXPAND | wxALL, 5);

  auto* bleBox = new wxStaticBoxSizer(wxVERTICAL, statusPage_, "Bluetooth LE");
  bleLabel_ = BoldText(bleBox->GetStaticBox(), wxID_ANY, "BLE: Off");
  bleBox->Add(bleLabel_, 0, wxALIGN_CENTER_HORIZONTAL | wxALL, 5);
  page->Add(bleBox, 0, wxEXPAND | wxALL, 5);

  statusPage_->SetSizer(page);
  page->Fit(statusPage_);
}

void wxMain::BuildSettingsPage(wxPanel* panel) {
  auto* page = new wxBoxSizer(wxVERTICAL);

  auto* systemBox = new wxStaticBoxSizer(wxVERTICAL, panel, "System");
  wxWindow* system = systemBox->GetStaticBox();
  auto* runAtStartup = new wxCheckBox(system, kRunAtStartupId, "Run at startup");
  runAtStartup->SetValue(settings_ && settings_->IsRunAtStartupRegistered());
  systemBox->Add(runAtStartup, 0, wxTOP, 10);
  auto* minimize = new wxCheckBox(system, kMinimizeToTrayId, "Minimize to taskbar");
  minimize->SetValue(settings_ && settings_->GetMinimizeToTray());
  systemBox->Add(minimize, 0, wxTOP | wxBOTTOM, 5);
  page->Add(systemBox, 0, wxEXPAND | wxALL, 5);

  auto* securityBox = new wxStaticBoxSizer(wxVERTICAL, panel, "Connection security");
  wxWindow* security = securityBox->GetStaticBox();
  securityBox->Add(new wxStaticText(security, wxID_ANY, "Connection password (leave empty to disable):"), 0,
                   wxTOP, 5);
  auto* row = new wxBoxSizer(wxHORIZONTAL);
  const wxString password = settings_ ? wxString::FromUTF8(settings_->GetConnectionPassword()) : wxString();
  auto* field = new wxTextCtrl(security, kPasswordId, password, wxDefaultPosition, wxSize(180, -1), wxTE_PASSWORD);
  row->Add(field, 0, wxALIGN_CENTER_VERTICAL);
  row->Add(new wxButton(security, kSetPasswordId, "Set"), 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 8);
  securityBox->Add(row, 0, wxTOP, 4);
  auto* note = new wxStaticText(security, wxID_ANY, "When set, newly connected phones must enter the password.");
  note->SetForegroundColour(Muted(note));
  securityBox->Add(note, 0, wxTOP, 4);
  page->Add(securityBox, 0, wxEXPAND | wxALL, 5);

  auto* about = new wxBoxSizer(wxVERTICAL);
  about->Add(BoldText(panel, wxID_ANY, wxString("Vandrel v") + kVersion), 0, wxALIGN_CENTER_HORIZONTAL);
  page->Add(about, 0, wxEXPAND | wxTOP, 10);

  panel->SetSizer(page);
  page->Fit(panel);
}

void wxMain::BuildLogPage(wxPanel* panel) {
  auto* page = new wxBoxSizer(wxVERTICAL);
  logList_ = new wxListCtrl(panel, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxLC_REPORT);
  logList_->InsertColumn(0, "Time", wxLIST_FORMAT_LEFT, wxLIST_AUTOSIZE);
  logList_->InsertColumn(1, "Message", wxLIST_FORMAT_LEFT, wxLIST_AUTOSIZE_USEHEADER);
  logList_->SetColumnWidth(1, 380);
  page->Add(logList_, 1, wxEXPAND);
  panel->SetSizer(page);
}

void wxMain::RefitPages() {
  for (std::size_t i = 0; i < notebook_->GetPageCount(); ++i) {
    wxWindow* page = notebook_->GetPage(i);
    ForgetBestSizes(page);
    page->Layout();
  }
}

void wxMain::InstallLogSink() {
  logTarget_ = std::make_shared<LogTarget>();
  logTarget_->list = logList_;
  // Runs on whichever thread logged; the list is reached through the GUI thread.
  SetLogLineSink([target = logTarget_](const std::string& line) {
    wxString time = wxDateTime::Now().Format("%X");
    if (wxAppConsole* app = wxTheApp) {
      app->CallAfter([target, line, time = std::move(time)] { target->Insert(time, line); });
    }
  });
}

void wxMain::RemoveLogSink() {
  SetLogLineSink(nullptr);
  // Clearing here, on the GUI thread, leaves a later release of the target on
  // a logging thread nothing of the list's to untie.
  if (logTarget_) logTarget_->list = nullptr;
}

}  // namespace vandrel
