// The threads that do the phones' desktop commands (lists with icons, a
// program starting, a key for the foreground window) away from the network
// thread. Few and fixed: a phone that sends commands faster than they finish
// makes its own commands wait, never the PC start more threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "desktop/Desktop.h"

namespace vandrel::desktop {

class DesktopWorkers {
 public:
  /// `desktop` outlives the workers; at least two threads run, so a slow list
  /// does not hold up a key press.
  explicit DesktopWorkers(Desktop* desktop, std::size_t maxThreads = 4);
  /// Stops.
  ~DesktopWorkers();
  DesktopWorkers(const DesktopWorkers&) = delete;
  DesktopWorkers& operator=(const DesktopWorkers&) = delete;

  Desktop& desktop() const { return *desktop_; }

  /// Queues a job, taken in order by the next free worker; threads start as
  /// the work needs them. False once stopping: then the job is dropped. A
  /// job's exception is logged and the worker goes on.
  bool Post(std::function<void()> job);
  /// Drops the jobs not started, waits for the running ones and joins every
  /// thread. Acts once; not from a worker.
  void Stop();

  std::size_t ThreadCount() const;

 private:
  void Loop();

  Desktop* desktop_;
  const std::size_t maxThreads_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  std::size_t idle_ = 0;
  bool stopping_ = false;
};

}  // namespace vandrel::desktop
