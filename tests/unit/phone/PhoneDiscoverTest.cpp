#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "FakeResponder.h"
#include "RunPhoneWith.h"
#include "vandrel-phone/Commands.h"
#include "vandrel-phone/Discover.h"
#include "vandrel-phone/Options.h"

namespace vandrel::phone {
namespace {

using testing::BytesOf;
using testing::FakeResponder;
using testing::ProgramRun;
using testing::RunWith;

std::optional<PcIdentity> Identity(std::string_view text) { return ParseIdentity(BytesOf(text)); }

TEST(PhoneDiscoverTest, IdentityNeedsHostPortAndNothingElse) {
  const auto desk = Identity("VANDREL|DESK-7|6969\n");
  ASSERT_TRUE(desk.has_value());
  EXPECT_EQ(desk->host, "DESK-7");
  EXPECT_EQ(desk->port, 6969);
  EXPECT_EQ(Identity("VANDREL|Anna's PC|65535\n").value_or(PcIdentity{}).host, "Anna's PC");

  const char* bad[] = {
      // missing parts
      "", "VANDREL|", "VANDREL|DESK-7\n", "VANDREL||6969\n", "VANDREL|DESK-7|\n", "VANDREL|DESK-7|6969",
      "DESK-7|6969\n", "VANDREL_DISCOVER",
      // ports that are no TCP port
      "VANDREL|DESK-7|69a9\n", "VANDREL|DESK-7|-1\n", "VANDREL|DESK-7|+69\n", "VANDREL|DESK-7|0\n",
      "VANDREL|DESK-7|65536\n", "VANDREL|DESK-7|0006969\n", "VANDREL|DESK-7|99999999999999999999\n",
      // extra junk
      "VANDREL|DESK-7|6969\n\n", "VANDREL|DESK-7|6969\nVANDREL|X|1\n", "VANDREL|DESK-7|6969|x\n",
      "VANDREL|DESK-7|6969 \n", "VANDREL|DESK-7|6969\r\n", "VANDREL|DE\x1bSK|6969\n", "vandrel|DESK-7|6969\n"};
  for (const char* text : bad) EXPECT_FALSE(Identity(text).has_value()) << ::testing::PrintToString(text);
}

TEST(PhoneDiscoverTest, ReadsItsOptionsAndRejectsMalformedOnes) {
  const std::vector<std::string> words = {"--discovery-port=7000", "--mdns-port", "7001", "discover"};
  const Options options = ParseOptions(words);
  EXPECT_EQ(options.discoveryPort, 7000);
  EXPECT_EQ(options.mdnsPort, 7001);

  const std::vector<std::vector<std::string>> bad = {
      {"--discovery-port", "0", "discover"}, {"--mdns-port", "x", "discover"}, {"discover", "--wait", "0"},
      {"discover", "--wait"},                {"discover", "--to", "pc.local"}, {"discover", "--mdns=1"},
      {"discover", "--bogus"},               {"discover", "--to=1.2.3.4", "extra"},
  };
  for (const auto& args : bad) {
    const ProgramRun run = RunWith(args);
    EXPECT_EQ(run.status, kExitUsage) << ::testing::PrintToString(args);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
}

TEST(PhoneDiscoverTest, ListsEachAnsweringPcOnceAndSkipsJunk) {
  const Bytes identity = BytesOf("VANDREL|DESK-7|6969\n");
  FakeResponder pc({BytesOf("VANDREL|LAPTOP|x\n"), identity, BytesOf("VANDREL_DISCOVER"), identity});
  const ProgramRun run =
      RunWith({"--discovery-port", std::to_string(pc.port()), "discover", "--to", "127.0.0.1", "--wait", "1"});
  const Bytes probe = pc.Finish();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "DESK-7 port 6969 at 127.0.0.1\n");
  EXPECT_EQ(std::string(probe.begin(), probe.end()).substr(0, 16), "VANDREL_DISCOVER");
}

TEST(PhoneDiscoverTest, NoUsableAnswerFailsWithOneLine) {
  for (const bool mdns : {false, true}) {
    FakeResponder pc({BytesOf("VANDREL|DESK-7|port\n"), Bytes(40, 0xff)});
    std::vector<std::string> args = {mdns ? "--mdns-port" : "--discovery-port", std::to_string(pc.port()),
                                     "discover", "--to=127.0.0.1", "--wait=0.2"};
    if (mdns) args.push_back("--mdns");
    const ProgramRun run = RunWith(args);
    EXPECT_FALSE(pc.Finish().empty()) << "nothing was sent";
    EXPECT_EQ(run.status, kExitFailure) << mdns;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "vandrel-phone: no PC answered within 0.2 s\n");
  }
}

}  // namespace
}  // namespace vandrel::phone
