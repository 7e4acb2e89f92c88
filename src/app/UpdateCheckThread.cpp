#include "app/UpdateCheckThread.h"

#include <exception>
#include <thread>
#include <utility>

#include "infra/Logger.h"

namespace vandrel {

UpdateCheck::~UpdateCheck() { Cancel(); }

void UpdateCheck::Start(std::string currentVersion, Found found, update::HttpClientFactory clients) {
  if (std::exchange(started_, true)) return;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->found = std::move(found);
  }
  // Detached: a feed that is slow to answer must not hold up the exit; the
  // shared state is all it touches once it has its answer.
  std::thread([shared = shared_, version = std::move(currentVersion), clients = std::move(clients)] {
    try {
      const update::UpdateInfo info = update::CheckForUpdate(version, clients);
      if (!info.available) return;
      std::lock_guard lock(shared->mutex);
      if (shared->found) shared->found(info);
    } catch (const std::exception& e) {
      Log() << "[UPDATE] Update check failed: " << e.what();
    }
  }).detach();
}

void UpdateCheck::Cancel() {
  std::lock_guard lock(shared_->mutex);
  shared_->found = nullptr;
}

}  // namespace vandrel
