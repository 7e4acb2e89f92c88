// The XTEST mechanism against the X server on $DISPLAY (Xvfb in scripts/test.sh).
#include <gtest/gtest.h>

#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "LogCapture.h"
#include "TempDir.h"
#include "WaitUntil.h"
#include "X11Probe.h"
#include "input/linux/X11InputManager.h"

namespace vandrel::testing {

// Child processes of this one named `name`, running or ended but never waited for.
inline int ChildProcesses(const std::string& name) {
  int count = 0;
  const std::string self = std::to_string(::getpid());
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (name) state ppid ...": the name may hold spaces, so read after the last ')'.
    std::istringstream rest(line.substr(line.rfind(')') + 1));
    std::string state, parent;
    rest >> state >> parent;
    const bool named = line.find("(" + name + ")") != std::string::npos;
    count += named && parent == self ? 1 : 0;
  }
  return count;
}

}  // namespace vandrel::testing

namespace vandrel::InputManager {
namespace {

using testing::LogCapture;
using testing::TempDir;
using testing::X11Probe;

class X11Input : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "DISPLAY is not set; scripts/test.sh starts an Xvfb";
    if (!probe_.usable()) GTEST_SKIP() << "cannot open DISPLAY=" << std::getenv("DISPLAY");
    input_ = X11::Open();
    if (!input_) GTEST_SKIP() << "no XTEST extension on DISPLAY=" << std::getenv("DISPLAY");
    ASSERT_TRUE(probe_.OpenFocusedWindow());
  }

  bool KeyHeld(KeySym keysym) {
    char keys[32] = {};
    XQueryKeymap(probe_.display(), keys);
    const KeyCode code = XKeysymToKeycode(probe_.display(), keysym);
    return code != 0 && (keys[code / 8] & (1 << (code % 8))) != 0;
  }

  X11Probe probe_;
  std::unique_ptr<X11> input_;
};

TEST_F(X11Input, PointerMovesByExactlyTheDelta) {
  probe_.WarpPointer(600, 400);
  input_->MoveRelative(-5, 7);
  ASSERT_TRUE(testing::WaitUntil([&] { return probe_.Pointer() != std::pair(600, 400); }));
  EXPECT_EQ(probe_.Pointer(), std::pair(595, 407));
  input_->MoveRelative(40, -30);
  ASSERT_TRUE(testing::WaitUntil([&] { return probe_.Pointer() != std::pair(595, 407); }));
  EXPECT_EQ(probe_.Pointer(), std::pair(635, 377));
}

TEST_F(X11Input, KeysArriveAsTheCharactersOfAUsLayout) {
  input_->KeyClick(0x04, 0x02);  // Shift+A
  input_->KeyClick(0x2D, 0x00);  // minus
  input_->KeyClick(0x27, 0x00);  // 0
  input_->KeyClick(0x28, 0x00);  // Enter
  ASSERT_TRUE(probe_.WaitForKeyRelease(XK_Return));
  std::vector<std::string> texts = probe_.KeyPressTexts();
  std::erase(texts, "");  // Shift's own press has no text
  EXPECT_EQ(texts, (std::vector<std::string>{"A", "-", "0", "\r"}));
  EXPECT_FALSE(KeyHeld(XK_Shift_L)) << "Shift stayed down after the click";
}

// Xvfb's keymap has no F13: the key gets a spare keycode for as long as the
// manager lives, a new one when another program takes that keycode, and the
// keymap is as before once the manager is gone.
TEST_F(X11Input, KeysMissingFromTheKeymapAreBoundToSpareKeycodes) {
  Display* display = probe_.display();
  ASSERT_EQ(XKeysymToKeycode(display, XK_F13), 0) << "the display already has F13; nothing to bind";
  const auto f13Presses = [&] {
    std::vector<unsigned> codes;
    for (XEvent& e : probe_.events()) {
      if (e.type == KeyPress && XLookupKeysym(&e.xkey, 0) == XK_F13) codes.push_back(e.xkey.keycode);
    }
    probe_.events().clear();
    return codes;
  };
  LogCapture log;
  input_->KeyClick(0x68, 0x00);  // F13
  input_->KeyClick(0x68, 0x00);
  input_->KeyClick(0x7F, 0x00);  // Mute, which the keymap has
  ASSERT_TRUE(probe_.WaitForKeyRelease(XF86XK_AudioMute));
  const std::vector<unsigned> first = f13Presses();
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(log.Count("[SendInput] Bound F13 to spare keycode"), 1u);

  KeySym taken = XK_F14;
  XChangeKeyboardMapping(display, static_cast<int>(first[0]), 1, &taken, 1);
  XSync(display, False);
  input_->KeyClick(0x68, 0x00);
  ASSERT_TRUE(probe_.WaitFor([](const XEvent& e) { return e.type == KeyRelease; }));
  const std::vector<unsigned> second = f13Presses();
  EXPECT_EQ(second.size(), 1u) << "F13 went out on a keycode that is F14 now";

  input_.reset();
  KeySym none = NoSymbol;
  XChangeKeyboardMapping(display, static_cast<int>(first[0]), 1, &none, 1);
  XSync(display, False);
  probe_.WaitFor([](const XEvent&) { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(XKeysymToKeycode(display, XK_F13), 0);
}

TEST_F(X11Input, ClicksReachTheWindowUnderThePointer) {
  input_->LeftClick();
  ASSERT_TRUE(probe_.WaitForButtonRelease(1));
  input_->RightClick();
  ASSERT_TRUE(probe_.WaitForButtonRelease(3));
  input_->MiddleClick();
  ASSERT_TRUE(probe_.WaitForButtonRelease(2));
  std::vector<std::pair<int, unsigned>> seen;
  for (const XEvent& e : probe_.events()) {
    if (e.type == ButtonPress || e.type == ButtonRelease) seen.emplace_back(e.type, e.xbutton.button);
  }
  EXPECT_EQ(seen, (std::vector<std::pair<int, unsigned>>{
                      {ButtonPress, 1}, {ButtonRelease, 1}, {ButtonPress, 3}, {ButtonRelease, 3},
                      {ButtonPress, 2}, {ButtonRelease, 2}}));
}

// A left click after the scrolls marks the point by which every wheel click has arrived.
TEST_F(X11Input, WheelClicksOncePerWholeNotch) {
  input_->Scroll(12);
  input_->LeftClick();
  ASSERT_TRUE(probe_.WaitForButtonRelease(1));
  EXPECT_EQ(probe_.TakeButtonPresses(4), 1);

  for (int i = 0; i < 11; ++i) input_->Scroll(-1);
  input_->LeftClick();
  ASSERT_TRUE(probe_.WaitForButtonRelease(1));
  EXPECT_EQ(probe_.TakeButtonPresses(5), 0) << "eleven tenths of a notch made a click";
  input_->Scroll(-1);
  input_->LeftClick();
  ASSERT_TRUE(probe_.WaitForButtonRelease(1));
  EXPECT_EQ(probe_.TakeButtonPresses(5), 1);

  input_->ScrollHorizontal(-12);
  input_->ScrollHorizontal(25);  // two notches and a half: the half stays for later
  input_->LeftClick();
  ASSERT_TRUE(probe_.WaitForButtonRelease(1));
  const std::vector<XEvent> events = probe_.events();
  EXPECT_EQ(probe_.TakeButtonPresses(6), 1);
  probe_.events() = events;
  EXPECT_EQ(probe_.TakeButtonPresses(7), 2);
  EXPECT_EQ(probe_.TakeButtonPresses(4) + probe_.TakeButtonPresses(5), 0);

  // The most a 32-bit wheel value can ask for is cut to 120 clicks.
  input_->Scroll(std::numeric_limits<std::int32_t>::max());
  input_->LeftClick();
  ASSERT_TRUE(probe_.WaitForButtonRelease(1));
  EXPECT_EQ(probe_.TakeButtonPresses(4), 120);
}

// Zoom leaves a Control that the user holds down as it found it.
TEST_F(X11Input, ZoomSeesControlHeldOnTheKeyboard) {
  input_->KeyDown(0x00, 0x01);  // left Control alone
  ASSERT_TRUE(probe_.WaitFor([](const XEvent& e) { return e.type == KeyPress; }));
  input_->Zoom(1);
  ASSERT_TRUE(probe_.WaitForKeyRelease(XK_equal));
  EXPECT_TRUE(KeyHeld(XK_Control_L));
  input_->KeyUp(0x00, 0x01);
  ASSERT_TRUE(probe_.WaitForKeyRelease(XK_Control_L));

  input_->Zoom(-1);
  ASSERT_TRUE(probe_.WaitForKeyRelease(XK_Control_L));
  EXPECT_FALSE(KeyHeld(XK_Control_L));
}

// Win+L runs `loginctl lock-session` from PATH, never asking for a password on
// our terminal, and nothing is left behind.
TEST(X11InputOpen, FailsWithoutADisplay) { EXPECT_EQ(X11::Open(":999"), nullptr); }

// Every key a phone can name must have an X keysym.
TEST(X11InputKeys, EveryVirtualKeyFromTheHidTableHasAKeysym) {
  for (int usage = 0; usage < 256; ++usage) {
    const std::uint16_t vk = HidUsageToVirtualKey(static_cast<std::uint8_t>(usage));
    if (vk != 0) {
      EXPECT_NE(VirtualKeyToKeysym(vk), 0u) << "HID usage 0x" << std::hex << usage;
    }
  }
  for (const std::uint16_t vk : ModifierVirtualKeys(0xFF)) EXPECT_NE(VirtualKeyToKeysym(vk), 0u) << vk;
}

}  // namespace
}  // namespace vandrel::InputManager
