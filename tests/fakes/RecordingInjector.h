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
#include <optional>
#include <string>
#include <vector>

#include "input/Injector.h"

namespace vandrel::testing {

class RecordingInjector final : public InputManager::Injector {
 public:
  using Batch = std::vector<InputRecord>;

  struct Event {
    enum class Kind { kBatch, kWait, kAttach, kDetach, kLock, kClipboard, kSystem, kBrightness };
    Kind kind;
    Batch batch;                        // kBatch only
    std::chrono::milliseconds wait{0};  // kWait only
    std::string text;                   // kClipboard: the text; kSystem: the action's number; kBrightness: up/down
  };

  ~RecordingInjector() override { StopAutoRepeat(); }

  void SetControlHeld(bool held) {
    std::lock_guard lock(mutex_);
    controlHeld_ = held;
  }
  void SetForegroundTitle(std::string title) {
    std::lock_guard lock(mutex_);
    title_ = std::move(title);
  }
  /// What the system answers to the next actions: nothing is success.
  void SetSystemError(std::optional<std::string> error) {
    std::lock_guard lock(mutex_);
    systemError_ = std::move(error);
  }
  void SetPrivilegeGranted(bool granted) {
    std::lock_guard lock(mutex_);
    privilegeGranted_ = granted;
  }
  /// The means the monitors answer a brightness step with; empty when none changed.
  void SetBrightnessMeans(std::string means) {
    std::lock_guard lock(mutex_);
    brightnessMeans_ = std::move(means);
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
  /// read "mouse(flags,dx,dy,wheel)" with flags in hex; a scan code follows
  /// its key as "[scan 6F]"; "clipboard TEXT", "system N", "brightness up".
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
    events_.push_back({Event::Kind::kBatch, Batch(batch.begin(), batch.end()), std::chrono::milliseconds{0}, {}});
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
  std::string ForegroundTitle() override {
    std::lock_guard lock(mutex_);
    return title_;
  }
  void PutClipboardText(std::string_view utf8) override { Add(Event::Kind::kClipboard, std::string(utf8)); }
  bool PrepareSystemAction(InputManager::SystemAction) override {
    std::lock_guard lock(mutex_);
    return privilegeGranted_;
  }
  std::optional<std::string> PerformSystemAction(InputManager::SystemAction action) override {
    if (action == InputManager::SystemAction::kLock) Add(Event::Kind::kLock);
    else Add(Event::Kind::kSystem, std::to_string(static_cast<int>(action)));
    std::lock_guard lock(mutex_);
    return systemError_;
  }
  std::string StepMonitorBrightness(bool up) override {
    Add(Event::Kind::kBrightness, up ? "up" : "down");
    std::lock_guard lock(mutex_);
    return brightnessMeans_;
  }
  void Wait(std::chrono::milliseconds duration) override {
    std::lock_guard lock(mutex_);
    events_.push_back({Event::Kind::kWait, {}, duration, {}});
  }

 private:
  void Add(Event::Kind kind, std::string text = {}) {
    std::lock_guard lock(mutex_);
    events_.push_back({kind, {}, std::chrono::milliseconds{0}, std::move(text)});
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
      case Event::Kind::kClipboard: return "clipboard " + event.text;
      case Event::Kind::kSystem: return "system " + event.text;
      case Event::Kind::kBrightness: return "brightness " + event.text;
      case Event::Kind::kWait: return "wait " + std::to_string(event.wait.count());
      case Event::Kind::kBatch: break;
    }
    std::string line = "batch";
    for (const auto& record : event.batch) {
      if (const auto* key = std::get_if<KeyRecord>(&record)) {
        line += std::string(key->up ? " -" : " +") + Hex(key->vk) + (key->extended ? "(ext)" : "");
        if (key->scan != 0) line += "[scan " + Hex(key->scan) + "]";
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
  std::string title_;
  std::optional<std::string> systemError_;
  bool privilegeGranted_ = true;
  std::string brightnessMeans_;
};

}  // namespace vandrel::testing
