// The long-lived objects the tray program and the headless one share, created
// and stopped in one order.
#pragma once

#include <memory>
#include <string>

#include "app/CoreLink.h"
#include "app/Options.h"
#include "desktop/Desktop.h"
#include "input/InputManager.h"
#include "net/Server.h"

namespace vandrel {

class InputQueue;
class Settings;

class AppCore {
 public:
  explicit AppCore(Options options);
  ~AppCore();
  AppCore(const AppCore&) = delete;
  AppCore& operator=(const AppCore&) = delete;

  /// Settings, the platform's input manager, the input queue and the desktop.
  void CreateInput();
  /// Binds the server's sockets; false with a one-line reason when it cannot.
  bool CreateServer(Server::ConnectionListener* listener, std::string& error);
  /// The injection thread, the server, then the link to the lock-screen companion.
  void Start();
  /// Ends every session, drains queued input (releasing held keys), saves the
  /// settings. Acts once.
  void Shutdown();

  const Options& options() const { return options_; }
  Settings* settings() const { return settings_.get(); }
  Server* server() const { return server_.get(); }
  desktop::Desktop* desktop() const { return desktop_.get(); }

 private:
  Options options_;
  std::unique_ptr<Settings> settings_;
  std::unique_ptr<InputManager::Base> inputManager_;
  // Before the input queue, whose injection thread hands it commands.
  std::unique_ptr<CoreLink> coreLink_;
  std::unique_ptr<InputQueue> inputQueue_;
  // Before the server, which acts on it until it is gone.
  std::unique_ptr<desktop::Desktop> desktop_;
  std::unique_ptr<Server> server_;
  bool shutDown_ = false;
};

}  // namespace vandrel
