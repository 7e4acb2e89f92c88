// Polling for a condition that another thread, process or server brings about.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vandrel::testing {

/// Polls `condition` every 5 ms until it holds (true) or `limit` passes (false).
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace vandrel::testing
