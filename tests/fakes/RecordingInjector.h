// An injector whose mechanism writes down what it is asked for: batches,
// waits, attach and detach, lock requests, in one ordered list. Waits are
// recorded, not slept; auto-repeat still runs on its own thread in real time.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "input/Injector.h"

namespace vandrel::testing {

class RecordingInjector final : public InputManager::Injector {
 public:
  using Batch = std::vector<InputRecord>;

  struct Event {
    enum class Kind { kBatch, kWait, kAttach, kDetach, kLock };
    Kind kind;
    Batch batch;                        // kBatch only
    std::chrono::milliseconds wait{0};  // kWait only
  };

  ~RecordingInjector() override { StopAutoRepeat(); }

  void SetControlHeld(bool held) {
    std::lock_guard lock(mutex_);
    controlHeld_ = held;
  }
  /// Each queued value answers one batch, in order; afterwards batches are taken whole.
  void QueueSendResults(std::initializer_list<unsigned> results) {
    std::lock_guard lock(mutex_);
    results_.insert(results_.end(), results);
  }

  std::vector<Event> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  /// The events as short lines: "attach", "detach", "lock", "wait 10", and for
  /// a batch "batch" then each key as +vk (down) or -vk (up) in upper-case hex,
  /// "(ext)" marking extended keys, e.g. "batch +A0 -25(ext)"; mouse records
  /// read "mouse(flags,dx,dy,wheel)" with flags in hex.
  std::vector<std::string> Transcript() const {
    std::vector<std::string> lines;
    for (const auto& event : Events()) lines.push_back(Describe(event));
    return lines;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }

 protected:
  unsigned SendBatch(std::span<const InputRecord> batch) override {
    std::lock_guard lock(mutex_);
    events_.push_back({Event::Kind::kBatch, Batch(batch.begin(), batch.end())});
    if (results_.empty()) return static_cast<unsigned>(batch.size());
    const unsigned result = results_.front();
    results_.pop_front();
    return result;
  }
  void AttachToForeground() override { Add(Event::Kind::kAttach); }
  void DetachFromForeground() override { Add(Event::Kind::kDetach); }
  bool IsControlHeld() override {
    std::lock_guard lock(mutex_);
    return controlHeld_;
  }
  void LockWorkstation() override { Add(Event::Kind::kLock); }
  void Wait(std::chrono::milliseconds duration) override {
    std::lock_guard lock(mutex_);
    events_.push_back({Event::Kind::kWait, {}, duration});
  }

 private:
  void Add(Event::Kind kind) {
    std::lock_guard lock(mutex_);
    events_.push_back({kind, {}});
  }

  static std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
  }

  static std::string Describe(const Event& event) {
    switch (event.kind) {
      case Event::Kind::kAttach: return "attach";
      case Event::Kind::kDetach: return "detach";
      case Event::Kind::kLock: return "lock";
      case Event::Kind::kWait: return "wait " + std::to_string(event.wait.count());
      case Event::Kind::kBatch: break;
    }
    std::string line = "batch";
    for (const auto& record : event.batch) {
      if (const auto* key = std::get_if<KeyRecord>(&record)) {
        line += std::string(key->up ? " -" : " +") + Hex(key->vk) + (key->extended ? "(ext)" : "");
      } else {
        const auto& m = std::get<MouseRecord>(record);
        line += " mouse(" + Hex(m.flags) + "," + std::to_string(m.dx) + "," + std::to_string(m.dy) + "," +
                std::to_string(m.wheel) + ")";
      }
    }
    return line;
  }

  mutable std::mutex mutex_;
  std::vector<Event> events_;
  std::deque<unsigned> results_;
  bool controlHeld_ = false;
};

}  // namespace vandrel::testing
