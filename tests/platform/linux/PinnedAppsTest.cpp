// The pinned programs: the look-ups in process with their folders given, and
// the whole path from real GSettings (keyfile backend, a schema compiled into
// a temporary folder) in vandrel_pinned_probe, since GLib reads its
// environment once per process.
#include "desktop/linux/PinnedApps.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TempDir.h"

namespace {

namespace fs = std::filesystem;
namespace ld = vandrel::desktop::linux_desktop;
using vandrel::testing::ReadBinary;
using vandrel::testing::TempDir;
using vandrel::testing::WriteBinary;

const std::string kPngSignature("\x89PNG\r\n\x1a\n", 8);

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  WriteBinary(path, text);
}

void WriteProgram(const fs::path& path) {
  Write(path, "#!/bin/sh\nexit 0\n");
  fs::permissions(path, fs::perms::owner_all);
}

void WritePng(const fs::path& path, const std::string& tag) { Write(path, kPngSignature + tag); }

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class PinnedAppsTest : public ::testing::Test {
 protected:
  fs::path Root() const { return dir_.path(); }
  fs::path DataHome() const { return Root() / "data"; }
  fs::path DataDir() const { return Root() / "share"; }
  fs::path Bin() const { return Root() / "bin"; }

  ld::XdgDirs Dirs() const {
    ld::XdgDirs dirs;
    dirs.dataHome = DataHome().string();
    dirs.dataDirs = {DataDir().string()};
    dirs.path = (Root() / "empty-bin").string() + ":" + Bin().string();
    dirs.pixmaps = (Root() / "pixmaps").string();
    return dirs;
  }

  void InstallSchema() {
    const fs::path schemas = Root() / "schemas";
    Write(schemas / "org.gnome.shell.gschema.xml",
          "<schemalist>\n"
          "  <schema id=\"org.gnome.shell\" path=\"/org/gnome/shell/\">\n"
          "    <key name=\"favorite-apps\" type=\"as\"><default>[]</default></key>\n"
          "  </schema>\n"
          "</schemalist>\n");
    const std::string command = "glib-compile-schemas '" + schemas.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    schemaDir_ = schemas.string();
  }

  void SetFavourites(const std::string& list) {
    Write(Root() / "config/glib-2.0/settings/keyfile", "[org/gnome/shell]\nfavorite-apps=" + list + "\n");
  }

  // The probe's output: its log lines, then "entries: N" and one "app: ..." per entry.
  std::string RunProbe(const std::string& threads = "") {
    const std::string outputFile = dir_.File("probe.out");
    std::vector<std::string> args = {VANDREL_PINNED_PROBE};
    if (!threads.empty()) args.push_back(threads);
    // Only these variables: nothing of the machine's own desktop may leak in.
    std::vector<std::string> env = {"HOME=" + (Root() / "home").string(),
                                    "XDG_CONFIG_HOME=" + (Root() / "config").string(),
                                    "XDG_DATA_HOME=" + DataHome().string(),
                                    "XDG_DATA_DIRS=" + DataDir().string(),
                                    "PATH=" + Bin().string(),
                                    "GSETTINGS_BACKEND=keyfile"};
    if (!schemaDir_.empty()) env.push_back("GSETTINGS_SCHEMA_DIR=" + schemaDir_);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << argv[0] << ": " << spawned;
      return {};
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const std::string output = ReadBinary(outputFile);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << output;
    return output;
  }

  // Favourites of every kind: PATH lookup, a quoted absolute Exec through a
  // link, a missing program, an id through subfolders, hidden, no file.
  void InstallFavourites() {
    WriteProgram(Bin() / "alpha-tool");
    Write(DataDir() / "applications/alpha.desktop",
          "[Desktop Entry]\nType=Application\nName=Alpha\nExec=alpha-tool --new-window %U\nIcon=alpha\n");
    WritePng(DataHome() / "icons/hicolor/256x256/apps/alpha.png", "alpha-256");
    WritePng(DataDir() / "icons/hicolor/64x64/apps/alpha.png", "alpha-64");

    WriteProgram(Root() / "real/beta.bin");
    fs::create_directories(Root() / "My Apps");
    fs::create_symlink(Root() / "real/beta.bin", Root() / "My Apps/run \"beta\"");
    WritePng(Root() / "pics/beta.png", "beta-abs");
    Write(DataHome() / "applications/beta.desktop",
          "[Desktop Entry]\nType=Application\nExec=\"" + (Root() / "My Apps/run \\\\\"beta\\\\\"").string() +
              "\" %F\nIcon=" + (Root() / "pics/beta.png").string() + "\n");
    // Shadowed by the data home's beta.
    Write(DataDir() / "applications/beta.desktop", "[Desktop Entry]\nType=Application\nExec=alpha-tool\n");

    Write(DataDir() / "applications/gone.desktop", "[Desktop Entry]\nType=Application\nExec=no-such-program\n");

    WriteProgram(Bin() / "gamma");
    Write(DataDir() / "applications/vendor/tools/gamma.desktop",
          "[Desktop Entry]\nType=Application\nNoDisplay=true\nTryExec=gamma\nExec=not-there %u\nIcon=none\n");

    Write(DataDir() / "applications/hidden.desktop",
          "[Desktop Entry]\nType=Application\nHidden=true\nExec=alpha-tool\n");
    Write(DataDir() / "applications/link.desktop", "[Desktop Entry]\nType=Link\nURL=http://x\n");
  }

  std::string Canonical(const fs::path& path) const { return fs::canonical(path).string(); }

  TempDir dir_;
  std::string schemaDir_;
};

TEST_F(PinnedAppsTest, FavouritesResolveToProgramsAndIcons) {
  InstallSchema();
  InstallFavourites();
  SetFavourites(
      "['alpha.desktop', 'beta.desktop', 'gone.desktop', 'vendor-tools-gamma.desktop', 'hidden.desktop', "
      "'link.desktop', 'nofile.desktop']");
  const std::string out = RunProbe();

  EXPECT_NE(out.find("entries: 3\n"), std::string::npos) << out;
  EXPECT_NE(out.find("app: name=alpha-tool|process=alpha-tool|path=" + Canonical(Bin() / "alpha-tool") +
                     "|icon=alpha-64|hwnd=0|running=0\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("app: name=beta|process=beta.bin|path=" + Canonical(Root() / "real/beta.bin") +
                     "|icon=beta-abs|hwnd=0|running=0\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("app: name=gamma|process=gamma|path=" + Canonical(Bin() / "gamma") + "|icon=|"),
            std::string::npos)
      << out;
  // The list keeps the favourites' order.
  EXPECT_LT(out.find("app: name=alpha-tool"), out.find("app: name=beta"));
  EXPECT_LT(out.find("app: name=beta"), out.find("app: name=gamma"));

  const std::string alphaLine = "[AppList] Pinned (favourite): name=\"alpha-tool\", process=\"alpha-tool\", iconSize=" +
                                std::to_string(kPngSignature.size() + 8) + " bytes\n";
  EXPECT_NE(out.find(alphaLine), std::string::npos) << out;
  EXPECT_NE(out.find("[AppList] Pinned (favourite): name=\"gamma\", process=\"gamma\", iconSize=0 bytes\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(CountOf(out, "[AppList] Pinned app \"gone.desktop\" skipped: program not found\n"), 1u) << out;
  EXPECT_EQ(CountOf(out, "[AppList] Pinned app \"hidden.desktop\" skipped"), 1u) << out;
  EXPECT_EQ(CountOf(out, "[AppList] Pinned app \"link.desktop\" skipped"), 1u) << out;
  EXPECT_EQ(CountOf(out, "[AppList] Pinned app \"nofile.desktop\" skipped"), 1u) << out;
  EXPECT_EQ(CountOf(out, "[AppList] Found 3 pinned items from favourites\n"), 1u) << out;
}

TEST_F(PinnedAppsTest, SeveralThreadsReadTheSameFavourites) {
  InstallSchema();
  InstallFavourites();
  SetFavourites("['alpha.desktop', 'beta.desktop']");
  const std::string out = RunProbe("4");
  EXPECT_NE(out.find("threads: same\n"), std::string::npos) << out;
  EXPECT_NE(out.find("entries: 2\n"), std::string::npos) << out;
  EXPECT_EQ(CountOf(out, "[AppList] Found 2 pinned items from favourites\n"), 4u) << out;
}

TEST_F(PinnedAppsTest, UnsetFavouritesAreAnEmptyList) {
  InstallSchema();
  const std::string out = RunProbe();
  EXPECT_NE(out.find("entries: 0\n"), std::string::npos) << out;
  EXPECT_EQ(CountOf(out, "[AppList] Found 0 pinned items from favourites\n"), 1u) << out;
}

TEST_F(PinnedAppsTest, WithoutTheShellSchemaThereAreNoPinnedApps) {
  InstallFavourites();
  SetFavourites("['alpha.desktop']");
  const std::string out = RunProbe("2");
  EXPECT_NE(out.find("entries: 0\n"), std::string::npos) << out;
  EXPECT_EQ(CountOf(out, "[AppList] No favourites on this desktop (no org.gnome.shell settings): no pinned apps\n"),
            2u)
      << out;  // once per call
  EXPECT_EQ(CountOf(out, "[AppList]"), 2u) << out;
}

TEST_F(PinnedAppsTest, DesktopFileIdsFindPlainNamesBeforeSubfolders) {
  Write(DataDir() / "applications/org-app.desktop", "plain");
  Write(DataDir() / "applications/org/app.desktop", "sub");
  Write(DataDir() / "applications/a/b-c/d.desktop", "deep");
  Write(DataHome() / "applications/x/y.desktop", "home");
  Write(DataDir() / "applications/x-y.desktop", "shadowed");
  const auto dirs = Dirs();
  EXPECT_EQ(ReadBinary(ld::FindDesktopFile("org-app.desktop", dirs)), "plain");
  EXPECT_EQ(ReadBinary(ld::FindDesktopFile("a-b-c-d.desktop", dirs)), "deep");
  EXPECT_EQ(ReadBinary(ld::FindDesktopFile("x-y.desktop", dirs)), "home");  // the data home comes first
  EXPECT_EQ(ld::FindDesktopFile("org-missing.desktop", dirs), "");
  Write(Root() / "outside.desktop", "outside");
  EXPECT_EQ(ld::FindDesktopFile("../../outside.desktop", dirs), "");
}

TEST_F(PinnedAppsTest, ProgramsNeedTheExecutableBitAndResolveLinks) {
  Write(Root() / "empty-bin/tool", "not executable");
  WriteProgram(Bin() / "tool.real");
  fs::create_symlink(Bin() / "tool.real", Bin() / "tool");
  const auto dirs = Dirs();
  EXPECT_EQ(ld::FindProgram("tool", dirs), Canonical(Bin() / "tool.real"));
  EXPECT_EQ(ld::FindProgram((Bin() / "tool").string(), dirs), Canonical(Bin() / "tool.real"));
  EXPECT_EQ(ld::FindProgram((Root() / "empty-bin/tool").string(), dirs), "");
  EXPECT_EQ(ld::FindProgram("missing", dirs), "");
  EXPECT_EQ(ld::FindProgram(Bin().string(), dirs), "");  // a folder
  EXPECT_EQ(ld::ProgramDisplayName("tool.real"), "tool");
  EXPECT_EQ(ld::ProgramDisplayName("archive.tar.gz"), "archive.tar");
  EXPECT_EQ(ld::ProgramDisplayName("firefox"), "firefox");
  EXPECT_EQ(ld::ProgramDisplayName(".hidden"), ".hidden");
}

TEST_F(PinnedAppsTest, IconsArePngFilesOnly) {
  Write(DataDir() / "icons/hicolor/64x64/apps/app.png", "GIF89a not a png");
  WritePng(DataDir() / "icons/hicolor/48x48/apps/app.png", "48");
  WritePng(DataHome() / "icons/hicolor/32x32/apps/app.png", "32");
  WritePng(Root() / "pixmaps/legacy.png", "pixmap");
  Write(Root() / "pixmaps/fake.png", "text");
  Write(Root() / "big.png", kPngSignature + std::string(ld::kMaxIconFileBytes, 'x'));
  WritePng(Root() / "icon.svg", "named svg but png");
  const auto dirs = Dirs();
  const auto tag = [](const std::vector<std::uint8_t>& icon) {
    return icon.size() < 8 ? std::string("(none)") : std::string(icon.begin() + 8, icon.end());
  };
  EXPECT_EQ(tag(ld::LoadIcon("app", dirs)), "48");
  EXPECT_EQ(tag(ld::LoadIcon("legacy", dirs)), "pixmap");
  EXPECT_EQ(tag(ld::LoadIcon("fake", dirs)), "(none)");
  EXPECT_EQ(tag(ld::LoadIcon((Root() / "big.png").string(), dirs)), "(none)");
  EXPECT_EQ(tag(ld::LoadIcon((Root() / "icon.svg").string(), dirs)), "named svg but png");
  EXPECT_EQ(tag(ld::LoadIcon("../../../pixmaps/legacy", dirs)), "(none)");
  EXPECT_EQ(tag(ld::LoadIcon("", dirs)), "(none)");
}

}  // namespace
