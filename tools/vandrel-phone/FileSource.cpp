#include "vandrel-phone/FileSource.h"

#include "vandrel-phone/PhoneClient.h"

namespace vandrel::phone {
namespace {

[[noreturn]] void Fail(const std::filesystem::path& path, const std::string& why) {
  const auto text = path.u8string();
  throw PhoneError(ErrorKind::File, "cannot send " + std::string(text.begin(), text.end()) + ": " + why);
}

}  // namespace

FileSource::FileSource(const std::filesystem::path& path) : path_(path) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (status.type() == std::filesystem::file_type::not_found) Fail(path, "no such file");
  if (ec) Fail(path, ec.message());
  if (!std::filesystem::is_regular_file(status)) Fail(path, "not a regular file");
  size_ = std::filesystem::file_size(path, ec);
  if (ec) Fail(path, ec.message());

  stream_.open(path, std::ios::binary);
  if (!stream_) Fail(path, "cannot open it for reading");

  const auto name = path.filename().u8string();
  name_.assign(name.begin(), name.end());
}

std::size_t FileSource::Read(std::span<std::uint8_t> out) {
  stream_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
  const auto count = static_cast<std::size_t>(stream_.gcount());
  if (stream_.bad()) Fail(path_, "read failed");
  return count;
}

}  // namespace vandrel::phone
