// Collects the lines that reach the process-wide log sink while it lives.
// The process-wide logger is created on first use, writing into a temporary file.
#pragma once

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "infra/Logger.h"

namespace vandrel::testing {

class LogCapture {
 public:
  LogCapture() {
    if (!Logger::Instance()) {
      Logger::Create((std::filesystem::temp_directory_path() / "vandrel-unit-tests.log").string());
    }
    SetLogLineSink([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { SetLogLineSink(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  /// Lines containing `text`.
  std::size_t Count(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    }));
  }
  bool Contains(const std::string& text) const { return Count(text) > 0; }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace vandrel::testing
