// The task switcher against a real desktop: Xvfb :93 with openbox, xterm and
// xclock, plus windows the test makes to measure; and without a window
// manager or without a server (Xvfb :94).
#include <gtest/gtest.h>

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "DecodePng.h"
#include "LogCapture.h"
#include "WaitUntil.h"
#include "X11WindowsRig.h"
#include "desktop/linux/TextCodec.h"
#include "desktop/linux/X11Windows.h"

namespace vandrel::desktop::x11 {
namespace {

using testing::LogCapture;
using testing::TaskbarDesktop;
using testing::WaitUntil;

const char* const kDisplay = ":93";
const char* const kBareDisplay = ":94";

std::string Exe(pid_t pid) {
  char target[PATH_MAX] = {};
  const ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

std::string Hex(unsigned long value) {
  char text[24] = {};
  std::snprintf(text, sizeof text, "%lx", value);
  return text;
}

// Points $DISPLAY at `name` while it lives.
class DisplayVariable {
 public:
  explicit DisplayVariable(const char* name) {
    if (const char* old = std::getenv("DISPLAY")) old_ = old;
    ::setenv("DISPLAY", name, 1);
  }
  ~DisplayVariable() {
    if (old_) {
      ::setenv("DISPLAY", old_->c_str(), 1);
    } else {
      ::unsetenv("DISPLAY");
    }
  }
  DisplayVariable(const DisplayVariable&) = delete;
  DisplayVariable& operator=(const DisplayVariable&) = delete;

 private:
  std::optional<std::string> old_;
};

std::vector<unsigned long> IconSet(std::initializer_list<std::uint32_t> sides) {
  std::vector<unsigned long> items;
  for (const std::uint32_t side : sides) {
    items.push_back(side);
    items.push_back(side);
    items.insert(items.end(), std::size_t{side} * side, 0xFF2080C0UL);
  }
  return items;
}

const AppInfo* Find(const std::vector<AppInfo>& apps, const std::string& name) {
  const auto it = std::find_if(apps.begin(), apps.end(), [&](const AppInfo& a) { return a.name == name; });
  return it == apps.end() ? nullptr : &*it;
}

class X11WindowsOnOpenbox : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* program : {"Xvfb", "openbox", "xterm", "xclock"}) {
      if (!testing::Installed(program)) {
        missing_ = new std::string(program);
        return;
      }
    }
    display_ = new DisplayVariable(kDisplay);
    desktop_ = new TaskbarDesktop(kDisplay);
    if (!desktop_->problem().empty()) return;
    first_ = desktop_->Start({"xterm", "-T", "first"});
    second_ = desktop_->Start({"xterm", "-T", "second"});
    clock_ = desktop_->Start({"xclock"});
    WaitUntil([] { return desktop_->ListedWindow("first") && desktop_->ListedWindow("second") &&
                          desktop_->ListedWindow("xclock"); },
              std::chrono::seconds(30));
  }
  static void TearDownTestSuite() {
    delete desktop_;
    delete display_;
    delete missing_;
    desktop_ = nullptr;
    display_ = nullptr;
    missing_ = nullptr;
  }
  void SetUp() override {
    if (missing_) GTEST_SKIP() << *missing_ << " is not installed (scripts/install-deps.sh --tests)";
    ASSERT_TRUE(desktop_->problem().empty()) << desktop_->problem();
    ASSERT_TRUE(desktop_->ListedWindow("first") && desktop_->ListedWindow("second") &&
                desktop_->ListedWindow("xclock"))
        << "xterm and xclock did not come up on " << kDisplay;
  }

  static TaskbarDesktop& desktop() { return *desktop_; }
  /// Only the three clients listed: the windows of earlier tests are gone.
  static bool Settled() {
    return WaitUntil([] { return desktop().ClientList().size() == 3; });
  }

  static inline std::string* missing_ = nullptr;
  static inline DisplayVariable* display_ = nullptr;
  static inline TaskbarDesktop* desktop_ = nullptr;
  static inline pid_t first_ = -1, second_ = -1, clock_ = -1;
  X11Windows windows_;
};

TEST_F(X11WindowsOnOpenbox, ListsTheTaskbarWindowsInClientListOrderWithTheirPrograms) {
  ASSERT_TRUE(Settled());
  const Window dock = desktop().MakeWindow("a dock", {}, "_NET_WM_WINDOW_TYPE_DOCK");
  const Window untitled = desktop().MakeWindow("");
  const Window mine = desktop().MakeWindow("mine");
  ASSERT_TRUE(WaitUntil([&] { return desktop().Listed(mine) && desktop().Listed(untitled); }));
  LogCapture log;
  const auto apps = windows_.RunningApps();

  std::vector<std::string> names;
  for (const auto& app : apps) names.push_back(app.name);
  // The clients start at once, so the window manager's list decides the order.
  std::vector<std::string> listed;
  for (const unsigned long w : desktop().ClientList()) {
    if (w != dock && w != untitled) listed.push_back(desktop().Title(w));
  }
  EXPECT_EQ(names, listed);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"first", "mine", "second", "xclock"}));
  for (const auto& app : apps) {
    EXPECT_TRUE(app.running);
    EXPECT_NE(app.hwnd, dock);
    EXPECT_NE(app.hwnd, untitled);
    if (!app.icon.empty()) {
      EXPECT_TRUE(testing::DecodePng(app.icon).ok) << app.name;
    }
  }
  const AppInfo* second = Find(apps, "second");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->hwnd, desktop().ListedWindow("second"));
  EXPECT_EQ(second->process, "xterm");
  EXPECT_EQ(second->path, Exe(second_));
  ASSERT_TRUE(Find(apps, "xclock"));
  EXPECT_EQ(Find(apps, "xclock")->process, "xclock");
  EXPECT_EQ(Find(apps, "xclock")->path, Exe(clock_));
  EXPECT_EQ(Find(apps, "mine")->path, Exe(::getpid()));

  EXPECT_TRUE(log.Contains("[AppList] Found app: name=\"second\", process=\"xterm\", iconSize=" +
                           std::to_string(second->icon.size()) + " bytes, hwnd=0x" + Hex(second->hwnd)));
  EXPECT_TRUE(log.Contains("[AppList] Running windows: 4 apps found"));
  for (const Window w : {dock, untitled, mine}) XDestroyWindow(desktop().display(), w);
  XSync(desktop().display(), False);
}

TEST_F(X11WindowsOnOpenbox, IconsAreScaledWhenSmallKeptWhenLargeAndDroppedWhenMalformed) {
  const Window small = desktop().MakeWindow("small icon", IconSet({16, 32}));
  const Window large = desktop().MakeWindow("large icon", IconSet({32, 128, 48}));
  auto bad = IconSet({16});
  bad.insert(bad.end(), {64, 64, 0});
  const Window malformed = desktop().MakeWindow("malformed icon", bad);
  // A set larger than is read: the whole images before the cut are used.
  auto huge = IconSet({40, 1024, 1024});
  const Window hostile = desktop().MakeWindow("huge icon", huge);
  ASSERT_TRUE(WaitUntil([&] { return desktop().Listed(small) && desktop().Listed(hostile); }));
  const auto apps = windows_.RunningApps();

  const auto decoded = [&](const char* name) {
    const AppInfo* app = Find(apps, name);
    return app ? testing::DecodePng(app->icon) : testing::DecodedPng{};
  };
  const auto smallPng = decoded("small icon");
  ASSERT_TRUE(smallPng.ok);
  EXPECT_EQ(smallPng.width, 64u);
  EXPECT_EQ(smallPng.height, 64u);
  EXPECT_EQ(smallPng.a(30, 30), 0xFF);
  const auto largePng = decoded("large icon");
  ASSERT_TRUE(largePng.ok);
  EXPECT_EQ(largePng.width, 48u);
  EXPECT_EQ(largePng.height, 48u);
  const auto hugePng = decoded("huge icon");
  ASSERT_TRUE(hugePng.ok);
  EXPECT_EQ(hugePng.width, 64u);
  ASSERT_TRUE(Find(apps, "malformed icon"));
  EXPECT_TRUE(Find(apps, "malformed icon")->icon.empty());
  for (const Window w : {small, large, malformed, hostile}) XDestroyWindow(desktop().display(), w);
  XSync(desktop().display(), False);
}

TEST_F(X11WindowsOnOpenbox, SwitchesToAWindowAndReportsItAsActive) {
  const Window second = desktop().ListedWindow("second");
  ASSERT_TRUE(windows_.SwitchToWindow(second));
  EXPECT_EQ(desktop().ActiveWindow(), second);
  auto active = windows_.ActiveWindow();
  ASSERT_TRUE(active);
  EXPECT_EQ(active->wideTitle, u"second");
  EXPECT_EQ(active->process, "xterm");

  const Window first = desktop().ListedWindow("first");
  ASSERT_TRUE(windows_.SwitchToWindow(first));
  EXPECT_EQ(desktop().ActiveWindow(), first);
  active = windows_.ActiveWindow();
  ASSERT_TRUE(active);
  EXPECT_EQ(active->wideTitle, u"first");

  // xclock takes no input, so the window manager raises it but does not activate it.
  EXPECT_FALSE(windows_.SwitchToWindow(desktop().ListedWindow("xclock")));
}

TEST_F(X11WindowsOnOpenbox, RestoresAMinimisedWindow) {
  const Window first = desktop().ListedWindow("first");
  XIconifyWindow(desktop().display(), first, DefaultScreen(desktop().display()));
  XSync(desktop().display(), False);
  ASSERT_TRUE(WaitUntil([&] { return desktop().Iconic(first) && !desktop().Viewable(first); }));
  ASSERT_TRUE(windows_.SwitchToWindow(first));
  EXPECT_TRUE(WaitUntil([&] { return desktop().Viewable(first) && !desktop().Iconic(first); }));
}

TEST_F(X11WindowsOnOpenbox, FailsForWindowsThatAreNotOpen) {
  const Window gone = desktop().MakeWindow("short-lived");
  ASSERT_TRUE(WaitUntil([&] { return desktop().Listed(gone); }));
  XDestroyWindow(desktop().display(), gone);
  XSync(desktop().display(), False);
  ASSERT_TRUE(WaitUntil([&] { return !desktop().Listed(gone); }));
  LogCapture log;
  EXPECT_FALSE(windows_.SwitchToWindow(gone));
  EXPECT_FALSE(windows_.SwitchToWindow(0));
  EXPECT_FALSE(windows_.SwitchToWindow(DefaultRootWindow(desktop().display())));
  EXPECT_FALSE(log.Contains("X error"));
}

TEST_F(X11WindowsOnOpenbox, CallsFromSeveralThreadsAtOnceAgree) {
  ASSERT_TRUE(Settled());
  std::vector<std::size_t> counts(4);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 5; ++round) {
        counts[i] = windows_.RunningApps().size();
        windows_.ActiveWindow();
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const std::size_t count : counts) EXPECT_EQ(count, 3u);
}

TEST(X11WindowsWithoutWindowManager, SaysSoAndLivesOnWhenTheServerIsGone) {
  if (!testing::Installed("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
  DisplayVariable variable(kBareDisplay);
  pid_t server = testing::StartXvfb(kBareDisplay);
  ASSERT_GT(server, 0) << "cannot start Xvfb " << kBareDisplay;
  Display* probe = testing::OpenWhenUp(kBareDisplay);
  ASSERT_TRUE(probe);
  X11Windows windows;
  LogCapture log;
  EXPECT_TRUE(windows.RunningApps().empty());
  EXPECT_TRUE(log.Contains("[AppList] No _NET_CLIENT_LIST on the display: no window manager lists its windows"));
  EXPECT_FALSE(windows.SwitchToWindow(DefaultRootWindow(probe)));
  EXPECT_FALSE(windows.ActiveWindow());
  XCloseDisplay(probe);

  testing::Stop(server);
  EXPECT_TRUE(windows.RunningApps().empty());
  EXPECT_FALSE(windows.SwitchToWindow(1));
  EXPECT_FALSE(windows.ActiveWindow());
  EXPECT_TRUE(log.Contains("[AppList] Cannot open the X display"));
}

TEST(X11WindowsText, ConvertsTitlesToValidUtf8AndUtf16) {
  EXPECT_EQ(Latin1ToUtf8("caf\xe9"), "caf\xc3\xa9");
  EXPECT_EQ(ValidUtf8("ok \xc3\xa9 \xff end \xe2\x82"), "ok \xc3\xa9 \xef\xbf\xbd end \xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(Utf8ToUtf16("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), u"a\u00e9\u20ac\U0001F600");
  // Overlong, surrogate, past U+10FFFF, stray continuation, cut at the end.
  EXPECT_EQ(Utf8ToUtf16("\xc0\xaf"), u"\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xed\xa0\x80"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xf4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("x\x80y\xe2\x82"), u"x\uFFFDy\uFFFD\uFFFD");
}

}  // namespace
}  // namespace vandrel::desktop::x11
