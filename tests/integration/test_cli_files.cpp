// Files in and out of korvana-cli: the simulated flash file as one device,
// refused file kinds, outputs that are replaced whole or not at all, and
// devices that do not answer.
#include "package/sample.h"
#include "sim.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using testutil::runCli;

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class CliFiles : public ::testing::Test {
  protected:
    std::string sample() {
        std::string path = dir.file("sample.dzk");
        if (testutil::readFile(path).empty()) {
            EXPECT_EQ(ZK_Sample_build(path.c_str()), 1);
        }
        return path;
    }
    testutil::TempDir dir;
};

// A second tool on the same simulated device waits briefly, then refuses;
// nothing it would have saved can overwrite the first one's work.
TEST_F(CliFiles, OneSimulatedFlashFileIsOneDevice) {
    std::string flash = dir.file("flash.bin");
    ASSERT_EQ(runCli({"--simulate=" + flash, "info"}).exitCode, 0);
    SimConfig config;
    config.name = "holder";
    config.flashFile = flash.c_str();
    SimDevice* holder = ZK_Sim_create(config);
    ASSERT_NE(holder, nullptr);
    auto before = testutil::readFile(flash);

    auto busy = runCli({"--simulate=" + flash, "update", "--yes", sample()});
    EXPECT_EQ(busy.exitCode, 2);
    EXPECT_TRUE(has(busy.err, "in use by another process")) << busy.err;
    EXPECT_EQ(testutil::readFile(flash), before);

    EXPECT_EQ(ZK_Sim_destroy(holder), 1);
    auto r = runCli({"--simulate=" + flash, "update", "--yes", sample()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(testutil::readFile(flash), before);
}

// The flash file is written in place: a symlink stays a link, the mode stays.
TEST_F(CliFiles, FlashFileKeepsItsLinkAndMode) {
    std::string target = dir.file("image.bin"), link = dir.file("link.bin");
    ASSERT_EQ(runCli({"--simulate=" + target, "info"}).exitCode, 0);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    auto before = testutil::readFile(target);
    auto r = runCli({"--simulate=" + link, "update", "--yes", sample()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_NE(testutil::readFile(target), before);
}

// A flash file that cannot take the writes makes the run fail, and it keeps
// what it held.
TEST_F(CliFiles, FlashFileThatCannotBeWrittenFailsTheRun) {
    std::string flash = dir.file("flash.bin");
    ASSERT_EQ(runCli({"--simulate=" + flash, "info"}).exitCode, 0);
    auto before = testutil::readFile(flash);
    std::string lock = "chattr +i '" + flash + "' 2>/dev/null";
    if (std::system(lock.c_str()) != 0)
        GTEST_SKIP() << "no immutable attribute on this file system";
    auto r = runCli({"--simulate=" + flash, "update", "--yes", sample()});
    std::string unlock = "chattr -i '" + flash + "'";
    ASSERT_EQ(std::system(unlock.c_str()), 0);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_FALSE(has(r.out, "Update Successfully!"));
    EXPECT_EQ(testutil::readFile(flash), before);
}

// A FIFO, a device node or a directory where a file belongs: one line and
// exit 2 at once (a FIFO used to hang the command for good).
TEST_F(CliFiles, SpecialFilesAreRefusedAtOnce) {
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    testutil::writeText(dir.file("manifest.json"),
                        R"({"regions": {"boot": {"file": "/dev/zero"}}})");
    testutil::writeText(dir.file("dirregion.json"), R"({"regions": {"boot": {"file": "."}}})");
    const std::vector<std::vector<std::string>> cases = {
        {"--simulate", "update", "--yes", fifo},
        {"--simulate", "update", "--plan", fifo},
        {"--simulate", "update", "--yes", dir.path()},
        {"--simulate", "dump-info", fifo},
        {"--simulate", "read-server", fifo},
        {"--simulate", "dump-info", dir.path()},
        {"package", "info", fifo},
        {"package", "info", "/dev/zero"},
        {"package", "build", fifo, dir.file("o.dzk")},
        {"package", "build", dir.path(), dir.file("o.dzk")},
        {"package", "build", dir.file("manifest.json"), dir.file("o.dzk")},
        {"package", "build", dir.file("dirregion.json"), dir.file("o.dzk")},
        {"package", "sample", fifo},
        {"--simulate=" + fifo, "info"},
    };
    for (const auto& args : cases) {
        auto r = runCli(args);
        std::string what = args[1] + " " + args.back();
        EXPECT_EQ(r.exitCode, 2) << what << ": " << r.err;
        EXPECT_FALSE(r.err.empty()) << what;
        EXPECT_TRUE(r.err.find('\n') == r.err.size() - 1 || has(r.err, "Write Error!"))
            << what << ": " << r.err;
    }
}

// Outputs are written beside their path and renamed: a failure leaves an
// earlier file whole and no partial file behind.
TEST_F(CliFiles, FailedOutputsLeaveTheOldFileWhole) {
    std::string out = dir.file("out.dzk");
    testutil::writeText(out, "earlier contents");
    // 1 MiB file size limit: the 8 MiB sample cannot be written.
    std::string command = "ulimit -f 1024; trap '' XFSZ; exec '" + std::string(KORVANA_CLI_PATH) +
                          "' package sample '" + out + "' >/dev/null 2>&1";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    auto kept = testutil::readFile(out);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "earlier contents");
    DIR* d = opendir(dir.path().c_str());
    ASSERT_NE(d, nullptr);
    while (dirent* e = readdir(d))
        EXPECT_NE(std::string(e->d_name).rfind(".out.dzk.", 0), 0u) << "left behind: " << e->d_name;
    closedir(d);
}

// A device that does not answer is no device: info and dump-info fail and
// an earlier dump stays as it was.
TEST_F(CliFiles, SilentDeviceIsNeverReportedAsRead) {
    std::string dump = dir.file("dump.txt");
    testutil::writeText(dump, "earlier dump");
    for (std::string fault : {"no-reply:0xF7", "bad-checksum:0xF2:1"}) {
        auto info = runCli({"--simulate", "--sim-fault", fault, "info"});
        EXPECT_EQ(info.exitCode, 1) << fault;
        EXPECT_TRUE(info.out.empty()) << fault << ": " << info.out;
        EXPECT_TRUE(has(info.err, "did not answer")) << info.err;
        EXPECT_EQ(runCli({"--simulate", "--sim-fault", fault, "info", "--json"}).exitCode, 1);
        auto d = runCli({"--simulate", "--sim-fault", fault, "dump-info", dump});
        EXPECT_EQ(d.exitCode, 1) << fault;
        EXPECT_TRUE(has(d.err, "Write Error!")) << d.err;
        EXPECT_FALSE(has(d.out, "Write Ok!"));
        auto kept = testutil::readFile(dump);
        EXPECT_EQ(std::string(kept.begin(), kept.end()), "earlier dump");
    }
}

} // namespace
