#include "app/HeadlessApp.h"

#include <cstdio>

#include "app/TerminationSignal.h"
#include "infra/Logger.h"
#include "infra/Settings.h"
#include "input/InputQueue.h"
#include "input/PlatformInputManager.h"

namespace vandrel {

HeadlessApp::HeadlessApp(Options options) : options_(std::move(options)) {}

HeadlessApp::~HeadlessApp() = default;

bool HeadlessApp::Init() {
  instanceLock_ = AcquireSingleInstance();
  if (!instanceLock_) {
    std::fprintf(stderr, "Vandrel 已经在运行中。\n");
    Log() << "[VANDREL] Another instance is already running; exiting";
    return false;
  }
  settings_ = std::make_unique<Settings>();
  inputManager_ = InputManager::MakePlatformInputManager();
  inputQueue_ = std::make_unique<InputQueue>(inputManager_.get());

  Server::Options serverOptions;
  serverOptions.port = options_.port;
  serverOptions.discoveryPort = options_.discoveryPort;
  serverOptions.mdnsPort = options_.mdnsPort;
  serverOptions.mdns = options_.mdns;
  serverOptions.adb = options_.adb;
  try {
    server_ = std::make_unique<Server>(serverOptions, this, settings_.get(), inputQueue_.get());
  } catch (const std::system_error& e) {
    Log() << "[VANDREL] Cannot serve on port " << options_.port << ": " << e.what();
    std::fprintf(stderr, "vandrel: cannot serve on port %u: %s\n", options_.port, e.what());
    return false;
  }
  inputQueue_->SetSessionProbe([this] { return server_->HasSessions(); });
  inputQueue_->Start();
  server_->Start();
  try {
    const NetworkInfo info = server_->GetNetworkInfo();
    Log() << "[VANDREL] Running headless: " << info.hostname << " at " << info.ip << ":" << info.port;
  } catch (const std::exception& e) {
    Log() << "[VANDREL] Running headless on port " << options_.port << " (host name unknown: " << e.what() << ")";
  }
  return true;
}

int HeadlessApp::Run() {
  if (!Init()) return 1;
  const char* reason = WaitForTermination();
  Log() << "[VANDREL] " << reason << " received, exiting";
  Exit();
  return 0;
}

void HeadlessApp::Exit() {
  running_ = false;
  // Closing the server first ends every session cleanly (a running file
  // transfer is closed and kept) before the queued input drains.
  if (server_) server_->Close();
  if (inputQueue_) {
    // Nothing a phone pressed stays pressed after the program.
    inputQueue_->EnqueueReleaseHeldKeys();
    inputQueue_->Stop();
  }
  inputManager_.reset();
  if (settings_) settings_->Save();
  if (Logger* logger = Logger::Instance()) logger->Close();
}

void HeadlessApp::OnDeviceConnected(std::string) {
  Log() << "[VANDREL] Devices connected: " << server_->GetDevices().size();
}

void HeadlessApp::OnDeviceDisconnected(std::string) {
  Log() << "[VANDREL] Devices connected: " << server_->GetDevices().size();
}

void HeadlessApp::OnStatus(std::string status) { Log() << "[VANDREL] " << status; }

}  // namespace vandrel
