// The program without windows: server and input, until asked to end.
#pragma once

#include <atomic>
#include <memory>

#include "app/Options.h"
#include "app/SingleInstance.h"
#include "input/InputManager.h"
#include "net/Server.h"

namespace vandrel {

class InputQueue;
class Settings;

class HeadlessApp final : public Server::ConnectionListener {
 public:
  explicit HeadlessApp(Options options);
  ~HeadlessApp();
  HeadlessApp(const HeadlessApp&) = delete;
  HeadlessApp& operator=(const HeadlessApp&) = delete;

  /// Runs until SIGINT or SIGTERM; returns the process exit code.
  int Run();

  void OnDeviceConnected(std::string deviceName) override;
  void OnDeviceDisconnected(std::string deviceName) override;
  void OnStatus(std::string status) override;

 private:
  bool Init();
  void Exit();

  Options options_;
  std::unique_ptr<SingleInstance> instanceLock_;
  std::unique_ptr<Settings> settings_;
  std::unique_ptr<InputManager::Base> inputManager_;
  std::unique_ptr<InputQueue> inputQueue_;
  std::unique_ptr<Server> server_;
  std::atomic<bool> running_{true};
};

}  // namespace vandrel
