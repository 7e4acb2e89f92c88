#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "LogCapture.h"
#include "TempDir.h"
#include "infra/PrintableText.h"
#include "protocol/FileReceiver.h"
#include "protocol/PacketCodec.h"

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using testing::ReadBinary;
using testing::TempDir;
using testing::WriteBinary;

Bytes Chunk(const std::string& data) {
  return packet::FileTransferChunk(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
}

class FileReceiverTest : public ::testing::Test {
 protected:
  // Files land two levels down, so a name that climbs out of the folder still
  // shows up inside the temporary tree. The receiver is declared last: it must
  // close its file before the tree goes.
  fs::path Folder() const { return dir_.path() / "desk" / "inbox"; }
  void SetUp() override { fs::create_directories(Folder()); }
  void Send(const std::string& name, const std::string& data) {
    receiver_.HandleStart(packet::FileTransferStart(name, data.size()));
    receiver_.HandleChunk(Chunk(data));
    receiver_.HandleEnd();
  }

  TempDir dir_;
  testing::LogCapture log_;
  FileReceiver receiver_{[this] { return Folder().string(); }};
};

TEST_F(FileReceiverTest, WholeFileArrivesWithProgressEveryHalfMebibyte) {
  std::string data(1 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  receiver_.HandleStart(packet::FileTransferStart("report.pdf", data.size()));
  EXPECT_TRUE(receiver_.Active());
  EXPECT_TRUE(log_.Contains("[CONNECTION] FILE_TRANSFER_START: report.pdf, size=1048576"));
  EXPECT_TRUE(log_.Contains("[CONNECTION] File opened: " + (Folder() / "report.pdf").string()));
  // 32 KiB chunks: the largest power of two a chunk's 16-bit length can carry.
  for (std::size_t offset = 0; offset < data.size(); offset += 32768) {
    receiver_.HandleChunk(Chunk(data.substr(offset, 32768)));
  }
  receiver_.HandleEnd();

  EXPECT_FALSE(receiver_.Active());
  EXPECT_EQ(log_.Count("File transfer progress"), 2u);
  EXPECT_TRUE(log_.Contains("[CONNECTION] File transfer progress: 524288 / 1048576 bytes (50%)"));
  EXPECT_TRUE(log_.Contains("[CONNECTION] File transfer progress: 1048576 / 1048576 bytes (100%)"));
  EXPECT_TRUE(log_.Contains("[CONNECTION] File transfer completed OK: report.pdf, 1048576 bytes received (verified)"));
  EXPECT_TRUE(ReadBinary(Folder() / "report.pdf") == data) << "file content differs";
}

// Phones announce whatever they like; the percentage must neither divide by
// zero nor trip over sizes near the 64-bit limit.
TEST_F(FileReceiverTest, ProgressCopesWithOddAnnouncedSizes) {
  const std::string chunk(65535, 'x');
  receiver_.HandleStart(packet::FileTransferStart("zero.bin", 0));
  for (int i = 0; i < 9; ++i) receiver_.HandleChunk(Chunk(chunk));
  receiver_.HandleStart(packet::FileTransferStart("huge.bin", 0xFFFFFFFFFFFFFFFFu));
  for (int i = 0; i < 9; ++i) receiver_.HandleChunk(Chunk(chunk));
  EXPECT_TRUE(log_.Contains("progress: 589815 / 0 bytes (0%)"));
  EXPECT_TRUE(log_.Contains("Expected=0, received=589815 bytes"));
  EXPECT_TRUE(log_.Contains("progress: 589815 / 18446744073709551615 bytes (0%)"));
}

TEST_F(FileReceiverTest, EndReportsShortTransferAndKeepsThePart) {
  receiver_.HandleStart(packet::FileTransferStart("half.bin", 2000));
  receiver_.HandleChunk(Chunk(std::string(1000, 'h')));
  receiver_.HandleEnd();
  EXPECT_TRUE(log_.Contains(
      "[CONNECTION] WARNING: File transfer size mismatch! Expected=2000, received=1000 bytes. File may be incomplete."));
  EXPECT_FALSE(log_.Contains("(verified)"));
  EXPECT_EQ(ReadBinary(Folder() / "half.bin"), std::string(1000, 'h'));
}

TEST_F(FileReceiverTest, TakenNamesGetTheNextFreeNumberAndOldFilesStayIntact) {
  WriteBinary(Folder() / "report.pdf", "the first report");
  Send("report.pdf", "second");
  Send("report.pdf", "third");
  EXPECT_EQ(ReadBinary(Folder() / "report.pdf"), "the first report");
  EXPECT_EQ(ReadBinary(Folder() / "report (2).pdf"), "second");
  EXPECT_EQ(ReadBinary(Folder() / "report (3).pdf"), "third");
  EXPECT_TRUE(log_.Contains("[CONNECTION] File opened: " + (Folder() / "report (2).pdf").string()));
  EXPECT_TRUE(log_.Contains("[CONNECTION] File transfer completed OK: report (3).pdf, 5 bytes received (verified)"));

  // No extension, a hidden name, and a dot that only ends a name's last part.
  for (const char* name : {"notes", ".bashrc", "archive.tar.gz"}) {
    WriteBinary(Folder() / name, "old");
    Send(name, "new");
    EXPECT_EQ(ReadBinary(Folder() / name), "old") << name;
  }
  EXPECT_EQ(ReadBinary(Folder() / "notes (2)"), "new");
  EXPECT_EQ(ReadBinary(Folder() / ".bashrc (2)"), "new");
  EXPECT_EQ(ReadBinary(Folder() / "archive.tar (2).gz"), "new");

  // An empty file is a file too, and a gap in the numbers is filled.
  WriteBinary(Folder() / "empty.txt", "something");
  WriteBinary(Folder() / "empty (3).txt", "something else");
  receiver_.HandleStart(packet::FileTransferStart("empty.txt", 0));
  receiver_.HandleEnd();
  EXPECT_TRUE(log_.Contains("[CONNECTION] File transfer completed OK: empty (2).txt, 0 bytes received (verified)"));
  EXPECT_EQ(fs::file_size(Folder() / "empty (2).txt"), 0u);
  EXPECT_EQ(ReadBinary(Folder() / "empty.txt"), "something");
}

TEST_F(FileReceiverTest, NamesCannotForgeLogLines) {
  Send("a\nb.txt\r\x1b[2J", "x");
  EXPECT_TRUE(log_.Contains("[CONNECTION] FILE_TRANSFER_START: a\\x0ab.txt\\x0d\\x1b[2J, size=1"));
  for (const auto& line : log_.Lines()) {
    EXPECT_EQ(line.find_first_of("\n\r\x1b"), std::string::npos) << line;
  }
}

TEST_F(FileReceiverTest, PathsInNamesCannotLeaveTheFolder) {
  for (const char* name : {"../evil.txt", "a/../../b.txt", "..\\..\\x.txt", "C:\\x\\y.txt", "/etc/passwd"}) {
    Send(name, name);
  }
  std::set<fs::path> written;
  for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
    if (!entry.is_directory()) written.insert(fs::relative(entry.path(), Folder()));
  }
  EXPECT_EQ(written, (std::set<fs::path>{"evil.txt", "b.txt", "x.txt", "y.txt", "passwd"}));
  EXPECT_EQ(ReadBinary(Folder() / "x.txt"), "..\\..\\x.txt");
  EXPECT_EQ(log_.Count("(verified)"), 5u);
}

TEST_F(FileReceiverTest, RefusesNamesWithoutAFileName) {
  using namespace std::string_literals;
  for (const std::string& name : {".."s, "."s, "dir/"s, "a\\.."s, ""s, "x\0y"s}) {
    receiver_.HandleStart(packet::FileTransferStart(name, 3));
    EXPECT_FALSE(receiver_.Active()) << name;
    EXPECT_TRUE(log_.Contains("[CONNECTION] Refusing file name: " + Printable(name))) << name;
  }
  receiver_.HandleChunk(Chunk("abc"));
  EXPECT_TRUE(log_.Contains("FILE_TRANSFER_CHUNK: no active file transfer"));
  EXPECT_TRUE(fs::is_empty(Folder()));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

TEST_F(FileReceiverTest, NewStartEndsTheRunningTransfer) {
  receiver_.HandleStart(packet::FileTransferStart("first.bin", 10));
  receiver_.HandleChunk(Chunk("12345"));
  Send("second.bin", "complete");
  EXPECT_TRUE(log_.Contains("Expected=10, received=5 bytes"));
  EXPECT_EQ(ReadBinary(Folder() / "first.bin"), "12345");
  EXPECT_EQ(ReadBinary(Folder() / "second.bin"), "complete");
  EXPECT_TRUE(log_.Contains("completed OK: second.bin, 8 bytes received (verified)"));

  // Chunks after a refused name must not land in the file before it.
  receiver_.HandleStart(packet::FileTransferStart("third.bin", 3));
  receiver_.HandleChunk(Chunk("abc"));
  receiver_.HandleStart(packet::FileTransferStart("..", 3));
  receiver_.HandleChunk(Chunk("def"));
  EXPECT_TRUE(log_.Contains("completed OK: third.bin, 3 bytes"));
  EXPECT_EQ(ReadBinary(Folder() / "third.bin"), "abc");
}

TEST_F(FileReceiverTest, UnopenableDestinationLeavesReceiverIdle) {
  WriteBinary(dir_.path() / "plain", "a file, not a folder");
  FileReceiver receiver([this] { return (dir_.path() / "plain").string(); });
  receiver.HandleStart(packet::FileTransferStart("x.txt", 3));
  EXPECT_FALSE(receiver.Active());
  EXPECT_TRUE(log_.Contains("[CONNECTION] Failed to open file for writing: " + (dir_.path() / "plain").string()));
  receiver.HandleChunk(Chunk("abc"));
  EXPECT_TRUE(log_.Contains("FILE_TRANSFER_CHUNK: no active file transfer"));
}

TEST_F(FileReceiverTest, MalformedPacketsAreIgnored) {
  const Bytes start = packet::FileTransferStart("cut.bin", 4);
  for (std::size_t count = 0; count < start.size(); ++count) receiver_.HandleStart(std::span(start).first(count));
  EXPECT_FALSE(receiver_.Active());
  EXPECT_FALSE(log_.Contains("FILE_TRANSFER_START"));

  receiver_.HandleStart(start);
  const Bytes chunk = Chunk("data");
  for (std::size_t count = 0; count < chunk.size(); ++count) receiver_.HandleChunk(std::span(chunk).first(count));
  receiver_.HandleChunk(chunk);
  receiver_.HandleEnd();
  EXPECT_EQ(ReadBinary(Folder() / "cut.bin"), "data");
}

TEST_F(FileReceiverTest, AbortKeepsThePartialFileAndLaterPacketsFindNoTransfer) {
  receiver_.Abort();
  receiver_.HandleChunk(Chunk("stray"));
  EXPECT_EQ(log_.Count("[CONNECTION] FILE_TRANSFER_CHUNK: no active file transfer"), 1u);
  EXPECT_FALSE(log_.Contains("connection close"));
  receiver_.HandleStart(packet::FileTransferStart("movie.mp4", 100));
  receiver_.HandleChunk(Chunk("partial"));
  receiver_.Abort();
  EXPECT_FALSE(receiver_.Active());
  EXPECT_EQ(log_.Count("[CONNECTION] Closed file transfer due to connection close"), 1u);
  EXPECT_EQ(ReadBinary(Folder() / "movie.mp4"), "partial");
  receiver_.HandleEnd();
  EXPECT_EQ(log_.Count("[CONNECTION] FILE_TRANSFER_END: no active file transfer"), 1u);

  {
    FileReceiver dropped([this] { return Folder().string(); });
    dropped.HandleStart(packet::FileTransferStart("dropped.bin", 100));
    dropped.HandleChunk(Chunk("buffered"));
  }
  EXPECT_EQ(ReadBinary(Folder() / "dropped.bin"), "buffered");
  EXPECT_EQ(log_.Count("connection close"), 1u) << "the destructor closes silently";
}

}  // namespace
}  // namespace vandrel
