// The tray icon: a double click brings the window back, its menu restarts or
// ends the program.
#pragma once

#include <wx/frame.h>
#include <wx/taskbar.h>
#include <wx/weakref.h>

#include <functional>

namespace vandrel {

class wxMTaskbar : public wxTaskBarIcon {
 public:
  static constexpr int kRestartId = 20001;

  /// `frame` may be null: a double click then does nothing.
  explicit wxMTaskbar(wxFrame* frame);

  void SetExitCallback(std::function<void()> callback) { exit_ = std::move(callback); }
  void SetRestartCallback(std::function<void()> callback) { restart_ = std::move(callback); }

  /// A new menu for every click: Restart, a separator, Exit. The caller owns it.
  /// Public so that a test can look at the menu without clicking the tray.
  wxMenu* CreatePopupMenu() override;

 private:
  void OnLeftDoubleClick(wxTaskBarIconEvent& event);
  void OnRestart(wxCommandEvent& event);
  void OnExit(wxCommandEvent& event);

  // The frame may go first while the icon waits for its delayed deletion.
  wxWeakRef<wxFrame> frame_;
  std::function<void()> exit_;
  std::function<void()> restart_;
};

}  // namespace vandrel
