// settings.ini as the program finds it: loaded from the file's bytes, and
// the text it would save loaded again to the same values.
#include <fstream>
#include <utility>

#include "FakeAutoStart.h"
#include "FuzzSupport.h"
#include "infra/Platform.h"
#include "infra/Settings.h"

namespace vandrel::fuzz {
namespace {

struct Values {
  bool runAtStartup;
  bool minimizeToTray;
  std::string password;
  bool operator==(const Values&) const = default;
};

void WriteFile(const std::string& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Loads `file`, returning its values and the text a save would write. The
// save itself goes nowhere: it syncs the disk, which would leave the target
// a few runs a second.
Values Load(const std::string& file, std::string& saved) {
  static const std::string nowhere = [] {
    const std::string blocker = ScratchDir() + "/not-a-folder";
    WriteFile(blocker, "");
    return blocker + "/settings.ini";
  }();
  bool loaded = false;
  Settings settings([&] { return std::exchange(loaded, true) ? nowhere : file; },
                    std::make_shared<testing::FakeAutoStart>());
  saved = settings.Serialize(platform::NativeLineEnd());
  return {settings.GetRunAtStartup(), settings.GetMinimizeToTray(), settings.GetConnectionPassword()};
}

std::string Describe(const Values& values) {
  return "RunAtStartup=" + std::to_string(values.runAtStartup) +
         " MinimizeToTray=" + std::to_string(values.minimizeToTray) + " password=" + Printable(values.password);
}

void RunOne(const std::uint8_t* data, std::size_t size) {
  static const std::string file = ScratchDir() + "/settings.ini";
  WriteFile(file, std::string_view(reinterpret_cast<const char*>(data), size));
  std::string saved;
  const Values first = Load(file, saved);
  WriteFile(file, saved);
  const Values again = Load(file, saved);
  if (!(first == again)) Fail("saved settings load differently: " + Describe(first) + " then " + Describe(again));
}

}  // namespace
}  // namespace vandrel::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vandrel::fuzz::QuietLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vandrel::fuzz::RunOne(data, size);
  return 0;
}
