#include "input/InputQueue.h"

#include <gtest/gtest.h>

#include <thread>

#ifdef __linux__
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "LogCapture.h"
#include "RecordingInputManager.h"
#include "WaitUntil.h"
#include "input/KeyStateTracker.h"

namespace vandrel {
namespace {

using testing::LogCapture;
using testing::RecordingInputManager;
using testing::WaitUntil;
using Calls = std::vector<std::string>;

void Put(InputQueue& queue, std::initializer_list<std::uint8_t> bytes) {
  const std::vector<std::uint8_t> packet(bytes);
  queue.Enqueue(packet.data(), packet.size());
}

TEST(DispatchInputEvent, MapsEveryCommandAndZeroFillsShortOnes) {
  RecordingInputManager manager;
  const std::vector<std::vector<std::uint8_t>> packets = {
      {1}, {2}, {3}, {4}, {5, 3, 0xFC}, {5}, {6, 0xF4}, {7, 4, 2}, {7, 4}, {8, 5}, {9, 0x80}, {10, 7},
      {11, 1, 0x82}, {11, 1}, {12, 'h', 'i'}, {12}, {15}, {21}, {27, 0}, {27, 1}, {27}, {0}, {16}, {28, 1}, {200}};
  for (const auto& p : packets) DispatchInputEvent(manager, nullptr, p.data(), p.size());
  EXPECT_EQ(manager.Calls(), (Calls{"LeftClick", "RightClick", "LeftDown", "LeftUp", "MoveRelative(-3,4)",
                                    "MoveRelative(0,0)", "Scroll(-12)", "KeyClick(4,2)", "KeyClick(4,0)",
                                    "ScrollHorizontal(5)", "Zoom(-128)", "Media(7)", "SystemControl(1,130)",
                                    "SetClipboardText(hi)", "SetClipboardText()", "MiddleClick", "DoubleClick",
                                    "BrightnessStep(up)", "BrightnessStep(down)"}));
}

TEST(InputQueue, KeepsOrderOfEveryProducer) {
  RecordingInputManager manager;
  KeyStateTracker tracker;
  InputQueue queue(&manager, &tracker);
  queue.Start();
  std::vector<std::thread> producers;
  for (std::uint8_t p = 0; p < 4; ++p) {
    producers.emplace_back([&queue, p] {
      for (std::uint8_t i = 0; i < 100; ++i) Put(queue, {7, p, i});
    });
  }
  for (auto& t : producers) t.join();
  queue.Stop();
  const auto calls = manager.Calls();
  ASSERT_EQ(calls.size(), 400u);
  std::vector<int> last(4, -1);
  for (const auto& call : calls) {
    const int producer = std::stoi(call.substr(9));
    const int sequence = std::stoi(call.substr(call.find(',') + 1));
    EXPECT_EQ(sequence, last[producer] + 1) << call;
    last[producer] = sequence;
  }
  EXPECT_EQ(queue.EnqueuedCount(), 400u);
  EXPECT_EQ(queue.ProcessedCount(), 400u);
}

TEST(InputQueue, StopInjectsEverythingQueuedFirst) {
  LogCapture log;
  std::atomic<int> done{0};
  InputQueue queue([&](const std::uint8_t*, std::size_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ++done;
  });
  for (int i = 0; i < 20; ++i) Put(queue, {1});
  queue.Start();
  queue.Stop();
  EXPECT_EQ(done, 20);
  EXPECT_TRUE(log.Contains("[INPUT_QUEUE] Stopped. Enqueued: 20, Processed: 20"));
  EXPECT_EQ(log.Count("[INPUT_QUEUE] Enqueued: LCLICK"), 5u);
  EXPECT_EQ(log.Count("[INPUT_QUEUE] Processing: LCLICK"), 5u);
}

TEST(InputQueue, FaultsAreLoggedAndSwallowed) {
  LogCapture log;
  RecordingInputManager manager;
  manager.throwOn = "RightClick";
  KeyStateTracker tracker;
  InputQueue queue(&manager, &tracker);
  int offered = 0;
  queue.SetInjectHandler([&](const std::uint8_t* bytes, std::size_t) {
    ++offered;
    if (bytes[0] == 3) throw std::runtime_error("pipe broke");
    return bytes[0] == 4;  // the handler takes UP itself
  });
  queue.Start();
  for (std::uint8_t code : {2, 3, 4, 1, 7, 7, 7, 7, 7, 7}) Put(queue, {code, 4, 0});
  queue.Stop();
  EXPECT_EQ(offered, 10);
  // RightClick crashed, DOWN went on to the manager despite its handler crash, UP was taken.
  const Calls calls = manager.Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0], "LeftDown");
  EXPECT_EQ(calls[1], "LeftClick");
  EXPECT_EQ(log.Count("[INPUT_QUEUE][FATAL] inputmanager.execute crashed, SEH code=0xe06d7363. Swallowed to keep "
                      "server alive."),
            1u);
  EXPECT_EQ(log.Count("[INPUT_QUEUE][FATAL] injectHandler crashed, SEH code=0xe06d7363."), 1u);
  EXPECT_EQ(log.Count("[INPUT_QUEUE] Processing: KEYCLICK key=4 mod=0"), 6u) << "every KEYCLICK is logged";
}

TEST(InputQueue, HeldKeysAreReleasedWhenTheirPhoneIsGone) {
  RecordingInputManager manager;
  KeyStateTracker tracker;
  InputQueue queue(&manager, &tracker);
  queue.Start();
  Put(queue, {13, 0x04, 0x02});
  Put(queue, {13, 0x51, 0x00});
  Put(queue, {13, 0x06, 0x01});
  Put(queue, {14, 0x06, 0x01});
  queue.EnqueueReleaseHeldKeys();
  queue.EnqueueReleaseHeldKeys();  // nothing left to release
  queue.Stop();
  EXPECT_EQ(manager.Calls(), (Calls{"KeyDown(4,2)", "KeyDown(81,0)", "KeyDown(6,1)", "KeyUp(6,1)", "KeyUp(4,0)",
                                    "KeyUp(81,0)", "KeyUp(0,2)"}));
  EXPECT_FALSE(tracker.AnyHeld());
}

TEST(InputQueue, HeldKeysAreReleasedAfterIdleTimeWithoutSessions) {
  RecordingInputManager manager;
  KeyStateTracker tracker;
  InputQueue queue(&manager, &tracker);
  std::atomic<bool> sessions{true};
  queue.SetSessionProbe([&] { return sessions.load(); }, std::chrono::milliseconds(300));
  queue.Start();
  Put(queue, {13, 0x04, 0x00});
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_EQ(manager.Calls().size(), 1u) << "a connected phone may hold a key as long as it likes";
  sessions = false;
  EXPECT_TRUE(WaitUntil([&] { return manager.Calls().size() == 2; }));
  EXPECT_EQ(manager.Calls().back(), "KeyUp(4,0)");
  queue.Stop();
}

#ifdef __linux__
// A loopback datagram socket the queue's own thread reads, as the server's input socket.
class DatagramSource {
 public:
  DatagramSource() : receiver_(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0)), sender_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(receiver_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(receiver_, reinterpret_cast<sockaddr*>(&address), &length);
    ::connect(sender_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~DatagramSource() {
    ::close(receiver_);
    ::close(sender_);
  }
  int Fd() const { return receiver_; }
  void Send(std::initializer_list<std::uint8_t> bytes) {
    const std::vector<std::uint8_t> datagram(bytes);
    ::send(sender_, datagram.data(), datagram.size(), 0);
  }
  // What the handler does: everything waiting goes into the queue.
  void ReadInto(InputQueue& queue) {
    ++reads;
    reader = std::this_thread::get_id();
    std::uint8_t buffer[64];
    for (ssize_t n; (n = ::recv(receiver_, buffer, sizeof buffer, 0)) > 0;) {
      queue.Enqueue(buffer, static_cast<std::size_t>(n));
    }
  }
  std::atomic<int> reads{0};
  std::thread::id reader;

 private:
  int receiver_;
  int sender_;
};

TEST(InputQueueSource, TheInjectionThreadReadsTheSocketAndStillTakesOtherProducers) {
  RecordingInputManager manager;
  KeyStateTracker tracker;
  InputQueue queue(&manager, &tracker);
  DatagramSource source;
  EXPECT_FALSE(queue.AttachSource(source.Fd(), [&] { source.ReadInto(queue); })) << "not running yet";
  queue.Start();
  ASSERT_TRUE(queue.AttachSource(source.Fd(), [&] { source.ReadInto(queue); }));
  EXPECT_FALSE(queue.AttachSource(source.Fd(), [] {})) << "one source at a time";

  source.Send({7, 4, 0});
  ASSERT_TRUE(WaitUntil([&] { return manager.Calls().size() == 1; }));
  // The thread waits on the socket now; a producer elsewhere must still wake it.
  Put(queue, {1});
  ASSERT_TRUE(WaitUntil([&] { return manager.Calls().size() == 2; }));
  source.Send({7, 5, 0});
  ASSERT_TRUE(WaitUntil([&] { return manager.Calls().size() == 3; }));
  EXPECT_EQ(manager.Calls(), (Calls{"KeyClick(4,0)", "LeftClick", "KeyClick(5,0)"}));
  EXPECT_NE(source.reader, std::this_thread::get_id());

  queue.DetachSource();
  const int reads = source.reads.load();
  source.Send({7, 6, 0});
  Put(queue, {2});
  ASSERT_TRUE(WaitUntil([&] { return manager.Calls().size() == 4; }));
  EXPECT_EQ(manager.Calls().back(), "RightClick") << "a detached socket is not read";
  EXPECT_EQ(source.reads.load(), reads);
  queue.Stop();
}

TEST(InputQueueSource, HeldKeysAreStillReleasedWhileWaitingOnTheSocket) {
  RecordingInputManager manager;
  KeyStateTracker tracker;
  InputQueue queue(&manager, &tracker);
  DatagramSource source;
  queue.SetSessionProbe([] { return false; }, std::chrono::milliseconds(200));
  queue.Start();
  ASSERT_TRUE(queue.AttachSource(source.Fd(), [&] { source.ReadInto(queue); }));
  source.Send({13, 0x04, 0x00});
  EXPECT_TRUE(WaitUntil([&] { return manager.Calls().size() == 2; }));
  EXPECT_EQ(manager.Calls(), (Calls{"KeyDown(4,0)", "KeyUp(4,0)"}));
  queue.DetachSource();
  queue.Stop();
}
#endif

}  // namespace
}  // namespace vandrel
