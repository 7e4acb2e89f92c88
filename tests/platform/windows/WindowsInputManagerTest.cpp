// Under wine there may be no desktop to receive input, so SendInput may take
// the records or refuse them; these tests check that the records reach it and
// that the manager reacts to whatever it answers.
#include "input/windows/WindowsInputManager.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "input/PlatformInputManager.h"

namespace vandrel::InputManager {
namespace {

// The real mechanism, with each batch's size and SendInput's answer written down.
class ProbedWindows final : public Windows {
 public:
  ~ProbedWindows() override { StopAutoRepeat(); }

  struct Call {
    std::size_t records;
    unsigned result;
  };
  std::vector<Call> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 protected:
  unsigned SendBatch(std::span<const InputRecord> batch) override {
    const unsigned result = Windows::SendBatch(batch);
    std::lock_guard lock(mutex_);
    calls_.push_back({batch.size(), result});
    return result;
  }

 private:
  std::mutex mutex_;
  std::vector<Call> calls_;
};

TEST(WindowsInput, OperationsReachSendInput) {
  testing::LogCapture log;
  ProbedWindows windows;
  windows.MoveRelative(0, 0);
  windows.LeftClick();
  windows.KeyClick(0x73, 0x02);  // Shift+F24: a key nothing answers to

  const auto calls = windows.Calls();
  std::vector<std::size_t> sizes;
  for (const auto& call : calls) {
    sizes.push_back(call.records);
    EXPECT_LE(call.result, call.records);
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{1, 1, 1, 2, 1}));
  windows.Zoom(1);  // asks the real keyboard whether Control is held

  if (DumpEnabled()) {
    EXPECT_TRUE(log.Contains("[SendInput] MOUSE MOVE(0,0) "));
    EXPECT_TRUE(log.Contains("[SendInput] MOUSE LEFTDOWN LEFTUP "));
    EXPECT_EQ(log.Count("[SendInput] KEYDOWN VK=LShift (0xa0)"), 1u);
    EXPECT_EQ(log.Count("[SendInput] KEYUP VK=VK_135 (0x87)"), 1u);
    EXPECT_EQ(log.Count("[SendInput] KEYDOWN VK=+ (0xbb)"), 1u);
  }
}

TEST(WindowsInput, DoubleClickWarnsExactlyWhenSendInputRefuses) {
  testing::LogCapture log;
  ProbedWindows windows;
  windows.DoubleClick();
  const auto calls = windows.Calls();
  ASSERT_EQ(calls.size(), 2u);
  const bool refused = calls[0].result == 0 || calls[1].result == 0;
  EXPECT_EQ(log.Contains("[SendInput] WARNING: double_click injection failed ret1=" + std::to_string(calls[0].result) +
                         " ret2=" + std::to_string(calls[1].result)),
            refused);
}

TEST(WindowsInput, PlatformManagerIsTheSendInputOne) {
  auto manager = MakePlatformInputManager();
  EXPECT_NE(dynamic_cast<Windows*>(manager.get()), nullptr);
}

}  // namespace
}  // namespace vandrel::InputManager
