// The main window: a fixed frame with the Status, Settings and Log pages, the
// tray icon and the GUI pump timer.
#pragma once

#include <wx/frame.h>
#include <wx/timer.h>

#include <functional>
#include <memory>
#include <string>

class wxListCtrl;
class wxNotebook;
class wxPanel;
class wxStaticBitmap;
class wxStaticText;

namespace vandrel {

class Settings;
class wxDeviceList;
class wxMTaskbar;

class wxMain : public wxFrame {
 public:
  // Window ids other code and the tests look controls up by.
  static constexpr int kRunAtStartupId = 1001;
  static constexpr int kMinimizeToTrayId = 1002;
  static constexpr int kPasswordId = 1005;
  static constexpr int kSetPasswordId = 1006;
  static constexpr int kHostLabelId = 1010;
  static constexpr int kIpLabelId = 1011;
  static constexpr int kInputLabelId = 1013;
  static constexpr int kPumpTimerId = 1012;

  /// Builds the frame hidden, with its tray icon. `settings` may be null (no
  /// preferences shown or saved); otherwise it must outlive the frame.
  explicit wxMain(Settings* settings);
  ~wxMain() override;

  /// Shows the host name and address and the pairing QR code of name|ip:port.
  void SetConnectionInfo(std::string name, std::string ip, std::string port);
  void SetBleStatus(const std::string& text);
  void SetInputReach(const std::string& text);
  void SetExitCallback(std::function<void()> callback);
  void SetRestartCallback(std::function<void()> callback);
  /// Every 200 ms calls `bleGuiPump`; once a second refreshes the BLE line from `bleStatusReader`.
  void StartGuiPumpTimer(std::function<void()> bleGuiPump, std::function<std::string()> bleStatusReader);

  wxDeviceList* GetDeviceList() const { return deviceList_; }
  wxMTaskbar* GetTaskbarIcon() const { return taskbar_; }
  wxNotebook* GetNotebook() const { return notebook_; }
  wxStaticBitmap* GetQrBitmap() const { return qrBitmap_; }
  wxStaticText* GetBleLabel() const { return bleLabel_; }
  /// The Log page's list, newest line first.
  wxListCtrl* GetLogList() const { return logList_; }

 protected:
  /// The confirmation after the password button: an information box. Tests
  /// override it to keep the modal dialog away.
  virtual void ShowMessage(const wxString& text);

 private:
  struct LogTarget;

  wxPanel* AddPage(const wxString& title, bool select);
  void BuildStatusPage(wxPanel* page);
  void BuildSettingsPage(wxPanel* page);
  void BuildLogPage(wxPanel* page);
  void RefitPages();
  void InstallLogSink();
  void RemoveLogSink();
  void ApplyBleText(const wxString& text);

  void OnPumpTimer(wxTimerEvent& event);
  void OnRunAtStartup(wxCommandEvent& event);
  void OnMinimizeToTray(wxCommandEvent& event);
  void OnSetPassword(wxCommandEvent& event);
  void OnIconize(wxIconizeEvent& event);
  void OnShow(wxShowEvent& event);

  Settings* settings_;
  wxNotebook* notebook_ = nullptr;
  wxPanel* statusPage_ = nullptr;
  wxStaticText* hostLabel_ = nullptr;
  wxStaticText* ipLabel_ = nullptr;
  wxStaticText* inputLabel_ = nullptr;
  wxStaticBitmap* qrBitmap_ = nullptr;
  wxStaticText* bleLabel_ = nullptr;
  wxListCtrl* logList_ = nullptr;
  wxDeviceList* deviceList_ = nullptr;
  wxMTaskbar* taskbar_ = nullptr;

  std::string ip_;
  std::string port_;

  wxTimer* pumpTimer_ = nullptr;
  std::function<void()> pump_;
  std::function<std::string()> statusReader_;
  int tick_ = 0;

  // The log sink's way to the list: the sink and the calls it queued may outlive the frame.
  std::shared_ptr<LogTarget> logTarget_;
};

}  // namespace vandrel
