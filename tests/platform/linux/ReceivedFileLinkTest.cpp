// A link planted on the desktop (or in the shared /tmp fallback) under the
// name of an incoming file must never be written through.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "LogCapture.h"
#include "TempDir.h"
#include "protocol/FileReceiver.h"
#include "protocol/PacketCodec.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using testing::ReadBinary;
using testing::TempDir;
using testing::WriteBinary;

TEST(ReceivedFileLinkTest, LinksNamedLikeTheFileAreNotFollowed) {
  TempDir dir;
  const fs::path desktop = dir.path() / "desktop";
  const fs::path victim = dir.path() / "victim.txt";
  fs::create_directories(desktop);
  WriteBinary(victim, "precious");
  fs::create_symlink(victim, desktop / "report.pdf");
  fs::create_symlink(dir.path() / "nowhere", desktop / "report (2).pdf");  // dangling: O_CREAT alone would create its target

  testing::LogCapture log;
  {
    FileReceiver receiver([&] { return desktop.string(); });
    const std::string data = "from the phone";
    receiver.HandleStart(packet::FileTransferStart("report.pdf", data.size()));
    receiver.HandleChunk(packet::FileTransferChunk(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size())));
    receiver.HandleEnd();
  }
  EXPECT_EQ(ReadBinary(victim), "precious");
  EXPECT_FALSE(fs::exists(dir.path() / "nowhere"));
  EXPECT_TRUE(fs::is_symlink(desktop / "report.pdf"));
  EXPECT_EQ(ReadBinary(desktop / "report (3).pdf"), "from the phone");
  EXPECT_FALSE(fs::is_symlink(desktop / "report (3).pdf"));
  EXPECT_TRUE(log.Contains("[CONNECTION] File opened: " + (desktop / "report (3).pdf").string()));
  EXPECT_TRUE(log.Contains("completed OK: report (3).pdf, 14 bytes received (verified)"));
}

}  // namespace
}  // namespace vandrel
