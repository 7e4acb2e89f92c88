// The CLIPBOARD owner against the X server on $DISPLAY, read back by xclip and
// by a bare Xlib requestor, and against a throw-away Xvfb that dies under it.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "LogCapture.h"
#include "WaitUntil.h"
#include "input/linux/X11Clipboard.h"

extern char** environ;

namespace vandrel::InputManager {
namespace {

using testing::LogCapture;
using testing::WaitUntil;

const char* const kSet = "[Clipboard] Clipboard set successfully";

std::string Output(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

std::string Paste(const std::string& target = "") {
  return Output("timeout 10 xclip -o -selection clipboard" + (target.empty() ? "" : " -t " + target) + " 2>/dev/null");
}

// What a requestor gets back: the property the owner named (None = refused) and its contents.
struct Answer {
  Atom property = None;
  Atom type = None;
  std::string data;
};

// A pasting program in a few lines of Xlib, for what xclip cannot ask.
class Requestor {
 public:
  Requestor() : display_(XOpenDisplay(nullptr)) {
    if (display_) window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
  }
  ~Requestor() {
    if (display_) XCloseDisplay(display_);
  }
  Requestor(const Requestor&) = delete;
  Requestor& operator=(const Requestor&) = delete;

  Atom Intern(const char* name) { return XInternAtom(display_, name, False); }

  Answer Convert(Atom target, Atom property) {
    Answer answer;
    XConvertSelection(display_, Intern("CLIPBOARD"), target, property, window_, CurrentTime);
    XFlush(display_);
    XEvent event{};
    if (!WaitUntil([&] { return XCheckTypedWindowEvent(display_, window_, SelectionNotify, &event) == True; })) {
      ADD_FAILURE() << "no SelectionNotify";
      return answer;
    }
    answer.property = event.xselection.property;
    if (answer.property == None) return answer;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(display_, window_, answer.property, 0, 1 << 20, True, AnyPropertyType, &answer.type, &format,
                       &items, &after, &data);
    if (data) answer.data.assign(reinterpret_cast<char*>(data), format == 8 ? items : items * sizeof(long));
    XFree(data);
    return answer;
  }

  Display* display_;
  Window window_ = 0;
};

class X11ClipboardOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "DISPLAY is not set; scripts/test.sh starts an Xvfb";
    if (std::system("command -v xclip >/dev/null 2>&1") != 0) GTEST_SKIP() << "xclip is not installed";
    clipboard_ = std::make_unique<X11Clipboard>(std::getenv("DISPLAY"));
  }

  // Sets and waits for the thread to report ownership.
  void SetAndWait(const std::string& text) {
    const auto before = log_.Count(kSet);
    clipboard_->Set(text);
    ASSERT_TRUE(WaitUntil([&] { return log_.Count(kSet) > before; })) << "not owned after Set(" << text << ")";
  }

  LogCapture log_;
  std::unique_ptr<X11Clipboard> clipboard_;
};

TEST_F(X11ClipboardOnXvfb, PastesTheTextAsUtf8TextAndLatin1) {
  SetAndWait("héllo wörld");
  EXPECT_EQ(Paste(), "héllo wörld");
  EXPECT_EQ(Paste("UTF8_STRING"), "héllo wörld");
  EXPECT_EQ(Paste("TEXT"), "héllo wörld");
  EXPECT_EQ(Paste("STRING"), "h\xe9llo w\xf6rld");
  const std::string targets = Paste("TARGETS");
  for (const char* target : {"TARGETS\n", "UTF8_STRING\n", "STRING\n", "TEXT\n"}) {
    EXPECT_NE(targets.find(target), std::string::npos) << target << " missing from:\n" << targets;
  }
}

TEST_F(X11ClipboardOnXvfb, Latin1HasQuestionMarksForWhatItCannotHoldAndUtf8KeepsTheBytes) {
  // Beyond Latin-1 (euro sign, an emoji), a stray continuation byte, a cut-off
  // sequence, an overlong '/' and an encoded surrogate.
  const std::string text = "\xe2\x82\xac \xf0\x9f\x98\x80 \x80 \xc3 \xc0\xaf \xed\xa0\x80 \xff\xc3\xbf";
  SetAndWait(text);
  EXPECT_EQ(Paste("STRING"), "? ? ? ? ?? ??? ?\xff");
  EXPECT_EQ(Paste("UTF8_STRING"), text);
}

TEST_F(X11ClipboardOnXvfb, ASecondSetReplacesTheFirst) {
  SetAndWait("first");
  EXPECT_EQ(Paste(), "first");
  SetAndWait("second");
  EXPECT_EQ(Paste(), "second");
}

TEST_F(X11ClipboardOnXvfb, AnotherProgramTakesItAndALaterSetTakesItBack) {
  SetAndWait("ours");
  // -quiet keeps xclip in the foreground, so that timeout bounds its life.
  ASSERT_EQ(std::system("printf other | timeout 60 xclip -quiet -i -selection clipboard >/dev/null 2>&1 &"), 0);
  ASSERT_TRUE(WaitUntil([] { return Paste() == "other"; }));
  EXPECT_TRUE(WaitUntil([&] { return log_.Contains("[Clipboard] Another program took the clipboard"); }));
  SetAndWait("ours again");
  EXPECT_EQ(Paste(), "ours again");
}

TEST_F(X11ClipboardOnXvfb, RefusesUnknownTargetsAndAnswersClientsWithoutAProperty) {
  SetAndWait("plain");
  Requestor requestor;
  ASSERT_NE(requestor.display_, nullptr);
  const Atom utf8 = requestor.Intern("UTF8_STRING");
  EXPECT_EQ(requestor.Convert(requestor.Intern("image/png"), requestor.Intern("VANDREL_TEST")).property, None);

  const Answer old = requestor.Convert(utf8, None);
  EXPECT_EQ(old.property, utf8);
  EXPECT_EQ(old.type, utf8);
  EXPECT_EQ(old.data, "plain");

  const Answer text = requestor.Convert(requestor.Intern("TEXT"), requestor.Intern("VANDREL_TEST"));
  EXPECT_EQ(text.type, utf8);
  EXPECT_EQ(text.data, "plain");

  const Answer stamp = requestor.Convert(requestor.Intern("TIMESTAMP"), requestor.Intern("VANDREL_TEST"));
  EXPECT_EQ(stamp.type, XA_INTEGER);
  ASSERT_EQ(stamp.data.size(), sizeof(long));
  long time = 0;
  std::memcpy(&time, stamp.data.data(), sizeof time);
  EXPECT_NE(time, 0) << "owned with CurrentTime rather than a server timestamp";
}

TEST_F(X11ClipboardOnXvfb, ALongTextIsCutAtACodePointBelowTheCap) {
  // 'é' is two bytes, so 64 KiB falls inside one; the cut goes before it.
  std::string text = "a";
  while (text.size() < 70 * 1024) text += "é";
  SetAndWait(text);
  const std::string pasted = Paste();
  EXPECT_EQ(pasted.size(), 64u * 1024 - 1);
  EXPECT_EQ(pasted, text.substr(0, pasted.size()));
}

// A private X server that the test can kill.
class ThrowAwayXvfb {
 public:
  ThrowAwayXvfb() {
    for (int n = 149; n >= 145 && pid_ < 0; --n) {
      if (std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
      name_ = ":" + std::to_string(n);
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
      std::string args[] = {"Xvfb", name_, "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset"};
      char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), args[4].data(),
                      args[5].data(), args[6].data(), args[7].data(), nullptr};
      pid_t pid = -1;
      if (posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv, environ) == 0) pid_ = pid;
      posix_spawn_file_actions_destroy(&actions);
    }
  }
  ~ThrowAwayXvfb() { Kill(); }
  ThrowAwayXvfb(const ThrowAwayXvfb&) = delete;
  ThrowAwayXvfb& operator=(const ThrowAwayXvfb&) = delete;

  bool Ready() const {
    return pid_ > 0 && WaitUntil([&] {
             Display* display = XOpenDisplay(name_.c_str());
             if (display) XCloseDisplay(display);
             return display != nullptr;
           });
  }
  void Kill() {
    if (pid_ <= 0) return;
    // TERM rather than KILL, so that it removes its lock and socket.
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  pid_t pid_ = -1;
};

TEST(X11ClipboardLostServer, LivesOnWhenTheServerDiesAndEndsWithoutIt) {
  ThrowAwayXvfb server;
  ASSERT_TRUE(server.Ready()) << "Xvfb " << server.name() << " did not start";
  LogCapture log;
  auto clipboard = std::make_unique<X11Clipboard>(server.name());
  clipboard->Set("doomed");
  ASSERT_TRUE(WaitUntil([&] { return log.Contains(kSet); }));

  server.Kill();
  EXPECT_TRUE(WaitUntil([&] { return log.Contains("[Clipboard] Lost the X display; the clipboard text is gone"); }));
  clipboard->Set("nowhere to go");
  EXPECT_TRUE(WaitUntil([&] { return log.Contains("[Clipboard] No X display; clipboard text dropped"); }));
  clipboard.reset();
}

TEST(X11ClipboardLostServer, EndsWhenTheServerDiedUnnoticed) {
  ThrowAwayXvfb server;
  ASSERT_TRUE(server.Ready()) << "Xvfb " << server.name() << " did not start";
  LogCapture log;
  auto clipboard = std::make_unique<X11Clipboard>(server.name());
  clipboard->Set("doomed");
  ASSERT_TRUE(WaitUntil([&] { return log.Contains(kSet); }));
  server.Kill();
  clipboard.reset();
}

}  // namespace
}  // namespace vandrel::InputManager
