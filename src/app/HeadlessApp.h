// The program without windows: server and input, until asked to end.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "app/AppCore.h"
#include "app/Options.h"
#include "app/SingleInstance.h"
#include "app/UpdateCheckThread.h"
#include "infra/LogLimiter.h"
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
  // The Bluetooth side's window work and heartbeat, which the tray program's
  // timer does on its GUI thread.
  void StartBlePump();
  void StopBlePump();

  AppCore core_;
  std::mutex pumpMutex_;
  std::condition_variable pumpWake_;
  bool pumpStop_ = false;
  std::thread pump_;
  UpdateCheck updateCheck_;
  std::unique_ptr<SingleInstance> instanceLock_;
  // Each connect and disconnect writes one; network thread only.
  LogLimiter deviceCountLines_{20};
};

}  // namespace vandrel
