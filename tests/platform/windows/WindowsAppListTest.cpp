// The application list against wine's real windows, icons, shortcuts and
// registry. The registry values written are the prefix's own and put back.
#include <windows.h>

#include <objbase.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "desktop/windows/WindowsDesktop.h"

namespace vandrel::desktop {
namespace {

namespace fs = std::filesystem;

// Width and height from a PNG's IHDR; nothing when the bytes are no PNG.
std::optional<std::pair<std::uint32_t, std::uint32_t>> PngSize(const std::vector<std::uint8_t>& png) {
  static const std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (png.size() < 24 || !std::equal(std::begin(kSignature), std::end(kSignature), png.begin())) return std::nullopt;
  if (std::string(png.begin() + 12, png.begin() + 16) != "IHDR") return std::nullopt;
  const auto be32 = [&](std::size_t at) {
    return std::uint32_t{png[at]} << 24 | std::uint32_t{png[at + 1]} << 16 | std::uint32_t{png[at + 2]} << 8 |
           std::uint32_t{png[at + 3]};
  };
  return std::pair(be32(16), be32(20));
}

// `noise` fills it with pixels no PNG compresses.
HICON MakeIcon(int size, std::uint8_t alpha, bool noise = false) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = size;
  info.bmiHeader.biHeight = -size;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  const HBITMAP colour = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  std::fill_n(static_cast<std::uint32_t*>(bits), size * size, std::uint32_t{alpha} << 24 | 0x3366CC);
  std::uint32_t state = 1;
  for (int i = 0; noise && i < size * size; ++i) {
    state = state * 1664525u + 1013904223u;
    static_cast<std::uint32_t*>(bits)[i] = state | 0xFF000000u;
  }
  const HBITMAP mask = ::CreateBitmap(size, size, 1, 1, nullptr);
  ICONINFO icon{TRUE, 0, 0, mask, colour};
  const HICON result = ::CreateIconIndirect(&icon);
  ::DeleteObject(colour);
  ::DeleteObject(mask);
  return result;
}

HWND MakeWindow(const wchar_t* title, DWORD exStyle) {
  static const ATOM kind = [] {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ::DefWindowProcW;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VandrelAppListTest";
    return ::RegisterClassW(&windowClass);
  }();
  return ::CreateWindowExW(exStyle, reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(kind)), title,
                           WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20, 20, 200, 120, nullptr, nullptr,
                           ::GetModuleHandleW(nullptr), nullptr);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

TEST(WindowsAppListTest, IconsBecomePngsAndSmallOnesGrowTo64) {
  EXPECT_TRUE(IconToPng(nullptr).empty());
  for (const std::uint8_t alpha : {std::uint8_t{0x80}, std::uint8_t{0}}) {  // with and without an alpha channel
    const HICON small = MakeIcon(32, alpha);
    const HICON medium = MakeIcon(48, alpha);
    ASSERT_TRUE(small && medium);
    EXPECT_EQ(PngSize(IconToPng(small)), std::pair(64u, 64u)) << "alpha " << int{alpha};
    EXPECT_EQ(PngSize(IconToPng(medium)), std::pair(48u, 48u)) << "alpha " << int{alpha};
    ::DestroyIcon(small);
    ::DestroyIcon(medium);
  }
  // A native icon whose PNG would pass the list's 65,535 icon bytes goes at the small size, whole.
  const HICON big = MakeIcon(256, 0xFF, true);
  ASSERT_TRUE(big);
  const auto png = IconToPng(big);
  EXPECT_LE(png.size(), kMaxIconBytes);
  EXPECT_EQ(PngSize(png), std::pair(64u, 64u));
  ::DestroyIcon(big);
}

TEST(WindowsAppListTest, ListsTitledWindowsOfOurProgramOnly) {
  testing::LogCapture log;
  const HWND shown = MakeWindow(L"Vandrel list \u00e9", 0);
  const HWND tool = MakeWindow(L"Vandrel tool", WS_EX_TOOLWINDOW);
  const HWND untitled = MakeWindow(L"", 0);
  ASSERT_TRUE(shown && tool && untitled);
  WindowsDesktop desktop;
  const std::vector<AppInfo> apps = desktop.GetAppList();
  const auto find = [&](HWND window) {
    return std::find_if(apps.begin(), apps.end(),
                        [&](const AppInfo& app) { return app.hwnd == reinterpret_cast<std::uintptr_t>(window); });
  };
  const auto entry = find(shown);
  ASSERT_NE(entry, apps.end());
  EXPECT_EQ(entry->name, "Vandrel list \xc3\xa9");
  EXPECT_EQ(entry->process, "vandrel_unit_tests.exe");
  EXPECT_TRUE(entry->running);
  EXPECT_NE(Lower(entry->path).find("vandrel_unit_tests.exe"), std::string::npos);
  EXPECT_TRUE(PngSize(entry->icon)) << entry->icon.size() << " icon bytes";
  EXPECT_EQ(find(tool), apps.end());
  EXPECT_EQ(find(untitled), apps.end());
  EXPECT_TRUE(log.Contains("[AppList] Found app: name=\"Vandrel list \xc3\xa9\", process=\"vandrel_unit_tests.exe\""));
  EXPECT_TRUE(log.Contains("[AppList] Running windows: "));
  EXPECT_TRUE(log.Contains("[AppList] Total pinned taskbar apps: "));
  for (const HWND window : {shown, tool, untitled}) ::DestroyWindow(window);
}

// A scratch folder with programs and shortcuts to them; COM for the shortcuts.
class WindowsAppListPinnedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    dir_ = fs::temp_directory_path() / ("vpin" + std::to_string(::GetCurrentProcessId()));
    fs::create_directories(dir_);
    for (const char* name : {"tool.exe", "other.exe", "run.bat"}) std::ofstream(dir_ / name) << "MZ";
    std::ofstream(dir_ / "broken.lnk") << "not a shortcut";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::wstring Path(const wchar_t* name) const { return (dir_ / name).wstring(); }
  void Link(const std::wstring& link, const std::wstring& target) const {
    IShellLinkW* shellLink = nullptr;
    ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                                reinterpret_cast<void**>(&shellLink)));
    IPersistFile* file = nullptr;
    EXPECT_HRESULT_SUCCEEDED(shellLink->SetPath(target.c_str()));
    EXPECT_HRESULT_SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)));
    if (file) {
      EXPECT_HRESULT_SUCCEEDED(file->Save(link.c_str(), TRUE));
      file->Release();
    }
    shellLink->Release();
  }
  fs::path dir_;
};

std::string TailLower(const std::wstring& path) { return Lower(fs::path(path).filename().string()); }

TEST_F(WindowsAppListPinnedTest, AppListShortcutsResolveAndFoldersKeepOnlyPrograms) {
  testing::LogCapture log;
  Link(Path(L"tool.lnk"), Path(L"tool.exe"));
  Link(Path(L"run.lnk"), Path(L"run.bat"));
  const auto target = ResolveShortcut(Path(L"tool.lnk"));
  ASSERT_TRUE(target);
  EXPECT_EQ(TailLower(*target), "tool.exe");
  EXPECT_FALSE(ResolveShortcut(Path(L"broken.lnk")));

  std::vector<AppInfo> found;
  EXPECT_EQ(PinnedFromFolder(dir_.wstring(), found), 1u);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(Lower(found[0].name), "tool");
  EXPECT_EQ(Lower(found[0].process), "tool.exe");
  EXPECT_FALSE(found[0].running);
  EXPECT_EQ(found[0].hwnd, 0u);
  EXPECT_TRUE(log.Contains("[AppList] Found lnk: broken.lnk -> resolving..."));
  EXPECT_TRUE(log.Contains("[AppList]   ResolveShortcut FAILED for: " + (dir_ / "broken.lnk").string()));
  EXPECT_EQ(log.Count("[AppList]   Skipping non-exe target"), 1u);
  EXPECT_TRUE(log.Contains("[AppList] Found 1/3 pinned items from " + dir_.string()));

  EXPECT_EQ(PinnedFromFolder((dir_ / "missing").wstring(), found), 0u);
  EXPECT_TRUE(log.Contains("[AppList] FindFirstFileW failed for " + (dir_ / "missing").string() + "\\*.lnk, error="));
}

// Puts a Taskband value back as it was, or removes it when there was none.
class SavedValue {
 public:
  SavedValue(HKEY key, const wchar_t* name) : key_(key), name_(name) {
    DWORD size = 0;
    if (::RegQueryValueExW(key_, name_, nullptr, &type_, nullptr, &size) != ERROR_SUCCESS) return;
    data_.emplace(size);
    ::RegQueryValueExW(key_, name_, nullptr, &type_, data_->data(), &size);
  }
  ~SavedValue() {
    if (!data_) {
      ::RegDeleteValueW(key_, name_);
      return;
    }
    ::RegSetValueExW(key_, name_, 0, type_, data_->data(), static_cast<DWORD>(data_->size()));
  }
  void Set(const std::vector<std::uint8_t>& blob) const {
    ::RegSetValueExW(key_, name_, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
  }

 private:
  HKEY key_;
  const wchar_t* name_;
  DWORD type_ = REG_BINARY;
  std::optional<std::vector<std::uint8_t>> data_;
};

std::vector<std::uint8_t> TaskbandBlob(const std::vector<std::wstring>& paths) {
  std::vector<std::uint8_t> blob(4, 0);
  for (const std::wstring& path : paths) {
    const std::size_t length = 4 + 2 * (path.size() + 1);
    for (const std::size_t field : {length, std::size_t{1}}) {
      blob.push_back(static_cast<std::uint8_t>(field));
      blob.push_back(static_cast<std::uint8_t>(field >> 8));
    }
    for (const wchar_t unit : path + L'\0') {
      blob.push_back(static_cast<std::uint8_t>(unit));
      blob.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
  }
  return blob;
}

TEST_F(WindowsAppListPinnedTest, AppListReadsTheTaskbandBlob) {
  testing::LogCapture log;
  Link(Path(L"other.lnk"), Path(L"other.exe"));
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Taskband",
                              0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  {
    SavedValue favorites(key, L"Favorites");
    SavedValue resolved(key, L"FavoritesResolve");
    favorites.Set(TaskbandBlob({L"C:\\nowhere\\solo.exe"}));
    resolved.Set(TaskbandBlob({Path(L"tool.exe"), Path(L"other.lnk"), L"x.e", Path(L"run.bat"),
                               Path(L"broken.lnk"), Path(L"gone.lnk")}));
    std::vector<AppInfo> apps = PinnedFromRegistry();
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].name, "tool");
    EXPECT_EQ(apps[0].process, "tool.exe");
    EXPECT_EQ(apps[0].path, (dir_ / "tool.exe").string());
    EXPECT_EQ(Lower(apps[1].process), "other.exe");
    EXPECT_TRUE(log.Contains("[AppList] Found 6 pinned taskbar items from registry"));

    resolved.Set({});  // an empty resolved list means the plain one
    apps = PinnedFromRegistry();
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].name, "solo");
    EXPECT_EQ(apps[0].path, "C:\\nowhere\\solo.exe");
  }
  ::RegCloseKey(key);
}

}  // namespace
}  // namespace vandrel::desktop
