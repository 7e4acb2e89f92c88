// A Bluetooth LE side that only counts how often it was started and stopped.
#pragma once

#include <atomic>
#include <memory>

#include "ble/BleGattServer.h"

namespace vandrel::testing {

struct BleCounters {
  std::atomic<int> started{0};
  std::atomic<int> stopped{0};
  std::atomic<bool> centralConnected{false};
};

class FakeBleGattServer final : public BleGattServer {
 public:
  explicit FakeBleGattServer(std::shared_ptr<BleCounters> counters) : counters_(std::move(counters)) {}
  bool start() override {
    ++counters_->started;
    return true;
  }
  void stop() override { ++counters_->stopped; }
  bool isRunning() const override { return true; }
  BleState getState() const override { return BleState::Advertising; }
  bool isCentralConnected() const override { return counters_->centralConnected; }
  bool notify(std::span<const std::uint8_t>) override { return counters_->centralConnected; }

 private:
  std::shared_ptr<BleCounters> counters_;
};

inline BleGattServerFactory FakeBleFactory(std::shared_ptr<BleCounters> counters) {
  return [counters] { return std::make_unique<FakeBleGattServer>(counters); };
}

}  // namespace vandrel::testing
