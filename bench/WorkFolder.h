// A temporary folder for one benchmark run, and reading the files the program
// leaves in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "RawSession.h"

namespace vandrel::bench {

/// Set once before the servers start; removed at the end, on an error or by the signal watcher.
inline std::filesystem::path gWorkFolder;

struct WorkFolder {
  /// `name` as in "vandrel-input-bench": the folder is /tmp/NAME-XXXXXX.
  explicit WorkFolder(const std::string& name) {
    std::string pattern = "/tmp/" + name + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw BenchError("cannot make a work folder in /tmp");
    gWorkFolder = pattern;
  }
  ~WorkFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(gWorkFolder, ignored);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
};

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace vandrel::bench
