// The tray program: the toolkit's application object, which creates every
// long-lived object in order, feeds the window and owns exit and restart.
#pragma once

#include <wx/app.h>

#include <atomic>
#include <memory>

#include "app/AppCore.h"
#include "app/Options.h"
#include "app/SingleInstance.h"
#include "app/UpdateCheckThread.h"
#include "net/Server.h"

class wxCloseEvent;

namespace vandrel {

class wxMain;

class VandrelApp final : public wxApp, public Server::ConnectionListener {
 public:
  explicit VandrelApp(Options options);
  ~VandrelApp() override;

  bool OnInit() override;
  /// Drains queued input, saves the settings, closes the log and ends the process.
  [[noreturn]] void Exit() override;
  /// Starts a new instance of this program with the same options, then exits.
  [[noreturn]] void Restart();

  void OnDeviceConnected(std::string deviceName) override;
  void OnDeviceDisconnected(std::string deviceName) override;
  void OnStatus(std::string status) override;

 private:
  void OnCloseWindow(wxCloseEvent& event);
  void RefreshDevices();
  // The update's dialogs, on the GUI thread.
  void PromptUpdate(const update::UpdateInfo& info);
  void StartUpdateDownload(const update::UpdateInfo& info);
  void OpenReleasePage(const std::string& url);

  AppCore core_;
  std::atomic<bool> running_{true};
  std::atomic<bool> started_{false};
  wxMain* main_ = nullptr;
  std::unique_ptr<SingleInstance> instanceLock_;
  UpdateCheck updateCheck_;
};

/// Runs the tray program; returns the exit code when it did not start.
int RunTrayProgram(const Options& options, int argc, char** argv);

}  // namespace vandrel
