// korvana-cli update against the simulator, checked on the simulated flash
// (kept in a file between runs) and through `info` afterwards.
#include "device/setting.h"
#include "package/builder.h"
#include "package/merge.h"
#include "package/package.h"
#include "package/sample.h"
#include "testutil.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using testutil::runCli;

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    ZK_Builder_fillPattern(v.data(), n, seed);
    return v;
}

// Closed however the test ends.
using PackagePtr = std::unique_ptr<UpdatePackage, void (*)(UpdatePackage*)>;
PackagePtr openPackage(const std::string& path) {
    return PackagePtr(ZK_Package_open(path.c_str()), ZK_Package_close);
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t at, size_t n) {
    if (at + n > v.size())
        return {};
    return std::vector<uint8_t>(v.begin() + (long)at, v.begin() + (long)(at + n));
}

MainSetting mainSettingAt(const std::vector<uint8_t>& flash, uint32_t group) {
    MainSetting ms;
    std::memcpy(&ms, flash.data() + group + 4, sizeof ms);
    return ms;
}

class CliUpdate : public ::testing::Test {
  protected:
    std::string flash() const { return "--simulate=" + dir.file("flash.bin"); }
    std::vector<uint8_t> flashBytes() const { return testutil::readFile(dir.file("flash.bin")); }
    std::string sample() {
        std::string path = dir.file("sample.dzk");
        if (testutil::readFile(path).empty()) {
            EXPECT_EQ(ZK_Sample_build(path.c_str()), 1);
        }
        return path;
    }
    // A package whose GPS set does not fit beside the rest, with provinces.
    std::string provincePackage(std::vector<std::vector<uint8_t>>* records,
                                int count = ZK_PROVINCE_COUNT) {
        PackageBuilder b;
        ZK_Builder_init(&b, ZK_TRAILER_520);
        ZK_Builder_setTitle(&b, "TAVO province test");
        static std::vector<uint8_t> boot = pattern(0x1000, 1), voice3 = pattern(0x4000, 2),
                                    gps3 = pattern(0x7F0000, 3), image = pattern(0x2000, 4);
        b.regions[ZK_SLOT_BOOT] = {boot.data(), (uint32_t)boot.size(), 1, 0, 0};
        b.regions[ZK_SLOT_VOICE3] = {voice3.data(), (uint32_t)voice3.size(), 0, 1, 1700000000};
        b.regions[ZK_SLOT_GPS3] = {gps3.data(), (uint32_t)gps3.size(), 0, 1, 1700000000};
        BuildProgram program{};
        std::memcpy(program.entry.board, "GHW7", 4);
        program.entry.layout502 = 1;
        program.entry.useVoice3 = 1;
        program.entry.useGps3 = 1;
        program.image = image.data();
        program.imageSize = (uint32_t)image.size();
        program.scramble = 1;
        b.programs = {1, 1, &program};
        std::vector<BuildProvince> provinces((size_t)count);
        records->clear();
        for (int i = 0; i < count; ++i) {
            records->push_back(pattern(16 * (200 + 10 * (size_t)i), 100 + i));
            std::memcpy(provinces[i].name, ProvinceTable[i], sizeof ProvinceTable[i]);
            provinces[i].recordCount = 200 + 10 * (uint32_t)i;
            provinces[i].records = records->back().data();
        }
        b.province = {1, 1700000000, 0x5A5A0001, 16, (uint32_t)count, provinces.data()};
        std::string path = dir.file("provinces.dzk");
        EXPECT_EQ(ZK_Builder_write(&b, path.c_str(), nullptr), 1);
        return path;
    }
    testutil::TempDir dir;
};

TEST_F(CliUpdate, FullUpdateOnEachLayout) {
    struct Case {
        const char* profile;
        const char* board;
        uint32_t group;
    } cases[] = {{"new-502", "GHW7", 0x1E000}, {"new-legacy", "TQMB", 0}}; // TQMB: fixed layout
    std::string pkgPath = sample();
    PackagePtr holder = openPackage(pkgPath);
    UpdatePackage* pkg = holder.get();
    ASSERT_NE(pkg, nullptr);
    for (const auto& c : cases) {
        std::remove(dir.file("flash.bin").c_str());
        auto r = runCli({flash(), "--sim-profile", c.profile, "update", pkgPath});
        ASSERT_EQ(r.exitCode, 0) << c.profile << r.err;
        EXPECT_EQ(r.out, "Update Successfully!\n");
        EXPECT_NE(r.err.find("Updated 100.00%"), std::string::npos);

        auto f = flashBytes();
        const ProgramEntry* e = nullptr;
        for (uint32_t i = 0; i < pkg->programCount; ++i)
            if (std::memcmp(pkg->programs[i].board, c.board, 4) == 0)
                e = &pkg->programs[i];
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(slice(f, 0x9000, e->size), std::vector<uint8_t>(e->image, e->image + e->size));
        EXPECT_EQ(slice(f, 0, pkg->boot.size),
                  std::vector<uint8_t>(pkg->boot.data, pkg->boot.data + pkg->boot.size));
        uint32_t gpsAddr = 0x2DE000, gpsSize = pkg->gps3.size; // the fixed layout's place
        if (c.group) {
            MainSetting ms = mainSettingAt(f, c.group);
            EXPECT_EQ(std::memcmp(ms.board, c.board, 4), 0);
            gpsAddr = ms.gpsAddr;
        }
        EXPECT_EQ(slice(f, gpsAddr, gpsSize),
                  std::vector<uint8_t>(pkg->gps3.data, pkg->gps3.data + gpsSize));

        auto info = runCli({flash(), "--sim-profile", c.profile, "info", "--json"});
        ASSERT_EQ(info.exitCode, 0) << info.err;
        auto j = nlohmann::json::parse(info.out);
        if (c.group) {
            EXPECT_EQ(j["board"], c.board);
            EXPECT_EQ(j["programVersion"], e->programVersion);
        } else {
            // A fixed-layout board keeps no main setting: both group sectors
            // were erased, and the regions are found at their fixed places.
            EXPECT_EQ(j["noMainSetting"], true);
            EXPECT_EQ(j["regions"]["gps"]["address"], 0x2DE000);
        }
        EXPECT_NE(j["regions"]["gps"]["date"], "");
    }
}

TEST_F(CliUpdate, RefusedPackagesTouchNothing) {
    PackageBuilder b;
    ZK_Builder_init(&b, ZK_TRAILER_520);
    ZK_Builder_setTitle(&b, "ZZZZ other client");
    auto boot = pattern(0x1000, 1);
    b.regions[ZK_SLOT_BOOT] = {boot.data(), (uint32_t)boot.size(), 1, 0, 0};
    std::string other = dir.file("other.dzk");
    ASSERT_EQ(ZK_Builder_write(&b, other.c_str(), nullptr), 1);
    std::string garbage = dir.file("garbage.dzk");
    testutil::writeText(garbage, std::string(4000, 'x'));

    ASSERT_EQ(runCli({flash(), "info"}).exitCode, 0); // creates the flash file
    auto before = flashBytes();
    for (const std::string& p : {other, garbage}) {
        auto r = runCli({flash(), "update", p});
        // Not a usable package: refused as bad input before the device is asked.
        EXPECT_EQ(r.exitCode, 2);
        // A failure before the machine layer carries no number.
        EXPECT_NE(r.err.find("Open update file failed!\n"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("failed!  "), std::string::npos);
        EXPECT_EQ(flashBytes(), before);
    }
    auto missing = runCli({flash(), "update", dir.file("missing.dzk")});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_EQ(runCli({flash(), "update"}).exitCode, 2);
}

TEST_F(CliUpdate, ProgramOnlyPackagesTakeTheProgramWriteAlone) {
    for (bool withOled : {false, true}) {
        PackageBuilder b;
        ZK_Builder_init(&b, ZK_TRAILER_520);
        ZK_Builder_setTitle(&b, "TAVO program only");
        auto image = pattern(0x3000, 7), oled = pattern(0x1000, 8);
        BuildProgram program{};
        std::memcpy(program.entry.board, "QQQQ", 4);
        program.image = image.data();
        program.imageSize = (uint32_t)image.size();
        program.scramble = 1;
        b.programs = {1, 1, &program};
        if (withOled)
            b.regions[ZK_SLOT_OLED] = {oled.data(), (uint32_t)oled.size(), 1, 0, 0};
        std::string path = dir.file("program.dzk");
        ASSERT_EQ(ZK_Builder_write(&b, path.c_str(), nullptr), 1);
        std::remove(dir.file("flash.bin").c_str());
        ASSERT_EQ(runCli({flash(), "info"}).exitCode, 0);
        auto before = flashBytes();
        auto r = runCli({flash(), "update", path});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        auto after = flashBytes();
        PackagePtr holder = openPackage(path);
        UpdatePackage* pkg = holder.get();
        ASSERT_NE(pkg, nullptr);
        EXPECT_EQ(slice(after, 0x9000, 0x3000),
                  std::vector<uint8_t>(pkg->programs[0].image, pkg->programs[0].image + 0x3000));
        // Only the app flag page and the program changed: no main setting, no data.
        for (size_t i = 0; i < after.size(); ++i)
            if (after[i] != before[i]) {
                ASSERT_TRUE((i >= 0x8000 && i < 0x8100) || (i >= 0x9000 && i < 0xC000)) << i;
            }
    }
}

TEST_F(CliUpdate, ProvincesChosenOnTheCommandLineAreMergedAndWritten) {
    std::vector<std::vector<uint8_t>> records;
    std::string path = provincePackage(&records);
    auto r = runCli({flash(), "update", "--provinces", "0,Guangdong,33", path});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("choose provinces"), std::string::npos);

    PackagePtr holder = openPackage(path);
    UpdatePackage* pkg = holder.get();
    ASSERT_NE(pkg, nullptr);
    int32_t flags[ZK_PROVINCE_COUNT] = {};
    flags[0] = flags[27] = flags[33] = 1;
    ASSERT_EQ(ZK_Package_mergeProvinces(pkg, flags), 1);
    auto f = flashBytes();
    MainSetting ms = mainSettingAt(f, 0x1E000);
    EXPECT_EQ(+ms.gpsSize, (pkg->provinceMerged.size + 4095) / 4096 * 4096);
    EXPECT_EQ(slice(f, ms.gpsAddr, pkg->provinceMerged.size),
              std::vector<uint8_t>(pkg->provinceMerged.data,
                                   pkg->provinceMerged.data + pkg->provinceMerged.size));
}

TEST_F(CliUpdate, FailureTexts) {
    std::vector<std::vector<uint8_t>> records;
    std::string provinces = provincePackage(&records);
    struct Case {
        std::vector<std::string> args;
        const char* text;
    } cases[] = {
        // No terminal and no --provinces: the selection is cancelled.
        {{flash(), "update", provinces}, "Error!The gps data is too large!  1\n"},
        // The check writes the main setting first; the next write is the GPS data.
        {{flash(), "--sim-fault", "status:0xF3:1", "update", sample()}, "Update Failed!  -7\n"},
        {{flash(), "--sim-fault", "no-reply:0xF3:1", "update", sample()}, "Update Failed!  -7\n"},
    };
    for (const auto& c : cases) {
        auto r = runCli(c.args);
        EXPECT_EQ(r.exitCode, 1);
        // The workflow's text, then the cause on a line of its own.
        size_t at = r.err.find(c.text);
        ASSERT_NE(at, std::string::npos) << r.err;
        EXPECT_EQ(r.err.substr(at + std::strlen(c.text)).rfind("cause: ", 0), 0u) << r.err;
    }
    EXPECT_EQ(runCli({flash(), "update", "--provinces", "Atlantis", provinces}).exitCode, 2);
    EXPECT_EQ(runCli({flash(), "update", "--provinces", "", provinces}).exitCode, 2);
}

// Only provinces the package lacks: refused like an empty selection, and the
// device's camera data is not replaced by an empty GPS region.
TEST_F(CliUpdate, SelectionWithoutDataIsRefused) {
    std::vector<std::vector<uint8_t>> records;
    std::string path = provincePackage(&records, 10);
    ASSERT_EQ(runCli({flash(), "info"}).exitCode, 0);
    auto before = flashBytes();
    auto r = runCli({flash(), "update", "--yes", "--provinces", "Taiwan,32", path});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.find("Error!The gps data is too large!  1\n") != std::string::npos) << r.err;
    EXPECT_EQ(flashBytes(), before);
}

TEST_F(CliUpdate, UnpluggedDuringTheWriteThenUpdatedAgain) {
    auto r = runCli({flash(), "--sim-fault", "disconnect:2000", "update", sample()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Update Failed!  -7"), std::string::npos) << r.err;
    auto again = runCli({flash(), "update", sample()});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(again.out, "Update Successfully!\n");
}

TEST_F(CliUpdate, PlanLeavesTheFlashAsItWas) {
    ASSERT_EQ(runCli({flash(), "info"}).exitCode, 0);
    auto before = flashBytes();
    auto fits = runCli({flash(), "update", "--plan", sample()});
    EXPECT_EQ(fits.exitCode, 0) << fits.err;
    EXPECT_NE(fits.out.find("Provinces: not needed"), std::string::npos) << fits.out;
    EXPECT_NE(fits.out.find("gps"), std::string::npos);

    std::vector<std::vector<uint8_t>> records;
    std::string provinces = provincePackage(&records);
    auto tooLarge = runCli({flash(), "update", "--plan", provinces});
    EXPECT_EQ(tooLarge.exitCode, 1);
    EXPECT_NE(tooLarge.out.find("Provinces would have to be chosen"), std::string::npos);
    auto chosen = runCli({flash(), "update", "--plan", "--provinces", "0,1", provinces});
    EXPECT_EQ(chosen.exitCode, 0) << chosen.out << chosen.err;
    EXPECT_EQ(flashBytes(), before);
}

} // namespace
