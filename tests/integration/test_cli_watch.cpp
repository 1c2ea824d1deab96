// korvana-cli devices and watch against the simulator and a fake sysfs tree:
// the status lines of the window for plug, unplug and the disk form, and the
// clean end on a signal.
#include "testutil.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using testutil::runCli;

const std::string CONNECTED_RE = R"(Update Tool   GPS Connected   V:\d{8})";
const std::string NO_HARDWARE = "Update Tool   No hardware connected!";
const std::string CONNECTING = "Update Tool   GPS Connecting...";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::string text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// ROOT/sys/block/sdd, removable, vendor "korvtag", mounted at /media/k.
void diskFormTree(const std::string& root) {
    fs::create_directories(root + "/sys/block/sdd/device");
    fs::create_directories(root + "/proc/self");
    fs::create_directories(root + "/media/k");
    testutil::writeText(root + "/sys/block/sdd/removable", "1\n");
    testutil::writeText(root + "/sys/block/sdd/device/vendor", "korvtag \n");
    testutil::writeText(root + "/sys/block/sdd/dev", "8:48\n");
    testutil::writeText(root + "/proc/self/mountinfo",
                        "30 1 8:48 / /media/k rw,nosuid - vfat /dev/sdd rw\n");
}

TEST(CliWatch, SimulatedReplugIsFollowedBothWays) {
    auto r = runCli(
        {"--simulate", "watch", "--sim-replug", "200", "--exit-after", "5", "--timeout", "60"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto out = lines(r.out);
    ASSERT_EQ(out.size(), 5u) << r.out;
    EXPECT_TRUE(std::regex_match(out[0], std::regex(CONNECTED_RE))) << out[0];
    // Under load an arrival may be handled after the next unplug, so only the
    // order matters: gone, then back.
    size_t gone = 0, back = 0;
    for (size_t i = 1; i < out.size(); ++i) {
        bool connected = std::regex_match(out[i], std::regex(CONNECTED_RE));
        EXPECT_TRUE(connected || out[i] == NO_HARDWARE) << out[i];
        if (!connected && !gone)
            gone = i;
        if (connected && gone && !back)
            back = i;
    }
    EXPECT_GT(gone, 0u) << r.out;
    EXPECT_GT(back, gone) << r.out;
}

TEST(CliWatch, DiskFormIsMarkedEjectedAndSearchedAgainLater) {
    testutil::TempDir root;
    diskFormTree(root.path());
    testutil::writeText(root.file("media/k/1.txt"), "stale and longer");
    auto r = runCli(
        {"--simulate", "watch", "--sys-root", root.path(), "--exit-after", "2", "--timeout", "60"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto out = lines(r.out);
    ASSERT_EQ(out.size(), 2u) << r.out;
    EXPECT_EQ(out[0], CONNECTING);
    EXPECT_TRUE(std::regex_match(out[1], std::regex(CONNECTED_RE))) << out[1];
    EXPECT_EQ(text(testutil::readFile(root.file("media/k/1.txt"))), "abcdefd");
    EXPECT_NE(r.err.find("eject requested: /dev/sdd"), std::string::npos) << r.err;
}

TEST(CliWatch, NoDeviceShowsNoHardware) {
    testutil::TempDir root; // an empty system: no disks
    auto r = runCli({"watch", "--sys-root", root.path(), "--exit-after", "1", "--timeout", "30"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, NO_HARDWARE + "\n");
}

TEST(CliWatch, EndsCleanlyOnSigterm) {
    testutil::TempDir dir;
    std::string outPath = dir.file("out");
    std::vector<std::string> args{KORVANA_CLI_PATH, "--simulate", "watch"};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // The first status line says the loop is running.
    for (int i = 0; i < 500 && testutil::readFile(outPath).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto out = lines(text(testutil::readFile(outPath)));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(std::regex_match(out[0], std::regex(CONNECTED_RE))) << out[0];
}

TEST(CliDevices, ListsHidInterfacesAndDiskForms) {
    testutil::TempDir root;
    diskFormTree(root.path());
    auto r = runCli({"--simulate", "devices", "--json", "--sys-root", root.path()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto doc = nlohmann::json::parse(r.out);
    ASSERT_EQ(doc["hid"].size(), 1u);
    EXPECT_EQ(doc["hid"][0]["path"], "sim:korvana0#vid_0416&pid_b500");
    EXPECT_EQ(doc["hid"][0]["backend"], "sim");
    ASSERT_EQ(doc["disks"].size(), 1u);
    EXPECT_EQ(doc["disks"][0]["devnode"], "/dev/sdd");
    EXPECT_EQ(doc["disks"][0]["vendor"], "korvtag");
    EXPECT_EQ(doc["disks"][0]["mountPoint"], "/media/k");
    // Listing writes nothing.
    EXPECT_FALSE(fs::exists(root.file("media/k/1.txt")));

    testutil::TempDir empty;
    auto none = runCli({"devices", "--sys-root", empty.path()});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_NE(none.err.find("   No hardware connected!"), std::string::npos);
}

TEST(CliWatch, ReplugWithoutSimulatorIsUsage) {
    auto r = runCli({"watch", "--sim-replug", "100", "--timeout", "1"});
    EXPECT_EQ(r.exitCode, 2);
}

} // namespace
