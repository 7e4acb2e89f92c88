#include "app/HeadlessApp.h"

#include <cstdio>

#include "app/TerminationSignal.h"
#include "infra/Logger.h"

namespace vandrel {

HeadlessApp::HeadlessApp(Options options) : core_(std::move(options)) {}

HeadlessApp::~HeadlessApp() = default;

bool HeadlessApp::Init() {
  instanceLock_ = AcquireSingleInstance();
  if (!instanceLock_) {
    std::fprintf(stderr, "Vandrel 已经在运行中。\n");
    Log() << "[VANDREL] Another instance is already running; exiting";
    return false;
  }
  core_.CreateInput();
  std::string error;
  if (!core_.CreateServer(this, error)) {
    std::fprintf(stderr, "vandrel: %s\n", error.c_str());
    return false;
  }
  core_.Start();
  try {
    const NetworkInfo info = core_.server()->GetNetworkInfo();
    Log() << "[VANDREL] Running headless: " << info.hostname << " at " << info.ip << ":" << info.port;
  } catch (const std::exception& e) {
    Log() << "[VANDREL] Running headless on port " << core_.options().port << " (host name unknown: " << e.what()
          << ")";
  }
  return true;
}

int HeadlessApp::Run() {
  if (!Init()) return 1;
  const char* reason = WaitForTermination();
  Log() << "[VANDREL] " << reason << " received, exiting";
  core_.Shutdown();
  if (Logger* logger = Logger::Instance()) logger->Close();
  return 0;
}

void HeadlessApp::OnDeviceConnected(std::string) {
  Log() << "[VANDREL] Devices connected: " << core_.server()->GetDevices().size();
}

void HeadlessApp::OnDeviceDisconnected(std::string) {
  Log() << "[VANDREL] Devices connected: " << core_.server()->GetDevices().size();
}

void HeadlessApp::OnStatus(std::string status) { Log() << "[VANDREL] " << status; }

}  // namespace vandrel
