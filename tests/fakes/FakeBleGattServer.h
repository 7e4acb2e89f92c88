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
  void Start() override { ++counters_->started; }
  void Stop() override { ++counters_->stopped; }
  BleState State() const override { return BleState::Advertising; }
  bool IsCentralConnected() const override { return counters_->centralConnected; }

 private:
  std::shared_ptr<BleCounters> counters_;
};

inline BleGattServerFactory FakeBleFactory(std::shared_ptr<BleCounters> counters) {
  return [counters] { return std::make_unique<FakeBleGattServer>(counters); };
}

}  // namespace vandrel::testing
