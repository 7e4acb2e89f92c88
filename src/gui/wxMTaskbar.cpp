#include "gui/wxMTaskbar.h"

#include <wx/menu.h>

namespace vandrel {

wxMTaskbar::wxMTaskbar(wxFrame* frame) : frame_(frame) {
  Bind(wxEVT_TASKBAR_LEFT_DCLICK, &wxMTaskbar::OnLeftDoubleClick, this);
  Bind(wxEVT_MENU, &wxMTaskbar::OnRestart, this, kRestartId);
  Bind(wxEVT_MENU, &wxMTaskbar::OnExit, this, wxID_EXIT);
}

wxMenu* wxMTaskbar::CreatePopupMenu() {
  auto* menu = new wxMenu;
  menu->Append(kRestartId, "Restart");
  menu->AppendSeparator();
  menu->Append(wxID_EXIT, "Exit");
  return menu;
}

void wxMTaskbar::OnLeftDoubleClick(wxTaskBarIconEvent& event) {
  if (wxFrame* frame = frame_.get()) {
    frame->Iconize(false);
    frame->SetFocus();
    frame->Raise();
    frame->Show(true);
  }
  event.Skip();
}

// A copy runs, so that a callable may replace itself while it runs.
void wxMTaskbar::OnRestart(wxCommandEvent&) {
  if (auto callback = restart_) callback();
}

void wxMTaskbar::OnExit(wxCommandEvent&) {
  if (auto callback = exit_) callback();
}

}  // namespace vandrel
