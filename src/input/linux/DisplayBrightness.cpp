#include "input/linux/DisplayBrightness.h"

#include <ddcutil_c_api.h>
#include <dlfcn.h>

#include <cstdint>
#include <fstream>
#include <mutex>
#include <optional>
#include <system_error>

#include "infra/LogLimiter.h"
#include "infra/Logger.h"
#include "input/SystemActions.h"
#include "input/linux/DisplayBrightnessDetail.h"
#include "input/linux/Logind.h"

namespace vandrel::InputManager {
namespace detail {
namespace {

constexpr DDCA_Vcp_Feature_Code kBrightnessFeature = 0x10;
constexpr const char* kDdcPrefix = "[Brightness] DDC/CI: ";

// The phone can press the brightness keys as often as it likes; these lines
// would repeat on every press of a machine without DDC/CI or a backlight helper.
struct Limiters {
  std::mutex mutex;
  LogLimiter missingLibrary;
  LogLimiter missingApi;
  LogLimiter backlightFailure;
};

Limiters& SharedLimiters() {
  static Limiters limiters;
  return limiters;
}

LogPermit Permit(LogLimiter Limiters::*which) {
  Limiters& limiters = SharedLimiters();
  const std::lock_guard lock(limiters.mutex);
  return (limiters.*which).Next();
}

// libddcutil is optional at run time: it is loaded for one step and only
// through these entry points, so the program runs without it installed.
class Ddcutil {
 public:
  explicit Ddcutil(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      handle_ = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle_) break;
    }
  }
  ~Ddcutil() {
    if (handle_) dlclose(handle_);
  }
  Ddcutil(const Ddcutil&) = delete;
  Ddcutil& operator=(const Ddcutil&) = delete;

  bool Loaded() const { return handle_ != nullptr; }

  bool Resolve() {
    return Bind(getList_, "ddca_get_display_info_list2") && Bind(freeList_, "ddca_free_display_info_list") &&
           Bind(open_, "ddca_open_display2") && Bind(close_, "ddca_close_display") &&
           Bind(get_, "ddca_get_non_table_vcp_value") && Bind(set_, "ddca_set_non_table_vcp_value");
  }

  /// Steps every display that answers; true when at least one changed.
  bool StepAll(bool up) {
    DDCA_Display_Info_List* list = nullptr;
    if (getList_(false, &list) != 0 || !list) return false;
    bool changed = false;
    for (int i = 0; i < list->ct; ++i) changed = StepDisplay(list->info[i].dref, up) || changed;
    freeList_(list);
    return changed;
  }

 private:
  template <typename Fn>
  bool Bind(Fn& fn, const char* symbol) {
    fn = reinterpret_cast<Fn>(dlsym(handle_, symbol));
    return fn != nullptr;
  }

  bool StepDisplay(DDCA_Display_Ref ref, bool up) {
    DDCA_Display_Handle display = nullptr;
    if (open_(ref, false, &display) != 0 || !display) return false;
    const auto read = [&]() -> std::optional<BrightnessLevel> {
      DDCA_Non_Table_Vcp_Value value{};
      if (get_(display, kBrightnessFeature, &value) != 0) return std::nullopt;
      return BrightnessLevel{0, std::uint32_t{value.sh} << 8 | value.sl, std::uint32_t{value.mh} << 8 | value.ml};
    };
    const auto write = [&](std::uint32_t level) {
      return set_(display, kBrightnessFeature, static_cast<std::uint8_t>(level >> 8),
                  static_cast<std::uint8_t>(level & 0xFF)) == 0;
    };
    const bool changed = StepOneMonitor(read, write, up, kDdcPrefix);
    close_(display);
    return changed;
  }

  void* handle_ = nullptr;
  decltype(&ddca_get_display_info_list2) getList_ = nullptr;
  decltype(&ddca_free_display_info_list) freeList_ = nullptr;
  decltype(&ddca_open_display2) open_ = nullptr;
  decltype(&ddca_close_display) close_ = nullptr;
  decltype(&ddca_get_non_table_vcp_value) get_ = nullptr;
  decltype(&ddca_set_non_table_vcp_value) set_ = nullptr;
};

bool StepDdc(bool up, const std::vector<std::string>& names) {
  Ddcutil ddcutil(names);
  if (!ddcutil.Loaded()) {
    if (auto p = Permit(&Limiters::missingLibrary)) Log() << "[Brightness] DDC/CI: libddcutil not available" << p;
    return false;
  }
  if (!ddcutil.Resolve()) {
    if (auto p = Permit(&Limiters::missingApi)) Log() << "[Brightness] DDC/CI: display API not found in libddcutil" << p;
    return false;
  }
  return ddcutil.StepAll(up);
}

std::optional<std::uint32_t> ReadNumber(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::uint64_t value = 0;
  if (!(in >> value) || value > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

bool StepBacklights(bool up, const std::filesystem::path& folder) {
  bool changed = false;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::filesystem::path device = it->path();
    const std::string name = device.filename().string();
    const std::string prefix = "[Brightness] Backlight " + name + ": ";
    const auto read = [&]() -> std::optional<BrightnessLevel> {
      const auto current = ReadNumber(device / "brightness");
      const auto maximum = ReadNumber(device / "max_brightness");
      if (!current || !maximum) return std::nullopt;
      return BrightnessLevel{0, *current, *maximum};
    };
    // The sysfs file is root's; logind writes it for the user of the active session.
    const auto write = [&](std::uint32_t level) {
      const std::optional<logind::Failure> failure = logind::SetBrightness("backlight", name, level);
      if (!failure) return true;
      if (auto p = Permit(&Limiters::backlightFailure)) Log() << prefix << *failure << p;
      return false;
    };
    changed = StepOneMonitor(read, write, up, prefix) || changed;
  }
  return changed;
}

}  // namespace

std::vector<std::string> DefaultDdcutilNames() { return {"libddcutil.so.5", "libddcutil.so.4", "libddcutil.so"}; }

std::string StepDisplayBrightness(bool up, const std::vector<std::string>& ddcutilNames,
                                  const std::filesystem::path& backlightFolder) {
  if (StepDdc(up, ddcutilNames)) return "DDC/CI";
  if (StepBacklights(up, backlightFolder)) return "backlight";
  return "";
}

}  // namespace detail

std::string StepDisplayBrightness(bool up) {
  return detail::StepDisplayBrightness(up, detail::DefaultDdcutilNames(), detail::kBacklightFolder);
}

}  // namespace vandrel::InputManager
