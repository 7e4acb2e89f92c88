// Display brightness through a fake libddcutil and a temporary backlight
// folder. The step runs in vandrel_brightness_probe, because the library is
// found through LD_LIBRARY_PATH, which only a new process reads.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TempDir.h"

namespace {

using vandrel::testing::ReadBinary;
using vandrel::testing::TempDir;
using vandrel::testing::WriteBinary;

struct ProbeRun {
  int exitCode = -1;
  std::string output;   // the probe's log lines and its "result: '...'" line
  std::string ddcutil;  // what the fake library was asked to do
};

class DisplayBrightnessTest : public ::testing::Test {
 protected:
  // `libraryFolder` empty: the fake's folder.
  ProbeRun Run(bool up, const std::string& displays, std::vector<std::string> libraries = {"libddcutil.so.4"},
               std::string libraryFolder = "") {
    if (libraryFolder.empty()) libraryFolder = VANDREL_FAKE_DDCUTIL_DIR;
    const std::string outputFile = dir_.File("probe.out");
    const std::string ddcutilLog = dir_.File("ddcutil.log");
    std::filesystem::remove(outputFile);
    std::filesystem::remove(ddcutilLog);

    std::vector<std::string> args = {VANDREL_BRIGHTNESS_PROBE, up ? "up" : "down", backlight_.string()};
    args.insert(args.end(), libraries.begin(), libraries.end());
    // No bus listens there: a backlight write fails instead of reaching the machine's logind.
    std::vector<std::string> env = {"LD_LIBRARY_PATH=" + libraryFolder, "FAKE_DDCUTIL_DISPLAYS=" + displays,
                                    "FAKE_DDCUTIL_LOG=" + ddcutilLog,
                                    "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir_.File("no-bus")};
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
    ProbeRun run;
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << argv[0] << ": " << spawned;
      return run;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.output = ReadBinary(outputFile);
    if (std::filesystem::exists(ddcutilLog)) run.ddcutil = ReadBinary(ddcutilLog);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    return run;
  }

  void AddBacklight(const std::string& name, const std::string& current, const std::string& maximum) {
    const auto device = backlight_ / name;
    std::filesystem::create_directories(device);
    if (!current.empty()) WriteBinary(device / "brightness", current + "\n");
    if (!maximum.empty()) WriteBinary(device / "max_brightness", maximum + "\n");
  }

  TempDir dir_;
  std::filesystem::path backlight_ = [this] {
    auto folder = dir_.path() / "backlight";
    std::filesystem::create_directory(folder);
    return folder;
  }();
};

TEST_F(DisplayBrightnessTest, StepsOneDisplayByATwentiethUpAndDown) {
  ProbeRun up = Run(true, "50/100");
  EXPECT_NE(up.output.find("[Brightness] DDC/CI: 50 -> 55 (range 0-100)\n"), std::string::npos) << up.output;
  EXPECT_NE(up.output.find("result: 'DDC/CI'"), std::string::npos) << up.output;
  // Every opened display is closed and the list freed, within the one step.
  EXPECT_EQ(up.ddcutil, "open 1\nset 1 feature 16 to 55\nclose 1\nfree\n");

  ProbeRun down = Run(false, "50/100");
  EXPECT_NE(down.output.find("[Brightness] DDC/CI: 50 -> 45 (range 0-100)\n"), std::string::npos) << down.output;
  EXPECT_EQ(down.ddcutil, "open 1\nset 1 feature 16 to 45\nclose 1\nfree\n");
}

TEST_F(DisplayBrightnessTest, ClampsToTheEndsOfTheRange) {
  ProbeRun low = Run(false, "3/100");
  EXPECT_NE(low.output.find("[Brightness] DDC/CI: 3 -> 0 (range 0-100)\n"), std::string::npos) << low.output;
  EXPECT_NE(low.ddcutil.find("set 1 feature 16 to 0\n"), std::string::npos) << low.ddcutil;

  ProbeRun high = Run(true, "98/100");
  EXPECT_NE(high.output.find("[Brightness] DDC/CI: 98 -> 100 (range 0-100)\n"), std::string::npos) << high.output;
  EXPECT_NE(high.ddcutil.find("set 1 feature 16 to 100\n"), std::string::npos) << high.ddcutil;
}

TEST_F(DisplayBrightnessTest, StepsEveryDisplayAndUsesBothBytes) {
  ProbeRun run = Run(true, "50/100,300/1000");
  EXPECT_NE(run.output.find("[Brightness] DDC/CI: 50 -> 55 (range 0-100)\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("[Brightness] DDC/CI: 300 -> 350 (range 0-1000)\n"), std::string::npos) << run.output;
  EXPECT_EQ(run.ddcutil, "open 1\nset 1 feature 16 to 55\nclose 1\nopen 2\nset 2 feature 16 to 350\nclose 2\nfree\n");
  EXPECT_NE(run.output.find("result: 'DDC/CI'"), std::string::npos) << run.output;
}

TEST_F(DisplayBrightnessTest, SkipsDisplaysThatFailToOpenOrRead) {
  ProbeRun run = Run(true, "x,r,50/100");
  EXPECT_EQ(run.ddcutil, "open 2\nclose 2\nopen 3\nset 3 feature 16 to 55\nclose 3\nfree\n");
  EXPECT_NE(run.output.find("result: 'DDC/CI'"), std::string::npos) << run.output;
}

TEST_F(DisplayBrightnessTest, NoDisplaysAndNoBacklightChangeNothing) {
  ProbeRun run = Run(true, "");
  EXPECT_EQ(run.ddcutil, "free\n");
  EXPECT_EQ(run.output.find("[Brightness]"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("result: ''"), std::string::npos) << run.output;
}

TEST_F(DisplayBrightnessTest, MissingLibraryOrApiFallsBackToTheBacklight) {
  AddBacklight("panel", "40", "100");
  ProbeRun absent = Run(true, "50/100", {"libvandrel-absent-ddcutil.so.4"}, dir_.path().string());
  EXPECT_NE(absent.output.find("[Brightness] DDC/CI: libddcutil not available\n"), std::string::npos)
      << absent.output;
  // The backlight was tried: its write through logind found no bus.
  EXPECT_NE(absent.output.find("[Brightness] Backlight panel: "), std::string::npos) << absent.output;
  EXPECT_EQ(absent.output.find("[Brightness] Backlight panel: 40 ->"), std::string::npos) << absent.output;
  EXPECT_NE(absent.output.find("result: ''"), std::string::npos) << absent.output;
  EXPECT_EQ(absent.ddcutil, "");

  // A library of that name without the display functions.
  ProbeRun noApi = Run(true, "50/100", {"libvandrel-absent-ddcutil.so.4", "libm.so.6"});
  EXPECT_NE(noApi.output.find("[Brightness] DDC/CI: display API not found in libddcutil\n"), std::string::npos)
      << noApi.output;
  EXPECT_NE(noApi.output.find("[Brightness] Backlight panel: "), std::string::npos) << noApi.output;
}

TEST_F(DisplayBrightnessTest, SkipsBacklightsThatCannotBeRead) {
  AddBacklight("empty", "0", "0");
  AddBacklight("unreadable", "", "");
  AddBacklight("garbage", "bright", "100");
  ProbeRun run = Run(true, "", {"libvandrel-absent-ddcutil.so.4"}, dir_.path().string());
  // None of them reached a write, so none reports a failure either.
  EXPECT_EQ(run.output.find("[Brightness] Backlight"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("result: ''"), std::string::npos) << run.output;
}

}  // namespace
