#include "ble/BleWriteQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "LogCapture.h"
#include "WaitUntil.h"

namespace vandrel {
namespace {

using testing::LogCapture;
using testing::WaitUntil;
using Packet = std::vector<std::uint8_t>;

TEST(BleWriteQueue, PacketsReachTheCallbackInOrderOnOneThreadAndPendingOnesAfterStop) {
  LogCapture log;
  std::mutex mutex;
  std::vector<Packet> got;
  std::set<std::thread::id> threads;
  std::atomic<bool> gate{false};
  BleWriteQueue queue;
  queue.Start([&](const Packet& packet) {
    while (!gate) std::this_thread::yield();
    std::lock_guard lock(mutex);
    got.push_back(packet);
    threads.insert(std::this_thread::get_id());
  });
  EXPECT_TRUE(log.Contains("[BLE] Write worker thread started."));
  queue.Push({});  // an empty write is nobody's packet
  for (std::uint8_t i = 1; i <= 50; ++i) queue.Push({i, 33});
  gate = true;
  queue.Stop();
  ASSERT_EQ(got.size(), 50u);
  for (std::uint8_t i = 1; i <= 50; ++i) EXPECT_EQ(got[i - 1], (Packet{i, 33}));
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  EXPECT_TRUE(log.Contains("[BLE] Write worker thread exiting."));
  queue.Stop();
}

TEST(BleWriteQueue, AThrowingCallbackIsLoggedAndTheNextPacketHandled) {
  LogCapture log;
  std::atomic<int> handled{0};
  BleWriteQueue queue;
  queue.Start([&](const Packet& packet) {
    if (packet[0] == 1) throw std::runtime_error("bad packet");
    ++handled;
  });
  queue.Push({1, 2, 3});
  queue.Push({2});
  ASSERT_TRUE(WaitUntil([&] { return handled == 1; }));
  EXPECT_TRUE(log.Contains("[BLE][FATAL] Write callback raised an exception: bad packet, len=3"));
}

TEST(BleWriteQueue, AFullQueueHoldsTheWriterBackUntilThereIsRoom) {
  std::atomic<bool> gate{false};
  std::atomic<int> handled{0};
  BleWriteQueue queue;
  queue.Start([&](const Packet&) {
    while (!gate) std::this_thread::yield();
    ++handled;
  });
  std::atomic<std::size_t> pushed{0};
  std::thread writer([&] {
    for (std::size_t i = 0; i < BleWriteQueue::kMaxPending + 10; ++i) {
      queue.Push({7});
      ++pushed;
    }
  });
  // One packet is with the worker and the queue is full: the writer waits.
  ASSERT_TRUE(WaitUntil([&] { return queue.Pending() == BleWriteQueue::kMaxPending; }));
  EXPECT_LE(pushed, BleWriteQueue::kMaxPending + 1);
  gate = true;
  writer.join();
  queue.Stop();
  EXPECT_EQ(handled, static_cast<int>(BleWriteQueue::kMaxPending + 10));
}

}  // namespace
}  // namespace vandrel
