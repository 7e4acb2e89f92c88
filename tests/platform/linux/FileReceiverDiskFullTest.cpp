#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <string>

#include "LogCapture.h"
#include "TempDir.h"
#include "protocol/FileReceiver.h"
#include "protocol/PacketCodec.h"

namespace vandrel {
namespace {

using testing::ReadBinary;
using testing::TempDir;

Bytes Chunk(const std::string& data) {
  return packet::FileTransferChunk(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
}

// Caps the size of any file this process writes, as a full disk would; writes
// past the cap fail with EFBIG instead of killing the process.
class FileSizeCap {
 public:
  explicit FileSizeCap(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit cap = saved_;
    cap.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &cap) == 0;
  }
  ~FileSizeCap() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, oldHandler_);
  }
  FileSizeCap(const FileSizeCap&) = delete;
  FileSizeCap& operator=(const FileSizeCap&) = delete;
  bool ok() const { return ok_; }

 private:
  struct rlimit saved_ {};
  void (*oldHandler_)(int) = nullptr;
  bool ok_ = false;
};

TEST(FileReceiverDiskFull, FailedChunkEndsTransferAndNextOneWorks) {
  TempDir dir;
  testing::LogCapture log;
  FileReceiver receiver([&] { return dir.path().string(); });
  const std::string chunk(65535, 'c');
  {
    FileSizeCap cap(100000);
    ASSERT_TRUE(cap.ok());
    receiver.HandleStart(packet::FileTransferStart("full.bin", 4 * chunk.size()));
    for (int i = 0; i < 4; ++i) receiver.HandleChunk(Chunk(chunk));
  }
  EXPECT_EQ(log.Count("[CONNECTION] FILE_TRANSFER_CHUNK: write failed (disk full?), aborting"), 1u);
  EXPECT_FALSE(receiver.Active());
  receiver.HandleChunk(Chunk(chunk));
  EXPECT_TRUE(log.Contains("FILE_TRANSFER_CHUNK: no active file transfer"));
  EXPECT_EQ(ReadBinary(dir.File("full.bin")), std::string(100000, 'c')) << "what was written should stay";

  receiver.HandleStart(packet::FileTransferStart("next.bin", 5));
  receiver.HandleChunk(Chunk("fresh"));
  receiver.HandleEnd();
  EXPECT_TRUE(log.Contains("completed OK: next.bin, 5 bytes received (verified)"));
  EXPECT_EQ(ReadBinary(dir.File("next.bin")), "fresh");
}

// Small chunks sit in the write buffer until the file closes; a failure then
// must not be reported as a completed transfer.
TEST(FileReceiverDiskFull, FailureWhileClosingIsNotReportedAsSuccess) {
  TempDir dir;
  testing::LogCapture log;
  FileReceiver receiver([&] { return dir.path().string(); });
  receiver.HandleStart(packet::FileTransferStart("tail.bin", 100));
  receiver.HandleChunk(Chunk(std::string(100, 't')));
  {
    FileSizeCap cap(50);
    ASSERT_TRUE(cap.ok());
    receiver.HandleEnd();
  }
  EXPECT_FALSE(receiver.Active());
  EXPECT_TRUE(log.Contains("write failed (disk full?)"));
  EXPECT_FALSE(log.Contains("completed OK"));
}

}  // namespace
}  // namespace vandrel
