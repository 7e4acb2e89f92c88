// The input queue under a flood: its bound, merging, the release reserve, the
// drop report and a safe end while the injection thread asks about sessions.
#include <gtest/gtest.h>

#include <thread>

#include "LogCapture.h"
#include "RecordingInputManager.h"
#include "WaitUntil.h"
#include "input/InputQueue.h"
#include "input/KeyStateTracker.h"

namespace vandrel {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;
using testing::RecordingInputManager;
using testing::WaitUntil;
using Bytes = std::vector<std::uint8_t>;
using Calls = std::vector<std::string>;

void Put(InputQueue& queue, const Bytes& packet) { queue.Enqueue(packet.data(), packet.size()); }

InputEvent Event(const Bytes& packet) {
  InputEvent event;
  std::copy(packet.begin(), packet.end(), event.bytes.begin());
  event.length = packet.size();
  return event;
}

// True and the merged bytes when `next` merges into `last`.
std::pair<bool, Bytes> Merge(const Bytes& last, const Bytes& next) {
  InputEvent event = Event(last);
  const bool merged = MergeInto(event, next.data(), next.size());
  return {merged, Bytes(event.bytes.begin(), event.bytes.begin() + static_cast<std::ptrdiff_t>(event.length))};
}

TEST(MergeInto, SumsStayExactAndWithinTheSignedByte) {
  EXPECT_EQ(Merge({6, 100}, {6, 27}), std::pair(true, Bytes{6, 127}));
  EXPECT_EQ(Merge({6, 127}, {6, 1}), std::pair(false, Bytes{6, 127})) << "127 + 1 starts a new event";
  EXPECT_EQ(Merge({8, 0x81}, {8, 0xFF}), std::pair(true, Bytes{8, 0x80})) << "-127 - 1 = -128 fits";
  EXPECT_EQ(Merge({8, 0x80}, {8, 0xFF}), std::pair(false, Bytes{8, 0x80}));
  EXPECT_EQ(Merge({5, 3, 0xFC}, {5, 0xFE, 7}), std::pair(true, Bytes{5, 1, 3}));
  // Both of a MOVE's fields must fit, or neither changes.
  EXPECT_EQ(Merge({5, 10, 120}, {5, 10, 8}), std::pair(false, Bytes{5, 10, 120}));
  EXPECT_EQ(Merge({5, 0x80, 0}, {5, 0x80, 0}), std::pair(false, Bytes{5, 0x80, 0}));
}

TEST(MergeInto, OnlyTheSameKindAtItsFullLength) {
  EXPECT_FALSE(Merge({5, 1, 1}, {6, 1}).first);
  EXPECT_FALSE(Merge({6, 1}, {8, 1}).first);
  EXPECT_FALSE(Merge({7, 4, 0}, {7, 4, 0}).first) << "keys never merge";
  EXPECT_FALSE(Merge({5}, {5, 1, 1}).first) << "a MOVE cut short is kept as it came";
  EXPECT_FALSE(Merge({6, 1, 9}, {6, 1}).first);
  InputEvent release;
  release.releaseHeldKeys = true;
  const Bytes scroll{6, 1};
  EXPECT_FALSE(MergeInto(release, scroll.data(), scroll.size()));
}

TEST(InputQueue, MergesOnlyIntoTheLastEventAndCountsItOnce) {
  LogCapture log;
  RecordingInputManager manager;
  KeyStateTracker tracker;
  InputQueue queue(&manager, &tracker);
  for (const Bytes& p : {Bytes{5, 1, 0xFF}, Bytes{5, 2, 0xFE}, Bytes{6, 1}, Bytes{6, 0x7E}, Bytes{6, 1},
                         Bytes{5, 4, 4}, Bytes{7, 4, 0}, Bytes{8, 2}, Bytes{8, 3}}) {
    Put(queue, p);
  }
  // Queued before the thread runs, so every merge happened while waiting.
  EXPECT_EQ(queue.Size(), 6u);
  queue.Start();
  queue.Stop();
  EXPECT_EQ(manager.Calls(), (Calls{"MoveRelative(-3,3)", "Scroll(127)", "Scroll(1)", "MoveRelative(-4,-4)",
                                    "KeyClick(4,0)", "ScrollHorizontal(5)"}));
  EXPECT_TRUE(log.Contains("[INPUT_QUEUE] Stopped. Enqueued: 6, Processed: 6"));
  EXPECT_TRUE(log.Contains("[INPUT_QUEUE] Merged: 3, Dropped: 0"));
  EXPECT_EQ(log.Count("[INPUT_QUEUE] Enqueued: "), 5u);
}

TEST(InputQueue, FullQueueDropsAllButReleasesAndReportsTheFirstDropAtOnce) {
  LogCapture log;
  RecordingInputManager manager;
  KeyStateTracker tracker;
  InputQueue queue(&manager, &tracker);
  Put(queue, {13, 4, 0});
  Put(queue, {3});
  for (std::size_t i = 2; i < InputQueue::kCapacity; ++i) Put(queue, {7, 5, 0});
  ASSERT_EQ(queue.Size(), InputQueue::kCapacity);
  Put(queue, {7, 6, 0});
  EXPECT_TRUE(log.Contains("[INPUT_QUEUE] Dropped 1 events (queue full)"));
  for (int i = 0; i < 99; ++i) Put(queue, {13, 6, 0});
  Put(queue, {5, 1, 1});  // a MOVE has nothing to merge into either
  EXPECT_EQ(queue.DroppedCount(), 101u);
  EXPECT_EQ(log.Count("[INPUT_QUEUE] Dropped "), 1u) << "at most one line per 5 s";

  Put(queue, {14, 4, 0});
  Put(queue, {4});
  Put(queue, {14, 0, 2});  // a modifier's release
  EXPECT_EQ(queue.Size(), InputQueue::kCapacity + 3);
  queue.Start();
  queue.Stop();
  const Calls calls = manager.Calls();
  ASSERT_EQ(calls.size(), InputQueue::kCapacity + 3);
  EXPECT_EQ(calls.front(), "KeyDown(4,0)");
  EXPECT_EQ(Calls(calls.end() - 4, calls.end()), (Calls{"KeyClick(5,0)", "KeyUp(4,0)", "LeftUp", "KeyUp(0,2)"}));
  EXPECT_FALSE(tracker.AnyHeld());
  EXPECT_TRUE(log.Contains("[INPUT_QUEUE] Merged: 0, Dropped: 101"));
}

TEST(InputQueue, WhenEvenTheReserveIsFullTheLastReleaseLetsGoOfEverything) {
  RecordingInputManager manager;
  KeyStateTracker tracker;
  InputQueue queue(&manager, &tracker);
  Put(queue, {13, 4, 2});
  Put(queue, {3});
  for (std::size_t i = 2; i < InputQueue::kCapacity; ++i) Put(queue, {1});
  for (std::size_t i = 0; i < InputQueue::kReserve; ++i) Put(queue, {14, 9, 0});
  ASSERT_EQ(queue.Size(), InputQueue::kCapacity + InputQueue::kReserve);
  Put(queue, {14, 4, 2});
  Put(queue, {4});
  queue.EnqueueReleaseHeldKeys();
  EXPECT_EQ(queue.Size(), InputQueue::kCapacity + InputQueue::kReserve);
  EXPECT_EQ(queue.DroppedCount(), 0u) << "releases are never dropped";
  queue.Start();
  queue.Stop();
  const Calls calls = manager.Calls();
  EXPECT_EQ(Calls(calls.end() - 4, calls.end()), (Calls{"KeyUp(9,0)", "KeyUp(4,0)", "KeyUp(0,2)", "LeftUp"}));
  EXPECT_FALSE(tracker.AnyHeld());
}

TEST(InputQueue, DropsLeftOutOfTheLineAreReportedFiveSecondsLater) {
  LogCapture log;
  std::atomic<bool> open{false};
  InputQueue queue([&](const std::uint8_t*, std::size_t) { WaitUntil([&] { return open.load(); }, 20s); });
  queue.Start();
  Put(queue, {1});
  ASSERT_TRUE(WaitUntil([&] { return queue.Size() == 0; }));  // being injected
  for (std::size_t i = 0; i < InputQueue::kCapacity + 10; ++i) Put(queue, {1});
  EXPECT_EQ(log.Count("[INPUT_QUEUE] Dropped 1 events (queue full)"), 1u);
  open = true;
  // The flood is over and the queue drains: the nine drops after the first line still get theirs.
  EXPECT_TRUE(WaitUntil([&] { return log.Contains("[INPUT_QUEUE] Dropped 9 events (queue full)"); }, 15s));
  EXPECT_EQ(log.Count("[INPUT_QUEUE] Dropped "), 2u);
  queue.Stop();
  EXPECT_EQ(queue.ProcessedCount(), InputQueue::kCapacity + 1);
}

TEST(InputQueue, KeyClickProcessingLinesAreBounded) {
  LogCapture log;
  InputQueue queue([](const std::uint8_t*, std::size_t) {});
  queue.Start();
  for (int i = 0; i < 3000; ++i) Put(queue, {7, 4, 0});
  queue.Stop();
  EXPECT_EQ(queue.ProcessedCount(), 3000u);
  const std::size_t lines = log.Count("[INPUT_QUEUE] Processing: KEYCLICK key=4 mod=0");
  EXPECT_GE(lines, 15u) << "the first five events and the first few KEYCLICKs after them, in full";
  EXPECT_LE(lines, 20u);
}

// AppCore's exit: the injection thread asks the server about sessions; the
// server may go only once that question has been answered and no other comes.
TEST(InputQueueShutdown, SessionProbeInProgressFinishesBeforeItsServerIsDestroyed) {
  struct Sessions {
    std::atomic<bool> any{false};
  };
  RecordingInputManager manager;
  KeyStateTracker tracker;
  InputQueue queue(&manager, &tracker);
  auto server = std::make_unique<Sessions>();
  Sessions* const reached = server.get();
  std::atomic<bool> asking{false}, tearingDown{false}, cleared{false};
  std::atomic<int> askedAfterClearing{0};
  queue.SetSessionProbe(
      [&, reached] {
        if (cleared) ++askedAfterClearing;
        asking = true;
        WaitUntil([&] { return tearingDown.load(); });
        // Time for a teardown that does not wait to destroy the server now.
        std::this_thread::sleep_for(100ms);
        return reached->any.load();  // use after free under ASan if it did
      },
      1ms);
  queue.Start();
  Put(queue, {13, 4, 0});
  ASSERT_TRUE(WaitUntil([&] { return asking.load(); })) << "a held key and the idle time passed";
  tearingDown = true;
  queue.SetSessionProbe(nullptr);
  cleared = true;
  server.reset();
  std::this_thread::sleep_for(600ms);  // two of the injection thread's idle checks
  queue.EnqueueReleaseHeldKeys();
  queue.Stop();
  EXPECT_EQ(askedAfterClearing, 0);
  EXPECT_FALSE(tracker.AnyHeld());
  EXPECT_EQ(manager.Calls(), (Calls{"KeyDown(4,0)", "KeyUp(4,0)"}));
}

}  // namespace
}  // namespace vandrel
