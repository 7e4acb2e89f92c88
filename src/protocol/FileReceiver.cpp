#include "protocol/FileReceiver.h"

#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "infra/Logger.h"
#include "infra/PrintableText.h"
#include "protocol/PacketCodec.h"

namespace vandrel {
namespace {

constexpr std::uint64_t kProgressStep = 512 * 1024;
// About one system call per full-sized chunk, whatever the C library's default
// buffer is (4 KiB on some).
constexpr std::size_t kWriteBuffer = 64 * 1024;
// Enough for any real desktop; past it a phone resending one name is refused
// rather than have every START try ever more names.
constexpr unsigned kMaxNumberedNames = 1000;

// The phone sends a bare name, but nothing stops it from sending a path, and
// either slash is a separator somewhere. Keeping only the last component keeps
// the file inside the folder. Names of dots and spaces only are refused too:
// Windows strips trailing dots and spaces, which could turn them into "..".
// A NUL would cut the name short when it reaches the system.
std::optional<std::string> CleanFileName(std::string_view name) {
  const auto separator = name.find_last_of("/\\");
  if (separator != std::string_view::npos) name.remove_prefix(separator + 1);
  if (name.find_first_not_of(". ") == std::string_view::npos) return std::nullopt;
  if (name.find('\0') != std::string_view::npos) return std::nullopt;
  if (!platform::IsPlainFileName(std::string(name))) return std::nullopt;
  return std::string(name);
}

// "report.pdf" taken: "report (2).pdf", as file managers name a second copy.
// A leading dot starts a hidden name, not an extension.
std::string NumberedName(const std::string& name, unsigned number) {
  if (number <= 1) return name;
  const std::string suffix = " (" + std::to_string(number) + ")";
  const auto dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return name + suffix;
  return name.substr(0, dot) + suffix + name.substr(dot);
}

std::uint64_t Percent(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return 0;
  // 128 bits so that part * 100 cannot overflow, however far the count runs.
  __extension__ using Wide = unsigned __int128;
  const Wide percent = static_cast<Wide>(part) * 100 / whole;
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  return percent > kMax ? kMax : static_cast<std::uint64_t>(percent);
}

}  // namespace

FileReceiver::FileReceiver(FolderProvider folderProvider, Style style)
    : folderProvider_(std::move(folderProvider)), style_(style) {}

FileReceiver::~FileReceiver() { CloseFile(); }

void FileReceiver::HandleStart(std::span<const std::uint8_t> packet) {
  const auto fields = packet::ReadFileTransferStart(packet);
  if (!fields) return;
  Log() << style_.tag << "FILE_TRANSFER_START: " << Printable(fields->name) << ", size=" << fields->size;

  // A new START means the phone gave up on the previous file; chunks that follow
  // belong to the new one, even when that one is refused below.
  if (Active()) Finish();

  auto name = CleanFileName(fields->name);
  if (!name) {
    Log() << style_.tag << "Refusing file name: " << Printable(fields->name);
    return;
  }
  // Never over an existing file: the next free "name (N).ext" instead.
  const std::string folder = folderProvider_();
  std::string used;
  std::string path;
  std::FILE* file = nullptr;
  for (unsigned number = 1; number <= kMaxNumberedNames && !file; ++number) {
    used = NumberedName(*name, number);
    path = platform::DesktopFilePath(folder, used);
    bool taken = false;
    file = platform::CreateReceivedFile(path, taken);
    if (!taken) break;
  }
  if (!file) {
    Log() << style_.tag << "Failed to open file for writing: " << Printable(path);
    return;
  }
  std::setvbuf(file, nullptr, _IOFBF, kWriteBuffer);
  file_ = file;
  name_ = std::move(used);
  expected_ = fields->size;
  received_ = 0;
  chunks_ = 0;
  Log() << style_.tag << "File opened: " << Printable(path);
}

void FileReceiver::HandleChunk(std::span<const std::uint8_t> packet) {
  if (!Active()) {
    if (auto permit = strayChunks_.Next()) Log() << style_.tag << "FILE_TRANSFER_CHUNK: no active file transfer" << permit;
    return;
  }
  const auto data = packet::ReadFileTransferChunk(packet);
  if (!data) return;
  if (std::fwrite(data->data(), 1, data->size(), file_) != data->size()) {
    Log() << style_.tag << "FILE_TRANSFER_CHUNK: write failed (disk full?), aborting";
    CloseFile();
    return;
  }
  const std::uint64_t n = data->size();
  received_ += n;
  if (style_.countChunks) {
    ++chunks_;
    if (auto permit = chunkLines_.Next()) {
      Log() << style_.tag << "CHUNK #" << chunks_ << " len=" << n << " total=" << received_ << "/" << expected_ << permit;
    }
    return;
  }
  // A chunk is far smaller than the step, so it crosses at most one boundary.
  if (received_ % kProgressStep < n) {
    Log() << style_.tag << "File transfer progress: " << received_ << " / " << expected_ << " bytes ("
          << Percent(received_, expected_) << "%)";
  }
}

void FileReceiver::HandleEnd() {
  if (!Active()) {
    if (auto permit = strayEnds_.Next()) Log() << style_.tag << "FILE_TRANSFER_END: no active file transfer" << permit;
    return;
  }
  Finish();
}

void FileReceiver::Abort() {
  if (!Active()) return;
  CloseFile();
  Log() << style_.abortLine;
}

void FileReceiver::Finish() {
  const std::string name = name_;
  const std::uint64_t expected = expected_;
  const std::uint64_t received = received_;
  const std::uint32_t chunks = chunks_;
  // Buffered bytes reach the disk only now, so a full disk may first show here.
  if (!CloseFile()) {
    Log() << style_.tag << "FILE_TRANSFER_END: write failed (disk full?), " << Printable(name) << " may be incomplete";
  } else if (received == expected) {
    Log() << style_.tag << "File transfer completed OK: " << Printable(name) << ", " << received << " bytes received (verified)";
  } else {
    Log() << style_.tag << "WARNING: File transfer size mismatch! Expected=" << expected << ", received=" << received
          << " bytes" << (style_.countChunks ? " (" + std::to_string(chunks) + " chunks)" : std::string()) << ". File may be incomplete.";
  }
}

bool FileReceiver::CloseFile() {
  bool ok = true;
  if (file_) ok = std::fclose(file_) == 0;
  file_ = nullptr;
  name_.clear();
  expected_ = 0;
  received_ = 0;
  return ok;
}

}  // namespace vandrel
