// The real program outliving the X server it injects into: a throw-away Xvfb
// of the test's own is killed under it and started again.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ServerFixture.h"
#include "SpawnChild.h"
#include "VandrelProcess.h"

// Xlib defines Success as a macro: the handshake's answer is named before its headers come in.
namespace vandrel::testing {
constexpr auto kLostHandshakeSuccess = phone::HandshakeResult::Success;
}

#include <X11/Xlib.h>

namespace vandrel::testing {
namespace {

constexpr const char* kLostLine = "[SendInput] Lost the X display ";

// An Xvfb on a display number of its own; the test holds no connection to it
// while it dies, or the test would die with it.
class PrivateXvfb {
 public:
  PrivateXvfb() {
    for (int n = 170; n < 180 && number_ < 0; ++n) {
      if (!std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock")) number_ = n;
    }
  }
  ~PrivateXvfb() { Kill(); }
  PrivateXvfb(const PrivateXvfb&) = delete;
  PrivateXvfb& operator=(const PrivateXvfb&) = delete;

  std::string Name() const { return ":" + std::to_string(number_); }

  /// Starts the server and waits until it answers.
  bool Start() {
    if (number_ < 0) return false;
    pid_ = SpawnChild({"Xvfb", Name(), "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"});
    return pid_ > 0 && WaitUntil([this] {
             Display* display = XOpenDisplay(Name().c_str());
             if (display) XCloseDisplay(display);
             return display != nullptr;
           });
  }

  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    // What a crashed server leaves behind would keep the next one from starting.
    std::error_code ignored;
    std::filesystem::remove("/tmp/.X" + std::to_string(number_) + "-lock", ignored);
    std::filesystem::remove("/tmp/.X11-unix/X" + std::to_string(number_), ignored);
  }

  /// The pointer's position on the root window, opening and closing a connection for it.
  std::pair<int, int> Pointer() const {
    Display* display = XOpenDisplay(Name().c_str());
    if (!display) return {-1, -1};
    Window root = 0, child = 0;
    int x = 0, y = 0, windowX = 0, windowY = 0;
    unsigned mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &windowX, &windowY, &mask);
    XCloseDisplay(display);
    return {x, y};
  }

 private:
  int number_ = -1;
  pid_t pid_ = -1;
};

TEST(LostDisplay, ProgramLogsTheLossOnceServesOnAndTakesTheDisplayBack) {
  PrivateXvfb xvfb;
  if (!xvfb.Start()) GTEST_SKIP() << "no Xvfb could be started on a display from :170 to :179";
  const char* display = std::getenv("DISPLAY");
  const std::string saved = display ? display : "";
  ::setenv("DISPLAY", xvfb.Name().c_str(), 1);
  TempDir home;
  const std::uint16_t port = NextTestPort();
  VandrelProcess vandrel(home, {"--headless", "--port", std::to_string(port), "--no-ble", "--no-mdns", "--no-adb"});
  display ? ::setenv("DISPLAY", saved.c_str(), 1) : ::unsetenv("DISPLAY");
  ASSERT_TRUE(vandrel.WaitForLog("[SERVER] Started")) << vandrel.Output();
  ASSERT_TRUE(vandrel.WaitForLog("[SendInput] X11 display " + xvfb.Name())) << vandrel.Log();

  phone::PhoneClient phone(phone::Seconds(10));
  phone.Connect("127.0.0.1", port, "Maker/Phone/Model-1/1");
  ASSERT_EQ(phone.Handshake(std::nullopt), kLostHandshakeSuccess);
  const std::vector<std::uint8_t> move = {5, 0xFD, 0};  // the pointer goes 3 to the right
  const auto start = xvfb.Pointer();
  phone.SendDatagram(move);
  ASSERT_TRUE(WaitUntil([&] { return xvfb.Pointer() != start; })) << vandrel.Log();

  // A held key keeps the auto-repeat thread sending while the display dies.
  const std::vector<std::uint8_t> keyDown = {13, 0x04, 0}, keyUp = {14, 0x04, 0};
  phone.SendDatagram(keyDown);
  xvfb.Kill();
  ASSERT_TRUE(WaitUntil([&] {
    phone.SendDatagram(move);
    return vandrel.Log().find(kLostLine) != std::string::npos;
  })) << vandrel.Log() << vandrel.Output();
  for (int i = 0; i < 10; ++i) {
    phone.SendDatagram(move);
    std::this_thread::sleep_for(20ms);
  }
  phone.SendDatagram(keyUp);
  phone.SendDatagram(keyDown);  // held again with no display at all
  std::this_thread::sleep_for(700ms);
  phone.SendDatagram(keyUp);
  phone.Ping();  // the PONG also tells that the datagrams before it were taken
  EXPECT_FALSE(vandrel.Exited(0ms));
  EXPECT_EQ(vandrel.CountInLog(kLostLine), 1u) << vandrel.Log();
  EXPECT_NE(vandrel.Log().find(std::string(kLostLine) + xvfb.Name() + "; input is only logged until it comes back"),
            std::string::npos);

  // A new server on the same number: the next input after a second or so opens it.
  ASSERT_TRUE(xvfb.Start());
  ASSERT_TRUE(WaitUntil([&] {
    phone.SendDatagram(move);
    std::this_thread::sleep_for(50ms);
    return vandrel.Log().find("[SendInput] The X display " + xvfb.Name() + " is back") != std::string::npos;
  })) << vandrel.Log();
  const auto back = xvfb.Pointer();
  phone.SendDatagram(move);
  EXPECT_TRUE(WaitUntil([&] { return xvfb.Pointer() != back; })) << vandrel.Log();
  phone.Ping();
  EXPECT_EQ(vandrel.CountInLog(kLostLine), 1u);
  xvfb.Kill();
  phone.SendDatagram(move);
  phone.Ping();
  EXPECT_EQ(vandrel.Signal(SIGTERM), 0) << vandrel.Output();
}

}  // namespace
}  // namespace vandrel::testing
