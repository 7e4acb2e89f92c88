#include "desktop/DesktopWorkers.h"

#include <algorithm>
#include <exception>

#include "infra/Logger.h"

namespace vandrel::desktop {

DesktopWorkers::DesktopWorkers(Desktop* desktop, std::size_t maxThreads)
    : desktop_(desktop), maxThreads_(std::max<std::size_t>(maxThreads, 2)) {}

DesktopWorkers::~DesktopWorkers() { Stop(); }

bool DesktopWorkers::Post(std::function<void()> job) {
  std::unique_lock lock(mutex_);
  if (stopping_) return false;
  jobs_.push_back(std::move(job));
  if (idle_ >= jobs_.size() || threads_.size() >= maxThreads_) {
    lock.unlock();
    wake_.notify_one();
    return true;
  }
  // A thread that cannot start leaves the job to the workers already running;
  // with none, the job is dropped rather than kept forever.
  try {
    threads_.emplace_back([this] { Loop(); });
  } catch (const std::system_error& e) {
    Log() << "[DESKTOP] Cannot start a desktop worker: " << e.what();
    if (threads_.empty()) {
      jobs_.pop_back();
      return false;
    }
  }
  return true;
}

void DesktopWorkers::Stop() {
  std::vector<std::thread> threads;
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    dropped.swap(jobs_);
    threads.swap(threads_);
  }
  wake_.notify_all();
  // Jobs hold their sessions; those go here, outside the lock.
  dropped.clear();
  for (auto& thread : threads) thread.join();
}

std::size_t DesktopWorkers::ThreadCount() const {
  std::lock_guard lock(mutex_);
  return threads_.size();
}

void DesktopWorkers::Loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    --idle_;
    if (stopping_) return;
    auto job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    try {
      job();
    } catch (const std::exception& e) {
      Log() << "[DESKTOP] Desktop command failed: " << e.what();
    } catch (...) {
      Log() << "[DESKTOP] Desktop command failed with an unknown error";
    }
    // The job's captures (a session) go before the lock is taken again.
    job = nullptr;
    lock.lock();
  }
}

}  // namespace vandrel::desktop
