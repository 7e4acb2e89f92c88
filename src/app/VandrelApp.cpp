#include "app/VandrelApp.h"

#include <wx/log.h>
#include <wx/msgdlg.h>

#include <cstdlib>
#include <thread>

#include "Version.h"
#include "app/Relaunch.h"
#include "app/TerminationSignal.h"
#include "gui/wxDeviceList.h"
#include "gui/wxMain.h"
#include "infra/Logger.h"
#include "infra/Platform.h"
#include "input/PlatformInputManager.h"

namespace vandrel {

VandrelApp::VandrelApp(Options options) : core_(std::move(options)) {}

// Only reached when the toolkit ends without Exit (a failed start-up); the core
// stops what it started.
VandrelApp::~VandrelApp() = default;

bool VandrelApp::OnInit() {
  // SIGINT and SIGTERM take the same exit path as the tray's "Exit"; before
  // start-up is done (a message box may be waiting) there is nothing to save.
  // The waiting thread is detached: the process ends through Exit, never by joining it.
  std::thread([this] {
    const char* reason = WaitForTermination();
    Log() << "[VANDREL] " << reason << " received, exiting";
    if (!started_) std::_Exit(1);
    CallAfter([this] { Exit(); });
  }).detach();

  instanceLock_ = AcquireSingleInstance();
  if (!instanceLock_) {
    wxMessageBox(wxString::FromUTF8("Vandrel 已经在运行中。"), "Vandrel", wxOK | wxICON_INFORMATION);
    return false;
  }
  core_.CreateInput();
  main_ = new wxMain(core_.settings());
  std::string error;
  if (!core_.CreateServer(this, error)) {
    wxMessageBox(wxString::FromUTF8("Vandrel " + error), "Vandrel", wxOK | wxICON_ERROR);
    main_->Destroy();
    main_ = nullptr;
    return false;
  }
  main_->Bind(wxEVT_CLOSE_WINDOW, &VandrelApp::OnCloseWindow, this);
  try {
    const NetworkInfo info = core_.server()->GetNetworkInfo();
    main_->SetConnectionInfo(info.hostname, info.ip, info.port);
  } catch (const std::exception& e) {
    Log() << "[VANDREL] Host name unknown: " << e.what();
  }
  main_->SetInputReach(InputManager::InputReachText());
  main_->SetExitCallback([this] { Exit(); });
  main_->SetRestartCallback([this] { Restart(); });

  core_.Start();
  // What the Bluetooth side really does, not "Advertising" before anything advertises.
  main_->SetBleStatus(core_.server()->GetBleStatusText());
  main_->StartGuiPumpTimer([this] {
    if (core_.server()) core_.server()->PumpBleGuiWork();
  }, [this] {
    return core_.server() ? core_.server()->GetBleStatusText() : std::string("BLE: Off");
  });

  started_ = true;
  // The answer arrives on the check's thread; the prompt belongs to the GUI thread.
  updateCheck_.Start(kVersion, [this](update::UpdateInfo info) {
    CallAfter([this, info = std::move(info)] { PromptUpdate(info); });
  });
  return true;
}

void VandrelApp::OnCloseWindow(wxCloseEvent& event) {
  if (main_) main_->Hide();
  if (event.CanVeto()) event.Veto();
}

void VandrelApp::RefreshDevices() {
  Server* server = core_.server();
  if (!server) return;
  auto devices = server->GetDevices();
  auto status = server->GetBleStatusText();
  CallAfter([this, devices = std::move(devices), status = std::move(status)] {
    if (!main_) return;
    auto* list = main_->GetDeviceList();
    list->SetDevices(devices);
    main_->SetBleStatus(status);
    // What the list now shows, read back from the control, for the log.
    Log() << "[GUI] Device list: " << list->GetItemCount() << " rows";
    for (long row = 0; row < list->GetItemCount(); ++row) {
      std::string text = "[GUI]  ";
      for (int column = 0; column < list->GetColumnCount(); ++column) {
        text += (column ? " | " : "") + std::string(list->GetItemText(row, column).utf8_str());
      }
      Log() << text;
    }
  });
}

void VandrelApp::OnDeviceConnected(std::string) { RefreshDevices(); }

void VandrelApp::OnDeviceDisconnected(std::string) { RefreshDevices(); }

void VandrelApp::OnStatus(std::string status) {
  CallAfter([this, status = std::move(status)] {
    if (main_) main_->SetBleStatus(status);
  });
}

void VandrelApp::Exit() {
  running_ = false;
  updateCheck_.Cancel();
  core_.Shutdown();
  SetLogLineSink(nullptr);
  if (Logger* logger = Logger::Instance()) logger->Close();
  std::exit(0);
}

void VandrelApp::Restart() {
  const auto exe = platform::ExecutablePath();
  if (!exe) {
    Log() << "[VANDREL] Restart: GetModuleFileNameW failed, falling back to Exit only";
    Exit();
  }
  const auto sep = exe->find_last_of("\\/");
  const std::string folder = sep == std::string::npos ? std::string() : exe->substr(0, sep);
  Log() << "[VANDREL] Restart requested. Exe=" << *exe << " WorkDir=" << folder;
  // The new instance needs our ports and our single-instance lock.
  running_ = false;
  core_.Shutdown();
  instanceLock_.reset();
  if (const int error = Relaunch(*exe, core_.options().arguments, folder.empty() ? "." : folder); error == 0) {
    Log() << "[VANDREL] Restart: new instance launched successfully";
  } else {
    Log() << "[VANDREL] Restart: ShellExecuteExW failed err=" << error;
  }
  Exit();
}

int RunTrayProgram(const Options& options, int, char** argv) {
  // The toolkit's own assertions and debug chatter stay out of our log.
  wxSetAssertHandler(nullptr);
  wxLog::SetLogLevel(wxLOG_Info);
  wxApp::SetInstance(new VandrelApp(options));
  // Our options are ours: the toolkit sees only the program name.
  int toolkitArgc = 1;
  char* toolkitArgv[] = {argv[0], nullptr};
  return wxEntry(toolkitArgc, toolkitArgv);
}

}  // namespace vandrel
