// korvana-cli device commands run as a program against the simulator.
#include "testutil.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using testutil::runCli;

namespace {

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(CliDevice, InfoOfSimulatedDevice) {
    // --simulate without a value, before and after the subcommand.
    for (auto args : {std::vector<std::string>{"--simulate", "info"},
                      std::vector<std::string>{"info", "--simulate"}}) {
        auto r = runCli(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(has(r.out, "layout: 502\n")) << r.out;
        EXPECT_TRUE(has(r.out, "boot version: 1046\n"));
        EXPECT_TRUE(has(r.out, "flash size: 8388608 (0x800000)\n"));
        EXPECT_TRUE(has(r.out, "board: GHW7\n"));
        EXPECT_TRUE(has(r.out, "program version: 1203\n"));
        EXPECT_TRUE(has(r.out, "main setting version: 2\n"));
        EXPECT_TRUE(has(r.out, "client: TAVO GPS Warner GHW7\n"));
        EXPECT_TRUE(has(r.out, "parameter form: 5\n"));
        EXPECT_TRUE(has(r.out, "date 20240315\n")) << "voice dated by word 0 (useVoice4)";
        EXPECT_TRUE(has(r.out, "date 20240520\n"));
    }
}

TEST(CliDevice, InfoJson) {
    auto r = runCli({"--simulate", "--sim-profile", "new-legacy", "info", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["layout"], "legacy");
    EXPECT_EQ(j["bootVersion"], 1046);
    EXPECT_EQ(j["board"], "TQMB");
    EXPECT_EQ(j["programVersion"], 1107);
    EXPECT_EQ(j["paramType"], 2);
    EXPECT_EQ(j["client"], "TAVO GPS Warner TQMB");
    EXPECT_EQ(j["noMainSetting"], false);
    EXPECT_EQ(j["regions"]["gps"]["size"], 0x300000);
    EXPECT_EQ(j["regions"]["gps"]["date"], "20240418");
    EXPECT_EQ(j["regions"]["voice"]["date"], "20240228") << "word 1 without useVoice4";

    r = runCli({"--simulate", "--sim-profile", "no-main-setting", "info", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["noMainSetting"], true);
    EXPECT_EQ(j["board"], "TQMB");
    EXPECT_EQ(j["paramType"], 4);
    EXPECT_EQ(j["regions"]["gps"]["address"], 0x2DE000);
    EXPECT_EQ(j["regions"]["voice"]["date"], "20230909");
}

TEST(CliDevice, DumpInfo) {
    testutil::TempDir dir;
    auto r = runCli({"--simulate", "dump-info", dir.file("info.txt")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Write Ok!\n");
    auto bytes = testutil::readFile(dir.file("info.txt"));
    std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.rfind("502:1\nboot:1046\nflash size:8388608\nmain setting version:2\n"
                         "broad name:GHW7\nprogram version:1203\nclient:TAVO GPS Warner GHW7\n",
                         0),
              0u)
        << text;
    EXPECT_TRUE(has(text, "voice version:20240315;size:1703936\n"));
    EXPECT_TRUE(has(text, "update version:\xD3\xD0;size:131072\n")); // 有
    EXPECT_TRUE(has(text, "server version:\xD3\xD0;size:65536\n"));

    r = runCli({"--simulate", "dump-info", dir.file("no/such/dir/info.txt")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err,
              dir.file("no/such/dir/info.txt") + ": No such file or directory\nWrite Error!\n");
}

// The copy equals the region in the simulated flash, kept in a file.
TEST(CliDevice, ReadServer) {
    testutil::TempDir dir;
    std::string flash = dir.file("flash.bin");
    auto info = runCli({"--simulate=" + flash, "info", "--json"});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    auto j = nlohmann::json::parse(info.out);
    uint32_t address = j["regions"]["server"]["address"], size = j["regions"]["server"]["size"];
    ASSERT_EQ(size, 0x10000u);
    // Mark the region so that the copy is not just erased bytes.
    auto image = testutil::readFile(flash);
    ASSERT_EQ(image.size(), 0x800000u);
    for (uint32_t i = 0; i < size; ++i)
        image[address + i] = (uint8_t)(i * 13 + (i >> 8));
    testutil::writeFile(flash, image);

    auto r = runCli({"--simulate=" + flash, "read-server", dir.file("server.bin")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Write Ok!\n");
    EXPECT_EQ(testutil::readFile(dir.file("server.bin")),
              std::vector<uint8_t>(image.begin() + address, image.begin() + address + size));

    // The information read takes eight page reads; the tenth read is the
    // second piece of the server data.
    r = runCli(
        {"--simulate", "--sim-fault", "bad-checksum:242:9", "read-server", dir.file("bad.bin")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "read fail！\nWrite Error!\n");
}

TEST(CliDevice, Failures) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err;
    } cases[] = {
        {{"info"}, 1, "   No hardware connected!\n"}, // no hardware on this machine
        {{"--device", "sim:absent#vid_0416&pid_b500", "info"}, 1, "   No hardware connected!\n"},
        {{"--simulate", "--sim-profile", "nonesuch", "info"}, 2, ""},
        {{"--simulate", "--sim-profile", "refused-client", "info"}, 1, ""},
        {{"dump-info"}, 2, ""},
    };
    for (const auto& c : cases) {
        auto r = runCli(c.args);
        SCOPED_TRACE(c.args.back());
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        if (!c.err.empty()) {
            EXPECT_EQ(r.err, c.err);
        }
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    auto refused = runCli({"--simulate", "--sim-profile", "refused-client", "info"});
    EXPECT_TRUE(has(refused.err, "Kelvoran")) << refused.err;
}

} // namespace
