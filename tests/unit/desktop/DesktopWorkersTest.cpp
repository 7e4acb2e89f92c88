#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "LogCapture.h"
#include "WaitUntil.h"
#include "desktop/DesktopWorkers.h"

namespace vandrel::desktop {
namespace {

using testing::LogCapture;
using testing::WaitUntil;

// A gate the jobs wait at until the test opens it.
class Gate {
 public:
  void Wait() {
    std::unique_lock lock(mutex_);
    ++waiting_;
    opened_.wait(lock, [this] { return open_; });
  }
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    opened_.notify_all();
  }
  int Waiting() {
    std::lock_guard lock(mutex_);
    return waiting_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
  int waiting_ = 0;
};

TEST(DesktopWorkersTest, TwoJobsRunAtOnceAndTheThreadsStayFew) {
  DesktopWorkers workers(nullptr, 3);
  Gate gate;
  std::atomic<int> done{0};
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(workers.Post([&] {
      gate.Wait();
      ++done;
    }));
  }
  // A slow job does not hold up the next one.
  ASSERT_TRUE(WaitUntil([&] { return gate.Waiting() >= 2; }));
  EXPECT_LE(workers.ThreadCount(), 3u);
  gate.Open();
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 50; }));
  EXPECT_LE(workers.ThreadCount(), 3u);
}

TEST(DesktopWorkersTest, OneWorkerTakesJobsInOrderAndSurvivesAThrowingOne) {
  LogCapture log;
  DesktopWorkers workers(nullptr, 2);
  std::mutex mutex;
  std::vector<int> order;
  Gate gate;
  // Both workers are held, so what follows queues up.
  workers.Post([&] { gate.Wait(); });
  workers.Post([&] { gate.Wait(); });
  ASSERT_TRUE(WaitUntil([&] { return gate.Waiting() == 2; }));
  workers.Post([] { throw std::runtime_error("no display"); });
  for (int i = 0; i < 20; ++i) {
    workers.Post([&, i] {
      std::lock_guard lock(mutex);
      order.push_back(i);
    });
  }
  gate.Open();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return order.size() == 20;
  }));
  // The other worker may finish the rest while this line is still being written.
  EXPECT_TRUE(WaitUntil([&] { return log.Contains("[DESKTOP] Desktop command failed: no display"); }));
  // Two workers may take neighbours in either order, never far apart.
  for (std::size_t i = 0; i < order.size(); ++i) EXPECT_LE(std::abs(order[i] - static_cast<int>(i)), 1);
}

TEST(DesktopWorkersTest, StopDropsWaitingJobsAndWaitsForRunningOnes) {
  auto workers = std::make_unique<DesktopWorkers>(nullptr, 2);
  Gate gate;
  std::atomic<bool> runningEnded{false};
  auto held = std::make_shared<int>(0);
  workers->Post([&] {
    gate.Wait();
    runningEnded = true;
  });
  workers->Post([&] { gate.Wait(); });
  ASSERT_TRUE(WaitUntil([&] { return gate.Waiting() == 2; }));
  std::atomic<bool> droppedRan{false};
  workers->Post([held, &droppedRan] { droppedRan = true; });
  EXPECT_EQ(held.use_count(), 2);
  std::thread opener([&] {
    // Stop is waiting by the time the gate opens, or soon after: either way it joins.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    gate.Open();
  });
  workers->Stop();
  opener.join();
  EXPECT_TRUE(runningEnded);
  EXPECT_FALSE(droppedRan);
  EXPECT_EQ(held.use_count(), 1);  // what the dropped job held is let go
  EXPECT_FALSE(workers->Post([] {}));
  EXPECT_EQ(workers->ThreadCount(), 0u);
}

}  // namespace
}  // namespace vandrel::desktop
