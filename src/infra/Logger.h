// Process-wide diagnostic log: every line goes to standard output, the log
// file and (once the window installs it) the line sink.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <ios>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

namespace vandrel {

/// Receives each finished line (UTF-8, without the line end) on the thread that logged it.
using LogLineSink = std::function<void(const std::string&)>;

/// Installs or (with an empty callable) removes the process-wide line sink.
void SetLogLineSink(LogLineSink sink);

class Logger {
 public:
  static constexpr std::uint64_t kDefaultRotationBytes = std::uint64_t{8} << 20;

  /// Opens `path` for appending and writes the start banner; on failure reports it
  /// on standard error and lives on without a file. A file past `rotationBytes`,
  /// at start or later at a line end, becomes `path` + ".1" and a new one begins.
  explicit Logger(const std::string& path, std::uint64_t rotationBytes = kDefaultRotationBytes);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  /// Creates the process-wide logger at the platform's log place. Later calls
  /// return the existing one; it is never destroyed.
  static Logger& Create();
  static Logger& Create(const std::string& path);
  /// Null until Create has run.
  static Logger* Instance();

  /// Writes one whole line and its end to standard output and the file, flushing
  /// both, so that lines of different threads never mix.
  void WriteLine(std::string_view line);
  void Close();
  bool FileIsOpen() const;

 private:
  void OpenLocked();
  void WriteBannerLocked();
  /// True when a new, empty file began.
  bool RotateLocked();

  const std::string path_;
  const std::uint64_t rotationBytes_;
  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  // Counted rather than asked of the system on every piece.
  std::uint64_t written_ = 0;
  // Moves on after a failed rename so that a held file is not retried on every line.
  std::uint64_t rotateAt_ = 0;
};

/// The log's place on this platform.
std::string DefaultLogFilePath();

/// One log statement. Pieces are inserted stream fashion and collected; the whole
/// line is written when the statement ends, so a crash loses at most the
/// statement being built:
///   Log() << "[SERVER] Listening on port " << port;
///   Log() << " scan=0x" << std::hex << scan << std::dec << " (SendInput fallback)";
class LogStatement {
 public:
  explicit LogStatement(Logger* target) : target_(target) {}
  ~LogStatement();
  LogStatement(const LogStatement&) = delete;
  LogStatement& operator=(const LogStatement&) = delete;

  LogStatement& operator<<(std::string_view text);
  LogStatement& operator<<(const char* text) { return *this << std::string_view(text ? text : "(null)"); }
  LogStatement& operator<<(const std::string& text) { return *this << std::string_view(text); }
  LogStatement& operator<<(std::wstring_view text);
  LogStatement& operator<<(const wchar_t* text) { return *this << std::wstring_view(text ? text : L"(null)"); }
  LogStatement& operator<<(const std::wstring& text) { return *this << std::wstring_view(text); }
  LogStatement& operator<<(char c) { return *this << std::string_view(&c, 1); }
  // Bytes are numbers in log lines, never characters.
  LogStatement& operator<<(signed char v) { return Integer(v); }
  LogStatement& operator<<(unsigned char v) { return Unsigned(v); }
  LogStatement& operator<<(short v) { return Integer(v); }
  LogStatement& operator<<(unsigned short v) { return Unsigned(v); }
  LogStatement& operator<<(int v) { return Integer(v); }
  LogStatement& operator<<(unsigned v) { return Unsigned(v); }
  LogStatement& operator<<(long v) { return Integer(v); }
  LogStatement& operator<<(unsigned long v) { return Unsigned(v); }
  LogStatement& operator<<(long long v) { return Integer(v); }
  LogStatement& operator<<(unsigned long long v) { return Unsigned(v); }
  LogStatement& operator<<(bool v) { return Integer(v ? 1 : 0); }
  LogStatement& operator<<(double v);
  LogStatement& operator<<(const void* p);
  /// std::hex and std::dec switch the integers after them in this statement.
  LogStatement& operator<<(std::ios_base& (*manipulator)(std::ios_base&));

 private:
  // In hexadecimal a number prints as its bits in its own width, as streams do,
  // so a negative int is eight f's.
  template <typename T>
  LogStatement& Integer(T v) {
    if (hex_) return Unsigned(static_cast<std::make_unsigned_t<T>>(v));
    return Signed(v);
  }
  LogStatement& Signed(long long v);
  LogStatement& Unsigned(unsigned long long v);
  void Piece(std::string_view text);

  Logger* target_;
  // Its own rather than the thread's: a value computed inside the statement may
  // log a statement of its own, which then comes out whole before this one.
  std::string line_;
  bool hex_ = false;
};

/// Starts a statement on the process-wide logger (standard output only before it exists).
inline LogStatement Log() { return LogStatement(Logger::Instance()); }

}  // namespace vandrel
