#include "vandrel-phone/AppListDecode.h"

#include <algorithm>
#include <concepts>
#include <string>
#include <string_view>

namespace vandrel::phone {
namespace {

// The shortest record: every length zero.
constexpr std::size_t kMinRecordBytes = 1 + 1 + 2 + 8 + 1 + 2;

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  void SetRecord(std::size_t index, std::size_t count) {
    where_ = "record " + std::to_string(index) + " of " + std::to_string(count);
  }

  template <std::unsigned_integral T>
  T Number(std::string_view field) {
    const auto bytes = Take(sizeof(T), field);
    return LoadLe<T>(bytes.data());
  }

  std::span<const std::uint8_t> Take(std::size_t count, std::string_view field) {
    if (count > left()) {
      throw AppListError("app list " + where_ + ": " + std::string(field) + " needs " + std::to_string(count) +
                         (count == 1 ? " byte, " : " bytes, ") + std::to_string(left()) + " left");
    }
    const auto out = bytes_.subspan(position_, count);
    position_ += count;
    return out;
  }

  std::string Text(std::size_t length, std::string_view field) {
    const auto bytes = Take(length, field);
    return std::string(bytes.begin(), bytes.end());
  }

  [[noreturn]] void Fail(const std::string& what) const { throw AppListError("app list " + where_ + ": " + what); }

  std::size_t left() const noexcept { return bytes_.size() - position_; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
  std::string where_ = "header";
};

AppEntry ReadRecord(Reader& reader) {
  AppEntry entry;
  const std::size_t nameLength = reader.Number<std::uint8_t>("name length");
  entry.name = reader.Text(nameLength, "name");
  const std::size_t processLength = reader.Number<std::uint8_t>("process length");
  entry.process = reader.Text(processLength, "process");
  const std::size_t iconLength = reader.Number<std::uint16_t>("icon length");
  const auto icon = reader.Take(iconLength, "icon");
  entry.icon.assign(icon.begin(), icon.end());
  entry.hwnd = reader.Number<std::uint64_t>("hwnd");
  const std::uint8_t running = reader.Number<std::uint8_t>("running flag");
  // Anything else means the records have slipped against the lengths.
  if (running > 1) reader.Fail("running flag is " + std::to_string(running) + ", not 0 or 1");
  entry.running = running == 1;
  const std::size_t pathLength = reader.Number<std::uint16_t>("path length");
  entry.path = reader.Text(pathLength, "path");
  return entry;
}

}  // namespace

std::vector<AppEntry> DecodeAppList(std::span<const std::uint8_t> payload) {
  Reader reader(payload);
  const std::size_t count = reader.Number<std::uint16_t>("count");
  std::vector<AppEntry> entries;
  // A count the bytes cannot hold must not size the allocation.
  entries.reserve(std::min(count, reader.left() / kMinRecordBytes));
  for (std::size_t i = 0; i < count; ++i) {
    reader.SetRecord(i, count);
    entries.push_back(ReadRecord(reader));
  }
  if (reader.left() != 0) {
    throw AppListError("app list: " + std::to_string(reader.left()) +
                       (reader.left() == 1 ? " byte" : " bytes") + " after the last of " + std::to_string(count) +
                       " records");
  }
  return entries;
}

}  // namespace vandrel::phone
