// The once-per-start question to the release feed, on a thread of its own
// that the exit path never waits for: an answer that comes after Cancel is
// dropped, so the thread outlives nothing it uses.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "update/Updater.h"

namespace vandrel {

class UpdateCheck {
 public:
  using Found = std::function<void(update::UpdateInfo)>;

  UpdateCheck() = default;
  /// Cancels.
  ~UpdateCheck();
  UpdateCheck(const UpdateCheck&) = delete;
  UpdateCheck& operator=(const UpdateCheck&) = delete;

  /// Asks the feed; `found` runs on the check's thread when a newer build
  /// exists, unless Cancel came first. Once.
  void Start(std::string currentVersion, Found found,
             update::HttpClientFactory clients = update::MakePlatformHttpClient);
  /// From now on `found` is not called; waits only for a call under way.
  void Cancel();

 private:
  struct Shared {
    std::mutex mutex;
    Found found;
  };
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  bool started_ = false;
};

}  // namespace vandrel
