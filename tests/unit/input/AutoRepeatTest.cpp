// Auto-repeat runs in real time: these tests hold keys for fractions of a
// second and count the repeats with bounds wide enough for a loaded machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "RecordingInjector.h"

namespace vandrel {
namespace {

using namespace std::chrono_literals;
using testing::RecordingInjector;

const std::string kDownArrow = "batch +28(ext)";
const std::string kShiftA = "batch +A0 +41";
const std::string kB = "batch +42";

// The batches alone, without attach and detach.
std::vector<std::string> Batches(const RecordingInjector& injector) {
  std::vector<std::string> batches;
  for (auto& line : injector.Transcript()) {
    if (line.rfind("batch", 0) == 0) batches.push_back(std::move(line));
  }
  return batches;
}

TEST(InjectorAutoRepeat, HeldKeyRepeatsAfterHalfASecondUntilReleased) {
  RecordingInjector injector;
  const auto start = std::chrono::steady_clock::now();
  injector.KeyDown(0x51, 0x00);
  std::this_thread::sleep_for(1s);
  injector.KeyUp(0x51, 0x00);
  const auto held = std::chrono::steady_clock::now() - start;
  std::this_thread::sleep_for(100ms);

  const auto batches = Batches(injector);
  ASSERT_GE(batches.size(), 2u);
  EXPECT_EQ(batches.front(), kDownArrow);
  EXPECT_EQ(batches.back(), "batch -28(ext)");  // nothing repeats after the release
  const auto repeats = static_cast<long>(std::count(batches.begin() + 1, batches.end() - 1, kDownArrow));
  EXPECT_EQ(repeats, static_cast<long>(batches.size()) - 2);
  // Nominally 12 over the second half of the second; a late wake-up loses some.
  const long most = (std::chrono::duration_cast<std::chrono::milliseconds>(held).count() - 500) / 40 + 2;
  EXPECT_GE(repeats, 6);
  EXPECT_LE(repeats, std::max(most, 20L));

  // Every repeat reaches the foreground window like the first press.
  const auto transcript = injector.Transcript();
  EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "attach"), static_cast<long>(batches.size()));
  EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "detach"), static_cast<long>(batches.size()));
}

TEST(InjectorAutoRepeat, ReleaseWithinTheDelayMeansNoRepeat) {
  RecordingInjector injector;
  const auto start = std::chrono::steady_clock::now();
  injector.KeyDown(0x04, 0x02);
  std::this_thread::sleep_for(200ms);
  injector.KeyUp(0x04, 0x02);
  const auto held = std::chrono::steady_clock::now() - start;
  std::this_thread::sleep_for(500ms);
  // Only meaningful when this thread really released within the delay.
  if (held < 450ms) {
    EXPECT_EQ(Batches(injector).size(), 2u);
  }
}

TEST(InjectorAutoRepeat, NewKeyDownReplacesTheRepeatingKey) {
  RecordingInjector injector;
  injector.KeyDown(0x04, 0x02);
  std::this_thread::sleep_for(650ms);
  injector.KeyDown(0x05, 0x00);  // Shift+A still held on the phone, B joins
  std::this_thread::sleep_for(650ms);
  injector.KeyUp(0x05, 0x00);

  const auto batches = Batches(injector);
  const auto firstB = std::find(batches.begin(), batches.end(), kB);
  ASSERT_NE(firstB, batches.end());
  // Shift+A repeated (modifiers included) until B went down, never after.
  EXPECT_GE(firstB - batches.begin(), 2);
  EXPECT_TRUE(std::all_of(batches.begin(), firstB, [](const std::string& b) { return b == kShiftA; }));
  EXPECT_TRUE(std::all_of(firstB, batches.end() - 1, [](const std::string& b) { return b == kB; }));
  EXPECT_GE(batches.end() - 1 - firstB, 2);
}

TEST(InjectorAutoRepeat, StopsPromptlyWhenTheManagerGoes) {
  auto injector = std::make_unique<RecordingInjector>();
  injector->KeyDown(0x51, 0x00);
  const auto start = std::chrono::steady_clock::now();
  injector.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 400ms);
}

}  // namespace
}  // namespace vandrel
