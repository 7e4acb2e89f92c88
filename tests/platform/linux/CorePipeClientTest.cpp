#include "app/linux/CorePipeClient.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "LogCapture.h"
#include "MockLogind.h"
#include "TempDir.h"
#include "input/linux/Logind.h"

namespace vandrel {
namespace {

using testing::LogCapture;
using testing::MockLogind;
using testing::TempDir;
using Packet = std::vector<std::uint8_t>;

// The companion's end: a listening SOCK_SEQPACKET socket that reads when told to.
class Companion {
 public:
  explicit Companion(const std::string& path) {
    listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
  }
  ~Companion() {
    if (peer_ >= 0) ::close(peer_);
    ::close(listener_);
  }
  void Accept() { peer_ = ::accept(listener_, nullptr, nullptr); }
  Packet Read() {
    Packet message(512);
    const ssize_t n = ::recv(peer_, message.data(), message.size(), 0);
    message.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return message;
  }

 private:
  int listener_ = -1;
  int peer_ = -1;
};

TEST(CorePipeClientLinux, MessagesKeepTheirBoundariesAndAStalledCompanionTimesOut) {
  LogCapture log;
  TempDir dir;
  const std::string path = dir.File("Vandrel_CorePipe");
  CorePipeClient client(path);
  PipeConnectFailure failure;
  EXPECT_FALSE(client.TryConnect(failure)) << "nobody serves yet";
  EXPECT_EQ(failure.code, 2u);
  EXPECT_EQ(failure.kind, PipeConnectFailure::Kind::NotFound);
  EXPECT_FALSE(client.Send(Packet{5, 0, 0}.data(), 3));

  Companion companion(path);
  ASSERT_TRUE(client.TryConnect(failure));
  EXPECT_TRUE(log.Contains("[IPC] Connected to pipe: " + path));
  companion.Accept();
  const Packet move{5, 10, 0, 246, 255};
  ASSERT_TRUE(client.Send(Packet{5, 0, 0}.data(), 3));
  ASSERT_TRUE(client.Send(move.data(), move.size()));
  EXPECT_EQ(companion.Read(), (Packet{5, 0, 0}));
  EXPECT_EQ(companion.Read(), move);
  EXPECT_TRUE(log.Contains("[IPC] Send: OK written=5 size=5"));

  // A companion that stops reading: its queue fills, then a send gives up after 2 s.
  const auto start = std::chrono::steady_clock::now();
  bool timedOut = false;
  for (int i = 0; i < 100000 && !timedOut; ++i) timedOut = !client.Send(move.data(), move.size());
  ASSERT_TRUE(timedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
  EXPECT_TRUE(log.Contains("[IPC] Send: TIMEOUT (server not reading), size=5"));
  EXPECT_LE(log.Count("[IPC] Send: OK"), 3u);

  client.Disconnect();
  EXPECT_TRUE(log.Contains("[IPC] Disconnected from pipe"));
  EXPECT_FALSE(client.Send(move.data(), move.size()));
}

TEST(CorePipeClientLinux, TheLockScreenIsLogindsLockedHintOfOurSession) {
  MockLogind logind;
  if (!logind.problem().empty()) GTEST_SKIP() << logind.problem();
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", logind.address().c_str(), 1);
  ::setenv("XDG_SESSION_ID", "c1", 1);
  {
    logind::LockedHintReader reader;
    EXPECT_EQ(reader.Read(), false);
    ASSERT_TRUE(logind.SetProperty("/org/freedesktop/login1/session/c1", "org.freedesktop.login1.Session",
                                   "LockedHint", "True"));
    EXPECT_EQ(reader.Read(), true);
    // logind gone: unknown, and the next read tries again.
    logind.StopMock();
    EXPECT_EQ(reader.Read(), std::nullopt);
  }
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vandrel-test-bus", 1);
  ::unsetenv("XDG_SESSION_ID");
  logind::LockedHintReader none;
  EXPECT_EQ(none.Read(), std::nullopt);
}

}  // namespace
}  // namespace vandrel
