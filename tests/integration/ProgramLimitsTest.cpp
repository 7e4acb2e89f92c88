// The real program against phones that misbehave or a machine that runs short:
// broadcast discovery, garbage that must not fill the log, no descriptors left.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>

#include "PhoneRun.h"
#include "ServerFixture.h"
#include "VandrelProcess.h"

namespace vandrel::testing {
namespace {

using Packet = std::vector<std::uint8_t>;

// User and system CPU time the process has used so far.
std::chrono::milliseconds CpuTime(pid_t pid) {
  std::string stat = ReadBinary("/proc/" + std::to_string(pid) + "/stat");
  // The command name may hold spaces; the fields after it are plain numbers.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stoll(field);
  }
  return std::chrono::milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
}

class ProgramLimitsTest : public ::testing::Test {
 protected:
  std::unique_ptr<VandrelProcess> Start() {
    auto process = std::make_unique<VandrelProcess>(
        home_, std::vector<std::string>{"--headless", "--port", std::to_string(port_), "--discovery-port",
                                        std::to_string(discoveryPort_), "--no-ble", "--no-mdns", "--no-adb"});
    EXPECT_TRUE(process->Spawned());
    EXPECT_TRUE(process->WaitForLog("[SERVER] Started")) << process->Output();
    return process;
  }

  std::unique_ptr<phone::PhoneClient> Connect() {
    auto client = std::make_unique<phone::PhoneClient>(phone::Seconds(10));
    client->Connect("127.0.0.1", port_, "Maker/Phone/Model-1/1");
    return client;
  }

  TempDir home_;
  std::uint16_t port_ = NextTestPort();
  std::uint16_t discoveryPort_ = NextTestPort();
};

TEST_F(ProgramLimitsTest, DiscoverWithoutAnAddressFindsThePcByBroadcast) {
  auto vandrel = Start();
  const auto run = Phone("--discovery-port " + std::to_string(discoveryPort_) + " discover --wait 2");
  EXPECT_EQ(run.code, 0) << run.output;
  EXPECT_NE(run.output.find(" port " + std::to_string(port_) + " at 10.213.0.2"), std::string::npos) << run.output;
}

TEST_F(ProgramLimitsTest, TenSecondsOfGarbageGrowTheLogByAFewKilobytes) {
  std::filesystem::create_directories(home_.path() / "config/Vandrel");
  WriteBinary(home_.path() / "config/Vandrel/settings.ini", "ConnectionPassword=secret\n");
  auto vandrel = Start();
  auto stranger = Connect();
  ASSERT_EQ(stranger->Handshake(std::nullopt), phone::HandshakeResult::PasswordRequired);
  ASSERT_TRUE(vandrel->WaitForLog("[CONNECTION] Sending AUTH_REQUEST"));
  const std::size_t before = vandrel->Log().size();

  asio::io_context io;
  asio::ip::udp::socket udp(io, {asio::ip::make_address("127.0.0.1"), 0});
  const asio::ip::udp::endpoint input(asio::ip::make_address("127.0.0.1"), port_);
  const asio::ip::udp::endpoint discovery(asio::ip::make_address("127.0.0.1"), discoveryPort_);
  std::mt19937 random(7);
  Packet garbage(4096);
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < end) {
    // Anything but AUTH_PASSWORD, whose wrong digest would end the session.
    for (auto& byte : garbage) byte = static_cast<std::uint8_t>(random() % 255 + (random() % 255 >= 30 ? 1 : 0));
    for (auto& byte : garbage) byte = byte == 30 ? 31 : byte;
    stranger->Send(garbage);
    asio::error_code ignored;
    udp.send_to(asio::buffer(garbage.data(), 64), input, 0, ignored);
    udp.send_to(asio::buffer(garbage.data(), 40), discovery, 0, ignored);
    udp.send_to(asio::buffer(garbage.data(), 300), discovery, 0, ignored);
    std::this_thread::sleep_for(1ms);
  }
  // Still serving: a phone with the password gets in.
  auto phone = Connect();
  ASSERT_EQ(phone->Handshake(std::string("secret")), phone::HandshakeResult::Success);
  phone->Ping();
  const std::size_t grown = vandrel->Log().size() - before;
  EXPECT_LT(grown, 8u * 1024) << vandrel->Log().substr(before, 4000);
  EXPECT_NE(vandrel->Log().find(" more)"), std::string::npos) << "the summaries count what was left out";
}

TEST_F(ProgramLimitsTest, OutOfDescriptorsTheAcceptorWaitsInsteadOfSpinning) {
  auto vandrel = Start();
  // As `prlimit --nofile=64` would have started it.
  const struct rlimit cap = {64, 64};
  ASSERT_EQ(::prlimit(vandrel->Pid(), RLIMIT_NOFILE, &cap, nullptr), 0) << std::strerror(errno);
  std::vector<std::unique_ptr<phone::PhoneClient>> held;
  for (int i = 0; i < 100; ++i) {
    held.push_back(std::make_unique<phone::PhoneClient>(phone::Seconds(10)));
    held.back()->Connect("127.0.0.1", port_, "Maker/Holder/Model/1");
  }
  ASSERT_TRUE(vandrel->WaitForLog("[SERVER] Accept failed: ")) << vandrel->Log();
  const auto cpuBefore = CpuTime(vandrel->Pid());
  std::this_thread::sleep_for(3s);
  const auto used = CpuTime(vandrel->Pid()) - cpuBefore;
  EXPECT_LT(used, 300ms);
  held.clear();
  ASSERT_TRUE(vandrel->WaitForLog("[SERVER] Accepting connections again", 20s)) << vandrel->Log();
  auto phone = Connect();
  ASSERT_EQ(phone->Handshake(std::nullopt), phone::HandshakeResult::Success);
  phone->Ping();
  const std::string log = vandrel->Log();
  std::size_t failures = 0;
  for (std::size_t at = log.find("[SERVER] Accept failed: "); at != std::string::npos;
       at = log.find("[SERVER] Accept failed: ", at + 1)) {
    ++failures;
  }
  EXPECT_EQ(failures, 1u) << "logged once, however long it lasts";
}

TEST_F(ProgramLimitsTest, TheOpenFileLimitIsRaisedToTheHardLimitAtStart) {
  struct rlimit own {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
  if (own.rlim_max == RLIM_INFINITY || own.rlim_max < 256) GTEST_SKIP() << "no finite hard limit to raise to";
  // As a desktop session would start it: a low soft limit under a high hard one.
  struct rlimit low = own;
  low.rlim_cur = std::min<rlim_t>(own.rlim_max / 2, 1024);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0) << std::strerror(errno);
  auto vandrel = Start();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0) << std::strerror(errno);

  // The program lowers it again for the instant it starts another program,
  // which it does at start: the companion, adb.
  struct rlimit now {};
  EXPECT_TRUE(WaitUntil([&] {
    return ::prlimit(vandrel->Pid(), RLIMIT_NOFILE, nullptr, &now) == 0 && now.rlim_cur == own.rlim_max;
  })) << now.rlim_cur;
  EXPECT_EQ(now.rlim_max, own.rlim_max);
  EXPECT_NE(vandrel->Log().find("[VANDREL] Open-file limit: " + std::to_string(own.rlim_max) + "\n"),
            std::string::npos)
      << vandrel->Log();
}

TEST_F(ProgramLimitsTest, AnUnusableLockFileDoesNotCountAsAnotherInstance) {
  // A link planted where the lock goes is neither followed nor taken for a running instance.
  std::filesystem::create_symlink(home_.path() / "elsewhere", home_.path() / "Vandrel_SingleInstance_Mutex");
  auto vandrel = Start();
  EXPECT_NE(vandrel->Log().find("[VANDREL] Single-instance lock "), std::string::npos);
  EXPECT_NE(vandrel->Log().find("running without it"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(home_.path() / "elsewhere"));
}

TEST_F(ProgramLimitsTest, ProgramsItStartsDoNotInheritTheLogFile) {
  auto vandrel = Start();
  const std::filesystem::path fds = "/proc/" + std::to_string(vandrel->Pid()) + "/fd";
  bool found = false;
  for (const auto& entry : std::filesystem::directory_iterator(fds)) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec).filename() != "vandrel.log") continue;
    found = true;
    std::istringstream info(
        ReadBinary("/proc/" + std::to_string(vandrel->Pid()) + "/fdinfo/" + entry.path().filename().string()));
    std::string key, flags;
    while (info >> key >> flags && key != "flags:") {
    }
    EXPECT_NE(std::stoul(flags, nullptr, 8) & O_CLOEXEC, 0u) << flags;
  }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace vandrel::testing
