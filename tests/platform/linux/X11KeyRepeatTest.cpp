// A key held through the XTEST manager repeats in a real window at the
// program's pace, whatever the server's own auto-repeat is set to.
#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <cstdlib>
#include <thread>

#include "WaitUntil.h"
#include "X11Probe.h"
#include "input/linux/X11InputManager.h"

namespace vandrel::InputManager {
namespace {

using namespace std::chrono_literals;
using testing::X11Probe;

constexpr std::uint8_t kUsageA = 0x04;
constexpr std::uint8_t kShift = 0x02;

class X11KeyRepeat : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "DISPLAY is not set; scripts/test.sh starts an Xvfb";
    if (!probe_.usable()) GTEST_SKIP() << "cannot open DISPLAY=" << std::getenv("DISPLAY");
    input_ = X11::Open();
    if (!input_) GTEST_SKIP() << "no XTEST extension on DISPLAY=" << std::getenv("DISPLAY");
    ASSERT_TRUE(probe_.OpenFocusedWindow());
    XGetKeyboardControl(probe_.display(), &saved_);
    keycode_ = XKeysymToKeycode(probe_.display(), XK_a);
  }
  void TearDown() override {
    if (!probe_.usable()) return;
    saved_.global_auto_repeat == AutoRepeatModeOn ? XAutoRepeatOn(probe_.display()) : XAutoRepeatOff(probe_.display());
    SetKeyRepeat(KeyRepeats(saved_));
  }

  bool KeyRepeats(const XKeyboardState& state) const {
    return (state.auto_repeats[keycode_ / 8] & (1 << (keycode_ % 8))) != 0;
  }
  bool KeyRepeatsNow() {
    XKeyboardState state{};
    XGetKeyboardControl(probe_.display(), &state);
    return KeyRepeats(state);
  }
  void SetKeyRepeat(bool on) {
    XKeyboardControl control{};
    control.key = static_cast<int>(keycode_);
    control.auto_repeat_mode = on ? AutoRepeatModeOn : AutoRepeatModeOff;
    XChangeKeyboardControl(probe_.display(), KBKey | KBAutoRepeatMode, &control);
    XSync(probe_.display(), False);
  }

  struct Seen {
    std::vector<Time> presses;  // server times of the key's presses
    int modifierPresses = 0;
    std::size_t shiftedPresses = 0;
    bool releasedLast = false;
    bool serverRepeatedDuringHold = true;  // the key's own auto-repeat, just before the release
  };

  // Holds A (with `modifiers`) for about a second, then watches 300 ms more.
  Seen Hold(std::uint8_t modifiers) {
    input_->KeyDown(kUsageA, modifiers);
    std::this_thread::sleep_for(1000ms);
    const bool serverRepeated = KeyRepeatsNow();
    input_->KeyUp(kUsageA, modifiers);
    const auto release = [](const XEvent& e) {
      XKeyEvent key = e.xkey;
      return e.type == KeyRelease && IsModifierKey(XLookupKeysym(&key, 0));
    };
    EXPECT_TRUE(modifiers ? probe_.WaitFor(release) : probe_.WaitForKeyRelease(XK_a));
    probe_.WaitFor([](const XEvent&) { return false; }, 300ms);
    Seen seen;
    seen.serverRepeatedDuringHold = serverRepeated;
    for (const XEvent& e : probe_.events()) {
      if (e.type != KeyPress && e.type != KeyRelease) continue;
      if (e.xkey.keycode == keycode_) {
        if (e.type == KeyPress) seen.presses.push_back(e.xkey.time);
        if (e.type == KeyPress && (e.xkey.state & ShiftMask) != 0) ++seen.shiftedPresses;
        seen.releasedLast = e.type == KeyRelease;
      } else if (e.type == KeyPress) {
        ++seen.modifierPresses;
      }
    }
    probe_.events().clear();
    return seen;
  }

  // About 1 + 12 presses in the second, at 500 ms and then every 40 ms; the
  // bounds are loose for a loaded machine, but the server repeating as well
  // would show as presses too close together.
  static void ExpectProgramsPace(const Seen& seen) {
    ASSERT_GE(seen.presses.size(), 8u);
    EXPECT_LE(seen.presses.size(), 16u);
    EXPECT_GE(seen.presses[1] - seen.presses[0], 450u) << "the first repeat came early";
    for (std::size_t i = 2; i < seen.presses.size(); ++i) {
      EXPECT_GE(seen.presses[i] - seen.presses[i - 1], 20u) << "presses " << i - 1 << " and " << i;
    }
    EXPECT_TRUE(seen.releasedLast) << "a press came after the key was let go";
  }

  X11Probe probe_;
  std::unique_ptr<X11> input_;
  XKeyboardState saved_{};
  unsigned keycode_ = 0;
};

TEST_F(X11KeyRepeat, HeldKeyRepeatsAtTheProgramsPaceWithServerRepeatOn) {
  XAutoRepeatOn(probe_.display());
  SetKeyRepeat(true);
  const Seen seen = Hold(0);
  ExpectProgramsPace(seen);
  EXPECT_FALSE(seen.serverRepeatedDuringHold) << "the server could repeat the held key as well";
  EXPECT_TRUE(KeyRepeatsNow()) << "the key's own auto-repeat was not given back";
}

TEST_F(X11KeyRepeat, HeldKeyRepeatsWithServerRepeatOff) {
  XAutoRepeatOff(probe_.display());
  XSync(probe_.display(), False);
  ExpectProgramsPace(Hold(0));
}

// Shift is pressed once; the repeats are of A alone, still shifted.
TEST_F(X11KeyRepeat, ModifiersHeldWithTheKeyAreNotPressedAgain) {
  const Seen seen = Hold(kShift);
  ExpectProgramsPace(seen);
  EXPECT_EQ(seen.modifierPresses, 1);
  EXPECT_EQ(seen.shiftedPresses, seen.presses.size());
}

// A key the user set not to repeat stays so after our hold.
TEST_F(X11KeyRepeat, KeyWithoutAutoRepeatStaysWithout) {
  SetKeyRepeat(false);
  ExpectProgramsPace(Hold(0));
  EXPECT_FALSE(KeyRepeatsNow());
}

}  // namespace
}  // namespace vandrel::InputManager
