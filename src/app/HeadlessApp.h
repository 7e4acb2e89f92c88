// The program without windows: server and input, until asked to end.
#pragma once

#include <memory>

#include "app/AppCore.h"
#include "app/Options.h"
#include "app/SingleInstance.h"
#include "net/Server.h"

namespace vandrel {

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

  AppCore core_;
  std::unique_ptr<SingleInstance> instanceLock_;
};

}  // namespace vandrel
