// One phone's TCP session fed a byte stream: the hello, the password gate,
// framing across reads, input, desktop commands and file transfer.
//
// Input: mode byte, write-size byte, hello length byte, the hello, then the
// stream the phone sends. Mode bits 0-1: 0 no password; 1 and 3 a password
// that the phone answers correctly before the stream; 2 a password the stream
// must get past by itself. Bit 2: the desktop commands have a desktop. The
// write-size byte cuts the stream into writes of that many bytes (0: one write).
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <thread>

#include "FakeAutoStart.h"
#include "FakeDesktop.h"
#include "FuzzSupport.h"
#include "InputRig.h"
#include "desktop/DesktopWorkers.h"
#include "infra/Settings.h"
#include "protocol/AuthDigest.h"
#include "protocol/Connection.h"
#include "protocol/PacketCodec.h"

namespace vandrel::fuzz {
namespace {

constexpr std::size_t kHelloMax = 128;  // what the server takes as the hello
constexpr const char* kPassword = "fuzz-secret";

struct World {
  int listener = -1;
  sockaddr_in address{};
  Settings* open = nullptr;
  Settings* guarded = nullptr;
  std::string desktopFolder;
  InputRig* input = nullptr;
};

World& TheWorld() {
  static World world;
  return world;
}

Settings* MakeSettings(const std::string& file, const std::string& password) {
  auto* settings = new Settings([file] { return file; }, std::make_shared<testing::FakeAutoStart>());
  settings->SetConnectionPassword(password);
  return settings;
}

void SetUp() {
  QuietLog();
  World& world = TheWorld();
  world.desktopFolder = ScratchDir() + "/desktop";
  std::filesystem::create_directories(world.desktopFolder);
  // Files the phone sends land there.
  ::setenv("XDG_DESKTOP_DIR", world.desktopFolder.c_str(), 1);
  world.open = MakeSettings(ScratchDir() + "/settings-open.ini", "");
  world.guarded = MakeSettings(ScratchDir() + "/settings-guarded.ini", kPassword);
  world.input = new InputRig;

  world.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  world.address.sin_family = AF_INET;
  world.address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof world.address;
  if (world.listener < 0 || ::bind(world.listener, reinterpret_cast<sockaddr*>(&world.address), length) != 0 ||
      ::listen(world.listener, 4) != 0 ||
      ::getsockname(world.listener, reinterpret_cast<sockaddr*>(&world.address), &length) != 0) {
    Fail("cannot listen on loopback");
  }
}

// The phone's end of a loopback connection, the PC's end handed to the session.
class Link {
 public:
  Link() {
    World& world = TheWorld();
    phone_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (phone_ < 0 || ::connect(phone_, reinterpret_cast<sockaddr*>(&world.address), sizeof world.address) != 0) {
      Fail("cannot connect on loopback");
    }
    pc_ = ::accept4(world.listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (pc_ < 0) Fail("cannot accept on loopback");
    ::fcntl(phone_, F_SETFL, ::fcntl(phone_, F_GETFL) | O_NONBLOCK);
  }
  ~Link() { ::close(phone_); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  int phone() const { return phone_; }
  /// Given away to the session, which closes it.
  int TakePc() { return std::exchange(pc_, -1); }

  /// What the PC sent and the phone has not read yet, read now.
  void Drain() {
    std::uint8_t buffer[4096];
    for (;;) {
      const ssize_t n = ::recv(phone_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) return;
      if (received_.size() < 64) received_.insert(received_.end(), buffer, buffer + std::min<ssize_t>(n, 64));
    }
  }
  /// The first bytes the PC sent, as far as Drain kept them.
  const std::vector<std::uint8_t>& received() const { return received_; }

 private:
  int phone_ = -1;
  int pc_ = -1;
  std::vector<std::uint8_t> received_;
};

class SessionRun {
 public:
  SessionRun(asio::io_context& io, Link& link, int pcFd, std::shared_ptr<Connection> session)
      : io_(io), link_(link), pcFd_(pcFd), session_(std::move(session)) {}

  // Runs the session until it has read everything written so far, or closed.
  void Pump() {
    for (;;) {
      link_.Drain();
      if (Step() > 0) continue;
      if (session_->IsClosed()) return;
      int unread = 0;
      if (::ioctl(pcFd_, FIONREAD, &unread) != 0 || unread == 0) return;
      // Reading waits for the desktop workers.
      Wait();
    }
  }

  void Write(std::span<const std::uint8_t> bytes) {
    std::size_t at = 0;
    while (at < bytes.size() && !session_->IsClosed()) {
      const ssize_t n = ::send(link_.phone(), bytes.data() + at, bytes.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        at += static_cast<std::size_t>(n);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        Pump();
      } else {
        return;  // the PC closed the connection
      }
    }
    Pump();
  }

  // The phone leaves; returns once nothing holds the session any more.
  void End() {
    ::shutdown(link_.phone(), SHUT_WR);
    while (!session_->IsClosed()) {
      link_.Drain();
      if (Step() == 0) Wait();
    }
    std::weak_ptr<Connection> left = session_;
    session_.reset();
    while (!left.expired()) {
      link_.Drain();
      if (Step() == 0) Wait();
    }
  }

 private:
  std::size_t Step() {
    if (io_.stopped()) io_.restart();
    return io_.poll();
  }
  void Wait() {
    if (io_.stopped()) io_.restart();
    if (io_.run_one_for(std::chrono::milliseconds(2)) == 0) std::this_thread::yield();
  }

  asio::io_context& io_;
  Link& link_;
  int pcFd_;
  std::shared_ptr<Connection> session_;
};

void RunOne(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const std::uint8_t mode = in.Byte();
  const std::size_t writeSize = in.Byte();
  const auto helloBytes = in.Take(std::min<std::size_t>(in.Byte(), kHelloMax));
  const std::string hello(helloBytes.begin(), helloBytes.end());
  const auto stream = in.Rest();
  const int passwordMode = mode & 3;
  const bool withDesktop = (mode & 4) != 0;

  World& world = TheWorld();
  InputQueue& queue = world.input->queue();
  testing::FakeDesktop desktop;
  desktop.apps = {{"Editor \"draft\"", "editor.exe", {0x89, 'P', 'N', 'G'}, 0x10203, true, "/usr/bin/editor"},
                  {"Player", "player", {}, 0, false, "/opt/player/bin/player"}};
  std::unique_ptr<desktop::DesktopWorkers> workers;
  if (withDesktop) workers = std::make_unique<desktop::DesktopWorkers>(&desktop);

  asio::io_context io;
  {
    Link link;
    const int pcFd = link.TakePc();
    asio::ip::tcp::socket socket(io);
    socket.assign(asio::ip::tcp::v4(), pcFd);
    Settings* settings = passwordMode == 0 ? world.open : world.guarded;
    auto session = Connection::Create(&queue, std::move(socket), hello, settings, [](std::shared_ptr<Connection>) {},
                                      {}, workers.get());
    SessionRun run(io, link, pcFd, session);
    session.reset();
    if (passwordMode == 1 || passwordMode == 3) {
      // The challenge went out before Create returned.
      link.Drain();
      const auto nonce = packet::ReadAuthRequest(link.received());
      if (!nonce) Fail("no AUTH_REQUEST from a session with a password");
      run.Write(packet::AuthPassword(ComputeAuthDigest(*nonce, kPassword)));
    }
    const std::size_t step = writeSize == 0 ? std::max<std::size_t>(stream.size(), 1) : writeSize;
    for (std::size_t at = 0; at < stream.size(); at += step) {
      run.Write(std::span(stream).subspan(at, std::min(step, stream.size() - at)));
    }
    run.End();
  }
  if (workers) workers->Stop();
  world.input->Settle();
  CheckScratchHoldsOnly({"desktop", "settings-open.ini", "settings-guarded.ini"});
  ClearFolder(world.desktopFolder);
}

}  // namespace
}  // namespace vandrel::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vandrel::fuzz::SetUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vandrel::fuzz::RunOne(data, size);
  return 0;
}
