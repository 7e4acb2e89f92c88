// The virtual pointer and keyboard against a real headless sway, with wev as
// the focused client whose event lines show what arrived; and the choice of
// backend at start against sway, a compositor without the protocols and none.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <wayland-server-core.h>
#include <xkbcommon/xkbcommon.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "LogCapture.h"
#include "SwaySession.h"
#include "WaitUntil.h"
#include "input/PlatformInputManager.h"
#include "input/linux/WaylandInputManager.h"
#include "input/linux/WaylandKeymap.h"
#include "input/linux/X11InputManager.h"

namespace vandrel::InputManager {
namespace {

namespace fs = std::filesystem;
using testing::LogCapture;
using testing::ReadWholeFile;
using testing::Sway;
using testing::WaitUntil;
using testing::Wev;

constexpr std::uint8_t kUsageA = 0x04;
constexpr std::uint8_t kUsageB = 0x05;
constexpr std::uint8_t kUsageF13 = 0x68;
constexpr std::uint8_t kShift = 0x02;
constexpr std::uint8_t kMediaPlay = 0x10;
constexpr const char* kPressedA = "key: 38; state: 1 (pressed)";
constexpr const char* kReleasedA = "key: 38; state: 0 (released)";

// Sets an environment variable (null: unsets it) for one scope.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedVariable() { saved_ ? ::setenv(name_, saved_->c_str(), 1) : ::unsetenv(name_); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

// A Wayland compositor with no globals at all, as far as our backend cares
// like one without the virtual pointer and keyboard (GNOME, KDE).
class BareCompositor {
 public:
  BareCompositor() : display_(wl_display_create()) {
    path_ = fs::temp_directory_path() / ("vandrel-bare-wayland-" + std::to_string(::getpid()));
    fs::remove(path_);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0 ||
        wl_display_add_socket_fd(display_, fd) != 0) {
      ADD_FAILURE() << "cannot listen on " << path_ << ": " << std::strerror(errno);
      return;
    }
    serving_ = std::thread([this] {
      wl_event_loop* loop = wl_display_get_event_loop(display_);
      while (!quit_) {
        wl_event_loop_dispatch(loop, 20);
        wl_display_flush_clients(display_);
      }
    });
  }
  ~BareCompositor() {
    quit_ = true;
    if (serving_.joinable()) serving_.join();
    // A client whose hang-up the loop had not seen yet would outlive the display.
    wl_display_destroy_clients(display_);
    wl_display_destroy(display_);
    fs::remove(path_);
  }
  BareCompositor(const BareCompositor&) = delete;
  BareCompositor& operator=(const BareCompositor&) = delete;

  const fs::path& path() const { return path_; }

 private:
  wl_display* display_;
  fs::path path_;
  std::atomic<bool> quit_{false};
  std::thread serving_;
};

class WaylandInput : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = Sway::Unavailable(); !why.empty()) GTEST_SKIP() << why;
    sway_ = std::make_unique<Sway>();
    ASSERT_TRUE(sway_->Start()) << ReadWholeFile(sway_->log());
    input_ = Wayland::Open(sway_->socket().c_str());
    ASSERT_TRUE(input_) << "the backend did not open on " << sway_->socket();
    ASSERT_TRUE(StartWev(*input_));
  }

  // To the output's corner, then well inside wev's window, which fills the output.
  bool StartWev(Base& input) {
    return wev_.Start(*sway_,
                      [&] {
                        input.MoveRelative(-5000, -5000);
                        input.MoveRelative(640, 360);
                      }) &&
           WaitUntil([&] { return wev_.LastPointerPosition() == std::pair(640.0, 360.0); });
  }
  bool ClipboardHolds(const std::string& text) { return sway_->Run({"wl-paste", "--no-newline"}) == text; }

  std::unique_ptr<Sway> sway_;
  std::unique_ptr<Wayland> input_;
  Wev wev_;
};

TEST_F(WaylandInput, PointerMovesClicksAndScrolls) {
  const auto start = wev_.LastPointerPosition();
  ASSERT_TRUE(start);
  input_->MoveRelative(7, -3);
  ASSERT_TRUE(WaitUntil([&] { return wev_.LastPointerPosition() != start; })) << wev_.Text();
  EXPECT_EQ(wev_.LastPointerPosition(), std::pair(start->first + 7, start->second - 3));

  input_->LeftClick();
  ASSERT_TRUE(wev_.WaitFor("button: 272 (left), state: 0 (released)")) << wev_.Text();
  EXPECT_EQ(wev_.Count("button: 272 (left), state: 1 (pressed)"), 1u);
  input_->RightClick();
  ASSERT_TRUE(wev_.WaitFor("button: 273 (right), state: 0 (released)")) << wev_.Text();

  // One notch up is a negative vertical step; half notches add up to one.
  input_->Scroll(12);
  ASSERT_TRUE(wev_.WaitFor("discrete: -1")) << wev_.Text();
  EXPECT_TRUE(wev_.Text().find("axis: 0 (vertical), value: -15") != std::string::npos) << wev_.Text();
  input_->Scroll(-6);
  input_->Scroll(-6);
  ASSERT_TRUE(wev_.WaitFor("discrete: 1")) << wev_.Text();
  input_->ScrollHorizontal(24);
  ASSERT_TRUE(wev_.WaitFor("axis: 1 (horizontal), value: 30")) << wev_.Text();
  EXPECT_EQ(wev_.Count("discrete: 2"), 1u);
}

TEST_F(WaylandInput, KeysArriveWithTheirKeysymsAndModifiers) {
  LogCapture log;
  input_->KeyClick(kUsageA, 0);
  ASSERT_TRUE(wev_.WaitFor("sym: a ")) << wev_.Text();
  ASSERT_TRUE(wev_.WaitFor(kReleasedA)) << wev_.Text();
  EXPECT_EQ(wev_.Count(kPressedA), 1u) << wev_.Text();

  // Shift reaches the client as modifier state, so the same key is an A.
  input_->KeyClick(kUsageA, kShift);
  ASSERT_TRUE(wev_.WaitFor("sym: A ")) << wev_.Text();
  ASSERT_TRUE(wev_.WaitFor("depressed: 00000000", 2)) << wev_.Text();

  input_->Media(kMediaPlay);
  ASSERT_TRUE(wev_.WaitFor("sym: XF86AudioPlay")) << wev_.Text();
  // The layout has no F13 (its key is XF86Tools): a spare keycode gets it, once.
  input_->KeyClick(kUsageF13, 0);
  ASSERT_TRUE(wev_.WaitFor("sym: F13 ")) << wev_.Text();
  input_->KeyClick(kUsageF13, 0);
  ASSERT_TRUE(wev_.WaitFor("sym: F13 ", 4)) << wev_.Text();
  EXPECT_EQ(log.Count("Bound F13 to spare keycode"), 1u);
  // The keymap that took F13 still has every other key.
  input_->KeyClick(kUsageA, 0);
  ASSERT_TRUE(wev_.WaitFor("sym: a ", 4)) << wev_.Text();
}

TEST_F(WaylandInput, HeldKeyRepeatsUntilReleased) {
  input_->KeyDown(kUsageA, 0);
  ASSERT_TRUE(wev_.WaitFor(kPressedA, 4)) << wev_.Text();
  input_->KeyUp(kUsageA, 0);
  // A key typed after the release comes after anything the held key still sent.
  input_->KeyClick(kUsageB, 0);
  ASSERT_TRUE(wev_.WaitFor("key: 56; state: 0 (released)")) << wev_.Text();
  const std::string events = wev_.Text();
  EXPECT_EQ(wev_.Count(kPressedA), wev_.Count(kReleasedA)) << events;
  EXPECT_LT(events.rfind(kReleasedA), events.find("key: 56; state: 1 (pressed)")) << events;
  EXPECT_LT(events.rfind(kPressedA), events.rfind(kReleasedA)) << events;
}

TEST_F(WaylandInput, ClipboardTextReadsBack) {
  if (!testing::OnPath("wl-copy") || !testing::OnPath("wl-paste")) GTEST_SKIP() << "wl-clipboard is not installed";
  const std::string text = "h\xC3\xA9llo";
  input_->SetClipboardText(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  EXPECT_TRUE(WaitUntil([&] { return ClipboardHolds(text); })) << sway_->Run({"wl-paste", "--no-newline"});
}

// wl-copy waits for a compositor that does not answer: a phone's texts must not pile up processes.
TEST_F(WaylandInput, ClipboardKeepsAFewCopiersAtMost) {
  if (!testing::OnPath("wl-copy") || !testing::OnPath("wl-paste")) GTEST_SKIP() << "wl-clipboard is not installed";
  LogCapture log;
  sway_->Pause();
  for (int i = 0; i < 7; ++i) {
    const std::string text = "text " + std::to_string(i);
    input_->SetClipboardText(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  }
  // Four started, three dropped.
  EXPECT_EQ(log.Count("4 wl-copy still running; clipboard text dropped"), 3u);
  sway_->Resume();
  // Once the waiting ones are done the next text gets through again.
  const std::string last = "after";
  EXPECT_TRUE(WaitUntil([&] {
    input_->SetClipboardText(reinterpret_cast<const std::uint8_t*>(last.data()), last.size());
    return ClipboardHolds(last);
  })) << sway_->Run({"wl-paste", "--no-newline"});
}

TEST_F(WaylandInput, SurvivesTheCompositorAndReconnects) {
  LogCapture log;
  EXPECT_EQ(Wayland::Probe(sway_->socket().c_str()), WaylandSession::kUsable);
  sway_->Kill();
  EXPECT_EQ(Wayland::Probe(sway_->socket().c_str()), WaylandSession::kNone);
  for (int i = 0; i < 3; ++i) {
    input_->MoveRelative(1, 1);
    input_->KeyClick(kUsageA, 0);
  }
  ASSERT_TRUE(WaitUntil([&] {
    input_->MoveRelative(1, 1);
    return log.Contains("Lost the Wayland compositor");
  }));
  input_->KeyClick(kUsageA, 0);
  EXPECT_EQ(log.Count("Lost the Wayland compositor"), 1u);

  ASSERT_TRUE(sway_->Start()) << ReadWholeFile(sway_->log());
  // At most one attempt a second: input keeps coming until one finds the new sway.
  ASSERT_TRUE(WaitUntil([&] {
    input_->MoveRelative(0, 0);
    return log.Contains("is back; input goes to it again");
  }));
  EXPECT_EQ(log.Count("is back"), 1u);
  ASSERT_TRUE(StartWev(*input_));
  input_->KeyClick(kUsageA, 0);
  EXPECT_TRUE(wev_.WaitFor("sym: a ")) << wev_.Text();
  EXPECT_EQ(log.Count("Lost the Wayland compositor"), 1u);
}

// The program's own choice at start: a wlroots session takes the Wayland backend, not XTest.
TEST_F(WaylandInput, StartTakesTheCompositorOfTheSession) {
  LogCapture log;
  const ScopedVariable wayland("WAYLAND_DISPLAY", sway_->socket().c_str());
  auto chosen = MakePlatformInputManager();
  ASSERT_TRUE(chosen);
  EXPECT_EQ(log.Count("[INPUT] Input goes to the Wayland compositor on " + sway_->socket().string() +
                      " through its virtual pointer and keyboard"),
            1u);
  EXPECT_EQ(InputReachText(), "Wayland (virtual pointer and keyboard)");
  input_.reset();
  chosen->KeyClick(kUsageA, 0);
  EXPECT_TRUE(wev_.WaitFor("sym: a ")) << wev_.Text();
}

TEST(WaylandProbe, NoCompositorOnAMissingSocket) {
  LogCapture log;
  const std::string missing = "/tmp/vandrel-no-such-wayland-socket";
  EXPECT_EQ(Wayland::Probe(missing.c_str()), WaylandSession::kNone);
  EXPECT_EQ(Wayland::Open(missing.c_str()), nullptr);
  EXPECT_EQ(log.Count("No Wayland compositor answers on " + missing), 1u);
}

TEST(WaylandProbe, CompositorWithoutTheProtocols) {
  LogCapture log;
  BareCompositor bare;
  EXPECT_EQ(Wayland::Probe(bare.path().c_str()), WaylandSession::kWithoutProtocols);
  EXPECT_EQ(Wayland::Open(bare.path().c_str()), nullptr);
  EXPECT_EQ(log.Count("The Wayland compositor on " + bare.path().string() + " lacks a seat"), 1u);
}

// Without a usable compositor the X display (XWayland there) takes the input, saying it reaches X11 windows only.
class WaylandFallback : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    xUsable_ = display && X11::Open() != nullptr;
    if (display) display_ = display;
  }
  // The manager made with these variables, and the one "[INPUT] " line it logged.
  std::string Choose(const char* wayland, const char* display) {
    LogCapture log;
    const ScopedVariable waylandVariable("WAYLAND_DISPLAY", wayland);
    const ScopedVariable displayVariable("DISPLAY", display);
    EXPECT_TRUE(MakePlatformInputManager());
    EXPECT_EQ(log.Count("[INPUT] "), 1u);
    for (const auto& line : log.Lines()) {
      if (const auto at = line.find("[INPUT] "); at != std::string::npos) return line.substr(at + 8);
    }
    return {};
  }

  bool xUsable_ = false;
  std::string display_;
  const std::string missing_ = "/tmp/vandrel-no-such-wayland-socket";
};

TEST_F(WaylandFallback, CompositorWithoutTheProtocolsGoesThroughXWayland) {
  BareCompositor bare;
  const std::string lacks = "The Wayland compositor on " + bare.path().string() +
                            " has no virtual pointer and keyboard protocols";
  if (xUsable_) {
    EXPECT_EQ(Choose(bare.path().c_str(), display_.c_str()),
              lacks + ": input goes through XTest to XWayland ($DISPLAY=" + display_ +
                  ") and reaches X11 windows only");
    EXPECT_EQ(InputReachText(), "XWayland (XTest): X11 windows only");
  }
  EXPECT_EQ(Choose(bare.path().c_str(), ":999"),
            "No usable display (the" + lacks.substr(3) + ", $DISPLAY=:999): input is only logged");
  EXPECT_EQ(InputReachText(), "none (no display): only logged");
}

TEST_F(WaylandFallback, UnreachableCompositorFallsBackToX11OrLogging) {
  if (xUsable_) {
    EXPECT_EQ(Choose(missing_.c_str(), display_.c_str()),
              "No Wayland compositor answers on " + missing_ + ": input goes through XTest to XWayland ($DISPLAY=" +
                  display_ + ") and reaches X11 windows only");
    // An X11 session keeps its words.
    EXPECT_EQ(Choose(nullptr, display_.c_str()), "Input goes to the X11 display through XTest");
    EXPECT_EQ(InputReachText(), "X11 (XTest)");
  }
  EXPECT_EQ(Choose(missing_.c_str(), ":999"),
            "No usable display (no Wayland compositor answers on " + missing_ + ", $DISPLAY=:999): input is only logged");
  EXPECT_EQ(Choose("", ":999"), "No usable display ($DISPLAY=:999): input is only logged");
  if (!xUsable_) GTEST_SKIP() << "the cases with an X display need DISPLAY (scripts/test.sh starts an Xvfb)";
}

// Without a compositor: the keymap's spare keycodes and its modifier state.
TEST(WaylandKeymap, SpareKeycodesRunOutAndTheOldestBindingMakesRoom) {
  LogCapture log;
  WaylandKeymap keymap;
  ASSERT_TRUE(keymap.ok());
  bool changed = true;
  const unsigned a = keymap.KeycodeFor(XKB_KEY_a, changed);
  EXPECT_EQ(a, 38u);
  EXPECT_FALSE(changed);
  // Characters no key has, until every spare keycode holds one.
  const std::uint32_t first = xkb_utf32_to_keysym(0x100);
  const unsigned firstCode = keymap.KeycodeFor(first, changed);
  ASSERT_NE(firstCode, 0u);
  EXPECT_TRUE(changed);
  EXPECT_EQ(keymap.Find(first), firstCode);
  unsigned code = 0;
  std::uint32_t last = first;
  for (std::uint32_t c = 0x101; c < 0x400 && code != firstCode; ++c) {
    last = xkb_utf32_to_keysym(c);
    code = keymap.KeycodeFor(last, changed);
    ASSERT_NE(code, 0u);
    ASSERT_TRUE(changed);
  }
  ASSERT_EQ(code, firstCode) << "never ran out of spare keycodes";
  EXPECT_EQ(keymap.Find(first), 0u);
  EXPECT_EQ(keymap.Find(last), firstCode);
  EXPECT_EQ(keymap.Find(XKB_KEY_a), a);
  EXPECT_NE(keymap.Text().find("{ [ " + WaylandKeymap::KeysymName(last) + " ] };"), std::string::npos);
  std::uint32_t size = 0;
  const int fd = keymap.TextFile(size);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(size, keymap.Text().size() + 1);
  ::close(fd);
}

TEST(WaylandKeymap, ModifierStateFollowsTheKeysHeld) {
  WaylandKeymap keymap;
  ASSERT_TRUE(keymap.ok());
  bool changed = false;
  const unsigned control = keymap.KeycodeFor(XKB_KEY_Control_L, changed);
  const unsigned a = keymap.KeycodeFor(XKB_KEY_a, changed);
  EXPECT_FALSE(keymap.UpdateKey(a, true));
  EXPECT_TRUE(keymap.UpdateKey(control, true));
  EXPECT_TRUE(keymap.ControlHeld());
  EXPECT_NE(keymap.CurrentModifiers().depressed, 0u);
  // A second press of a held key is no second hold: one release lets go.
  EXPECT_FALSE(keymap.UpdateKey(control, true));
  // A binding rebuilds the keymap; the keys held stay held in it.
  ASSERT_NE(keymap.KeycodeFor(XKB_KEY_F13, changed), 0u);
  ASSERT_TRUE(changed);
  EXPECT_TRUE(keymap.ControlHeld());
  EXPECT_TRUE(keymap.UpdateKey(control, false));
  EXPECT_FALSE(keymap.ControlHeld());
  EXPECT_EQ(keymap.CurrentModifiers().depressed, 0u);
  EXPECT_TRUE(keymap.UpdateKey(control, true));
  keymap.ResetState();
  EXPECT_FALSE(keymap.ControlHeld());
  EXPECT_TRUE(WaylandKeymap::IsModifier(XKB_KEY_Shift_R));
  EXPECT_FALSE(WaylandKeymap::IsModifier(XKB_KEY_a));
}

}  // namespace
}  // namespace vandrel::InputManager
