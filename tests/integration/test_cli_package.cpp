// korvana-cli package: sample, info (text and JSON), build from a manifest,
// and the errors that must end with one line on stderr and exit code 2.
#include "testutil.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <map>
#include <string>
#include <vector>

using testutil::runCli;
using testutil::TempDir;

namespace {

// The first 1 KiB of a package and its trailer: the trailer still validates,
// but most regions now point past the end of the file.
std::vector<uint8_t> headAndTrailer(const std::vector<uint8_t>& package) {
    std::vector<uint8_t> out(1024 + 520);
    std::memcpy(out.data(), package.data(), 1024);
    std::memcpy(out.data() + 1024, package.data() + package.size() - 520, 520);
    return out;
}

int lines(const std::string& text) {
    int n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

class CliPackage : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        sample_ = dir_->file("sample.dzk");
        auto r = runCli({"package", "sample", sample_});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static TempDir* dir_;
    static std::string sample_;
};
TempDir* CliPackage::dir_ = nullptr;
std::string CliPackage::sample_;

TEST_F(CliPackage, InfoShowsTheSample) {
    auto r = runCli({"package", "info", sample_});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* want :
         {"Trailer: 520 bytes, format version 5, magic 0x12345679 (ciphered)", "Client tag: TAVO",
          "gps3", "2024-06-15 08:00:00", "GHW7", "TQMB", "layout502=1", "useGps3=1",
          "Provinces (province): 34 entries, record size 16", "北京", "台湾"})
        EXPECT_NE(r.out.find(want), std::string::npos) << want;
    EXPECT_EQ(r.out.find("[INFO]"), std::string::npos); // no diagnostics in the output
}

TEST_F(CliPackage, InfoJsonIsMachineReadable) {
    auto r = runCli({"package", "info", "--json", sample_});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["trailer"], 520);
    EXPECT_EQ(j["formatVersion"], 5);
    EXPECT_EQ(j["magic"], 0x12345679);
    EXPECT_EQ(j["clientTag"], "TAVO");
    EXPECT_EQ(j["programTable"]["headed"], true);
    ASSERT_EQ(j["programTable"]["entries"].size(), 2u);
    EXPECT_EQ(j["programTable"]["entries"][0]["board"], "GHW7");
    EXPECT_EQ(j["programTable"]["entries"][0]["layout502"], 1);
    ASSERT_EQ(j["province"]["entries"].size(), 34u);
    EXPECT_EQ(j["province"]["entries"][27]["name"], "广东");
    EXPECT_EQ(j["province"]["entries"][33]["recordCount"], 0);
    EXPECT_TRUE(j["provinceLegacy"].is_null());
    bool sawBoot = false;
    for (auto& region : j["regions"]) {
        if (region["name"] == "boot") {
            sawBoot = true;
            EXPECT_TRUE(region["date"].is_null());
            EXPECT_EQ(region["scrambled"], 1);
        }
    }
    EXPECT_TRUE(sawBoot);
    EXPECT_TRUE(j["problems"].empty());
}

TEST_F(CliPackage, BuildFromAManifestRoundTrips) {
    TempDir dir;
    testutil::writeFile(dir.file("boot.bin"), std::vector<uint8_t>(512, 0xA5));
    testutil::writeText(dir.file("m.json"), R"({
      "trailer": 520, "version": 5, "magic": "cipher", "title": "TAVO manifest test",
      "regions": {
        "boot": {"file": "boot.bin", "scramble": true},
        "gps": {"size": 4096, "seed": 7, "scramble": true, "date": "2023-12-31 23:59:59"},
        "voice2": {"size": 64, "fill": 0, "date": 86400}
      },
      "programs": {"headed": false, "entries": [{"board": "TQMA", "size": 100, "seed": 1}]},
      "province": {"date": 0, "headerWord": 9, "recordSize": 8,
                   "entries": [{"name": "海南", "records": 3}, {"name": "澳门", "records": 0}]}
    })");
    auto r = runCli({"package", "build", dir.file("m.json"), dir.file("out.dzk")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto info = runCli({"package", "info", "--json", dir.file("out.dzk")});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    auto j = nlohmann::json::parse(info.out);
    EXPECT_EQ(j["title"], "TAVO manifest test");
    EXPECT_EQ(j["programTable"]["headed"], false);
    EXPECT_EQ(j["programTable"]["entries"][0]["board"], "TQMA");
    EXPECT_EQ(j["province"]["headerWord"], 9);
    EXPECT_EQ(j["province"]["entries"][0]["name"], "海南");
    EXPECT_EQ(j["province"]["entries"][0]["bytes"], 24);
    std::map<std::string, nlohmann::json> byName;
    for (auto& region : j["regions"])
        byName[region["name"]] = region;
    EXPECT_EQ(byName["boot"]["size"], 512);
    EXPECT_EQ(byName["gps"]["date"], "2023-12-31 23:59:59");
    EXPECT_EQ(byName["voice2"]["date"], "1970-01-02 00:00:00");
}

TEST_F(CliPackage, BadInputEndsWithOneLineAndExitCode2) {
    TempDir dir;
    testutil::writeText(dir.file("junk.dzk"), std::string(1000, 'x'));
    testutil::writeText(dir.file("empty.dzk"), "");
    testutil::writeText(dir.file("bad.json"), "{ not json");
    testutil::writeText(dir.file("typo.json"), R"({"regions": {"gps": {"sise": 4}}})");
    testutil::writeText(dir.file("noregion.json"), R"({"regions": {"gpz": {"size": 4}}})");
    testutil::writeText(dir.file("nofile.json"), R"({"regions": {"boot": {"file": "none.bin"}}})");
    testutil::writeText(dir.file("form.json"), R"({"trailer": 512})");
    // A package whose gps slot points past the end of the file: damaged.
    std::string truncated = dir.file("truncated.dzk");
    testutil::writeFile(truncated, headAndTrailer(testutil::readFile(sample_)));

    struct Case {
        std::vector<std::string> args;
        const char* mention;
    } cases[] = {
        {{"package", "info", dir.file("missing.dzk")}, "No such file"},
        {{"package", "info", dir.file("junk.dzk")}, "not an update package"},
        {{"package", "info", dir.file("empty.dzk")}, "not an update package"},
        {{"package", "info", dir.path()}, "is a directory"},
        {{"package", "info", truncated}, "damaged package"},
        {{"package", "info", "--json", truncated}, "damaged package"},
        {{"package", "build", dir.file("missing.json"), dir.file("o.dzk")}, "No such file"},
        {{"package", "build", dir.file("bad.json"), dir.file("o.dzk")}, "not valid JSON"},
        {{"package", "build", dir.file("typo.json"), dir.file("o.dzk")}, "unknown key \"sise\""},
        {{"package", "build", dir.file("noregion.json"), dir.file("o.dzk")}, "not a region name"},
        {{"package", "build", dir.file("nofile.json"), dir.file("o.dzk")}, "cannot read"},
        {{"package", "build", dir.file("form.json"), dir.file("o.dzk")}, "520, 320 or 304"},
        {{"package", "sample", dir.file("no/such/dir/s.dzk")}, "cannot write"},
    };
    for (const Case& c : cases) {
        auto r = runCli(c.args);
        std::string what = c.args[1] + " " + c.args.back();
        EXPECT_EQ(r.exitCode, 2) << what << ": " << r.err;
        EXPECT_EQ(lines(r.err), 1) << what << ": " << r.err;
        EXPECT_NE(r.err.find(c.mention), std::string::npos) << what << ": " << r.err;
    }
}

TEST_F(CliPackage, DamagedPackageStillShowsWhatLoaded) {
    TempDir dir;
    testutil::writeFile(dir.file("t.dzk"), headAndTrailer(testutil::readFile(sample_)));
    auto r = runCli({"package", "info", "--json", dir.file("t.dzk")});
    EXPECT_EQ(r.exitCode, 2);
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["trailer"], 520);
    EXPECT_FALSE(j["problems"].empty());
}

} // namespace
