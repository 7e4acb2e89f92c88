#include "app/HeadlessApp.h"

#include <cstdio>

#include "Version.h"
#include "app/TerminationSignal.h"
#include "infra/Logger.h"
#include "infra/PrintableText.h"

namespace vandrel {

HeadlessApp::HeadlessApp(Options options) : core_(std::move(options)) {}

HeadlessApp::~HeadlessApp() { StopBlePump(); }

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
  StartBlePump();
  // Without a window nothing is offered: the line that a newer build exists is all.
  updateCheck_.Start(kVersion, [](update::UpdateInfo info) {
    if (!info.pageUrl.empty()) Log() << "[UPDATE] Release page: " << Printable(info.pageUrl);
  });
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
  updateCheck_.Cancel();
  StopBlePump();
  core_.Shutdown();
  if (Logger* logger = Logger::Instance()) logger->Close();
  return 0;
}

void HeadlessApp::StartBlePump() {
  pump_ = std::thread([this] {
    std::unique_lock lock(pumpMutex_);
    while (!pumpWake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return pumpStop_; })) {
      lock.unlock();
      try {
        core_.server()->PumpBleGuiWork();
      } catch (const std::exception& e) {
        Log() << "[VANDREL] BLE pump failed: " << e.what();
      }
      lock.lock();
    }
  });
}

void HeadlessApp::StopBlePump() {
  {
    std::lock_guard lock(pumpMutex_);
    pumpStop_ = true;
  }
  pumpWake_.notify_all();
  if (pump_.joinable()) pump_.join();
}

void HeadlessApp::OnDeviceConnected(std::string) {
  if (auto permit = deviceCountLines_.Next()) Log() << "[VANDREL] Devices connected: " << core_.server()->SessionCount() << permit;
}

void HeadlessApp::OnDeviceDisconnected(std::string) {
  if (auto permit = deviceCountLines_.Next()) Log() << "[VANDREL] Devices connected: " << core_.server()->SessionCount() << permit;
}

void HeadlessApp::OnStatus(std::string status) { Log() << "[VANDREL] " << status; }

}  // namespace vandrel
