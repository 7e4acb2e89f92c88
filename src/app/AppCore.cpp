#include "app/AppCore.h"

#include "ble/PlatformBle.h"

#include "infra/Logger.h"
#include "infra/Settings.h"
#include "input/Injector.h"
#include "input/InputQueue.h"
#include "input/PlatformInputManager.h"

namespace vandrel {

AppCore::AppCore(Options options) : options_(std::move(options)) {}

AppCore::~AppCore() {
  // Only reached without Shutdown when start-up failed half-way.
  if (inputQueue_) inputQueue_->SetSessionProbe(nullptr);
  if (server_) server_->Close();
  if (inputQueue_) inputQueue_->Stop();
}

void AppCore::CreateInput() {
  settings_ = std::make_unique<Settings>();
  inputManager_ = InputManager::MakePlatformInputManager();
  inputQueue_ = std::make_unique<InputQueue>(inputManager_.get());
  coreLink_ = std::make_unique<CoreLink>(PlatformCoreLink());
  // On the lock screen the companion injects instead; a false answer injects here.
  inputQueue_->SetInjectHandler(
      [link = coreLink_.get()](const std::uint8_t* bytes, std::size_t length) { return link->ForwardToCore(bytes, length); });
  desktop_ = desktop::MakePlatformDesktop(dynamic_cast<InputManager::Injector*>(inputManager_.get()));
}

bool AppCore::CreateServer(Server::ConnectionListener* listener, std::string& error) {
  Server::Options serverOptions;
  serverOptions.port = options_.port;
  serverOptions.discoveryPort = options_.discoveryPort;
  serverOptions.mdnsPort = options_.mdnsPort;
  serverOptions.mdns = options_.mdns;
  serverOptions.adb = options_.adb;
  serverOptions.ble = options_.ble;
  if (options_.ble) serverOptions.bleFactory = MakePlatformBleFactory();
  serverOptions.desktop = desktop_.get();
  try {
    server_ = std::make_unique<Server>(serverOptions, listener, settings_.get(), inputQueue_.get());
    return true;
  } catch (const std::system_error& e) {
    error = "cannot serve on port " + std::to_string(options_.port) + ": " + e.what();
    Log() << "[VANDREL] Cannot serve on port " << options_.port << ": " << e.what();
    return false;
  }
}

void AppCore::Start() {
  inputQueue_->SetSessionProbe([this] { return server_->HasSessions(); });
  inputQueue_->Start();
  server_->Start();
  coreLink_->Start();
}

void AppCore::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  // The injection thread asks the server about sessions: that ends, and a
  // question in progress is answered, before the server goes.
  if (inputQueue_) inputQueue_->SetSessionProbe(nullptr);
  // Closing the server first ends every session cleanly (a file still arriving
  // is closed and kept) and joins the network thread before input drains.
  if (server_) {
    server_->Close();
    server_.reset();
  }
  if (inputQueue_) {
    // Nothing a phone pressed stays pressed after the program.
    inputQueue_->EnqueueReleaseHeldKeys();
    inputQueue_->Stop();
  }
  // After the injection thread, its last user.
  if (coreLink_) coreLink_->Stop();
  if (settings_) settings_->Save();
}

}  // namespace vandrel
