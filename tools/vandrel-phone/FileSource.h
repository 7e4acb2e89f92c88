// A local file opened for streaming to the PC in chunks, never held whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

namespace vandrel::phone {

class FileSource {
 public:
  /// Opens `path`; throws PhoneError (ErrorKind::File) when it is missing, not
  /// a regular file, or cannot be read.
  explicit FileSource(const std::filesystem::path& path);

  /// The file's own name, without folders, in UTF-8: what the PC saves it as.
  const std::string& name() const noexcept { return name_; }
  std::uint64_t size() const noexcept { return size_; }
  const std::filesystem::path& path() const noexcept { return path_; }

  /// Fills as much of `out` as the file still has; returns the count, 0 at the
  /// end. Throws PhoneError on a read failure.
  std::size_t Read(std::span<std::uint8_t> out);

 private:
  std::filesystem::path path_;
  std::string name_;
  std::uint64_t size_ = 0;
  std::ifstream stream_;
};

}  // namespace vandrel::phone
