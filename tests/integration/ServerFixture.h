// A real Server on loopback with a recording listener, a recording input
// queue and short time limits, and phones that talk to it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "FakeAutoStart.h"
#include "FakeBleGattServer.h"
#include "LogCapture.h"
#include "RecordingInputManager.h"
#include "RecordingListener.h"
#include "TempDir.h"
#include "WaitUntil.h"
#include "infra/Settings.h"
#include "input/InputQueue.h"
#include "net/Server.h"
#include "vandrel-phone/PhoneClient.h"

namespace vandrel::testing {

using namespace std::chrono_literals;

/// A port of its own for each server of the test run.
inline std::uint16_t NextTestPort() {
  static std::atomic<std::uint16_t> next{24000};
  return next++;
}

class ServerFixture : public ::testing::Test {
 protected:
  /// Input goes through a recording input manager and a tracker of held keys.
  void StartServerWithManager(Server::Options options = {}) {
    useManager_ = true;
    StartServer(std::move(options));
  }

  /// Discovery gets a port of its own; mDNS and adb stay off unless a test asks for them.
  void StartServer(Server::Options options = {}) {
    options.port = NextTestPort();
    if (options.discoveryPort == 6970) options.discoveryPort = NextTestPort();
    options.mdns = options.mdns && withMdns_;
    options.adb = options.adb && withAdb_;
    if (options.sessionTiming.idleLimit == std::chrono::seconds(20)) {
      // Long enough never to end a test's session by itself.
      options.sessionTiming.idleLimit = 60s;
    }
    settings_ = std::make_unique<Settings>([this] { return dir_.File("settings.ini"); },
                                           std::make_shared<FakeAutoStart>());
    if (useManager_) {
      queue_ = std::make_unique<InputQueue>(&manager_, &tracker_);
    } else {
      queue_ = std::make_unique<InputQueue>([this](const std::uint8_t* bytes, std::size_t length) {
        std::lock_guard lock(inputMutex_);
        input_.emplace_back(bytes, bytes + length);
      });
    }
    queue_->Start();
    server_ = std::make_unique<Server>(options, &listener_, settings_.get(), queue_.get());
    server_->Start();
  }

  void TearDown() override {
    if (server_) server_->Close();
    if (queue_) queue_->Stop();
  }

  std::unique_ptr<phone::PhoneClient> Connect(const std::string& hello = "Maker/Phone/Model-1/1") {
    auto client = std::make_unique<phone::PhoneClient>(phone::Seconds(10));
    client->Connect("127.0.0.1", server_->Port(), hello);
    return client;
  }

  std::vector<std::vector<std::uint8_t>> Input() {
    std::lock_guard lock(inputMutex_);
    return input_;
  }

  LogCapture log_;
  TempDir dir_;
  RecordingListener listener_;
  std::unique_ptr<Settings> settings_;
  std::unique_ptr<InputQueue> queue_;
  std::unique_ptr<Server> server_;
  std::mutex inputMutex_;
  std::vector<std::vector<std::uint8_t>> input_;
  bool useManager_ = false;
  bool withMdns_ = false;
  bool withAdb_ = false;
  RecordingInputManager manager_;
  KeyStateTracker tracker_;
};

}  // namespace vandrel::testing
