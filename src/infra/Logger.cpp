#include "infra/Logger.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <memory>

#include "infra/Platform.h"
#include "infra/TextEncoding.h"

namespace vandrel {
namespace {

std::atomic<Logger*> g_logger{nullptr};

// The sink is installed by the window and reset at exit while other threads
// may be logging; a shared pointer copied under a short lock keeps the callable
// alive for a call already under way.
std::mutex g_sinkMutex;
std::shared_ptr<const LogLineSink> g_sink;

std::shared_ptr<const LogLineSink> CurrentSink() {
  std::lock_guard lock(g_sinkMutex);
  return g_sink;
}

}  // namespace

void SetLogLineSink(LogLineSink sink) {
  auto next = sink ? std::make_shared<const LogLineSink>(std::move(sink)) : nullptr;
  std::lock_guard lock(g_sinkMutex);
  g_sink = std::move(next);
}

std::string DefaultLogFilePath() {
  return platform::DefaultLogFilePath();
}

Logger::Logger(const std::string& path, std::uint64_t rotationBytes)
    : path_(path), rotationBytes_(rotationBytes == 0 ? 1 : rotationBytes) {
  std::lock_guard lock(mutex_);
  OpenLocked();
  if (file_ && written_ >= rotationBytes_) RotateLocked();
  if (file_) WriteBannerLocked();
}

void Logger::OpenLocked() {
  file_ = platform::OpenForAppendShared(path_);
  if (!file_) {
    std::fprintf(stderr, "Failed to open log file: %s\n", path_.c_str());
    return;
  }
  written_ = platform::OpenFileSize(file_);
  rotateAt_ = rotationBytes_;
}

void Logger::WriteBannerLocked() {
  const std::tm local = platform::LocalTime(std::time(nullptr));
  char when[32] = {};
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
  const int n = std::fprintf(file_, "\n========== Logger started at %s PID=%lu ==========\n", when,
                             platform::CurrentProcessId());
  std::fflush(file_);
  if (n > 0) written_ += static_cast<std::uint64_t>(n) + 2 * (platform::NativeLineEnd().size() - 1);
}

// Windows cannot rename an open file, so the file is closed around the rename on
// every platform. When the rename fails (a reader holds the file), logging goes
// on in the old file and the next try waits for another sixteenth of the limit.
bool Logger::RotateLocked() {
  std::fclose(file_);
  file_ = nullptr;
  const bool moved = platform::RenameReplacing(path_, path_ + ".1");
  OpenLocked();
  if (!file_ || moved) return moved;
  rotateAt_ = written_ + std::max<std::uint64_t>(rotationBytes_ / 16, 1);
  return false;
}

Logger::~Logger() { Close(); }

Logger& Logger::Create() {
  if (Logger* existing = g_logger.load()) return *existing;
  return Create(DefaultLogFilePath());
}

Logger& Logger::Create(const std::string& path) {
  static std::mutex creation;
  std::lock_guard lock(creation);
  if (Logger* existing = g_logger.load()) return *existing;
  // Never deleted: threads that outlive the application object may still log.
  auto* logger = new Logger(path);
  g_logger.store(logger);
  return *logger;
}

Logger* Logger::Instance() { return g_logger.load(); }

void Logger::WriteLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  if (!file_) return;
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fputc('\n', file_);
  std::fflush(file_);
  written_ += line.size() + platform::NativeLineEnd().size();
  if (written_ >= rotateAt_ && RotateLocked() && file_) WriteBannerLocked();
}

void Logger::Close() {
  std::lock_guard lock(mutex_);
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

bool Logger::FileIsOpen() const {
  std::lock_guard lock(mutex_);
  return file_ != nullptr;
}

LogStatement::~LogStatement() {
  try {
    if (!target_) {
      line_ += '\n';
      std::fwrite(line_.data(), 1, line_.size(), stdout);
      std::fflush(stdout);
      return;
    }
    target_->WriteLine(line_);
    if (line_.empty()) return;
    if (auto sink = CurrentSink()) (*sink)(line_);
  } catch (...) {
    // A destructor must not throw; a failed lock or sink loses this one line only.
  }
}

void LogStatement::Piece(std::string_view text) { line_.append(text); }

LogStatement& LogStatement::operator<<(std::string_view text) {
  Piece(text);
  return *this;
}

LogStatement& LogStatement::operator<<(std::wstring_view text) {
  Piece(WideToUtf8(text));
  return *this;
}

LogStatement& LogStatement::Signed(long long v) {
  char text[24];
  const auto result = std::to_chars(std::begin(text), std::end(text), v);
  Piece(std::string_view(text, static_cast<std::size_t>(result.ptr - text)));
  return *this;
}

LogStatement& LogStatement::Unsigned(unsigned long long v) {
  char text[24];
  const auto result = std::to_chars(std::begin(text), std::end(text), v, hex_ ? 16 : 10);
  Piece(std::string_view(text, static_cast<std::size_t>(result.ptr - text)));
  return *this;
}

LogStatement& LogStatement::operator<<(double v) {
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%g", v);
  Piece(std::string_view(text, n > 0 ? static_cast<std::size_t>(n) : 0));
  return *this;
}

LogStatement& LogStatement::operator<<(const void* p) {
  const bool wasHex = hex_;
  hex_ = true;
  Piece("0x");
  Unsigned(reinterpret_cast<std::uintptr_t>(p));
  hex_ = wasHex;
  return *this;
}

LogStatement& LogStatement::operator<<(std::ios_base& (*manipulator)(std::ios_base&)) {
  if (manipulator == static_cast<std::ios_base& (*)(std::ios_base&)>(std::hex)) hex_ = true;
  else if (manipulator == static_cast<std::ios_base& (*)(std::ios_base&)>(std::dec)) hex_ = false;
  return *this;
}

}  // namespace vandrel
