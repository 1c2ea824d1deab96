// The machine layer against the simulator: the parameter check's layouts and
// results, and the write order, codes and bytes as the device receives them.
#include "device/cmd.h"
#include "device/link.h"
#include "device/machine.h"
#include "package/builder.h"
#include "package/package.h"
#include "sim.h"
#include "support/log.h"
#include "support/mem.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    ZK_Builder_fillPattern(v.data(), n, seed);
    return v;
}

uint32_t word(const char* b) {
    return ZK_Board_word(b);
}

// A simulated device attached to a fresh link.
struct Rig {
    SimDevice* sim = nullptr;
    DeviceLink* link = nullptr;
    // `flashSize` is what the check is told the device has; the simulated
    // flash stays 8 MiB so that the profile's regions remain readable.
    explicit Rig(const char* profile = "new-502", uint32_t flashSize = 0x800000) {
        static int serial = 0;
        std::string name = "machine" + std::to_string(serial++);
        SimConfig config;
        config.name = name.c_str();
        config.profile = profile;
        sim = ZK_Sim_create(config);
        ZK_Sim_plug(sim);
        link = ZK_Link_create(nullptr, nullptr, nullptr, nullptr);
        int hid = 0;
        EXPECT_EQ(ZK_Link_attach(link, ZK_Sim_path(sim).c_str(), &hid), ZK_ATTACH_OK);
        link->info.flashSize = flashSize;
        ZK_Sim_clearTraffic(sim);
    }
    ~Rig() {
        ZK_Link_release(link);
        ZK_Sim_destroy(sim);
    }
    std::vector<SimTraffic> writes() const {
        std::vector<SimTraffic> out;
        for (const auto& t : ZK_Sim_traffic(sim))
            if (t.code == ZK_CMD_WRITE)
                out.push_back(t);
        return out;
    }
    bool sent(uint8_t code) const {
        for (const auto& t : ZK_Sim_traffic(sim))
            if (t.code == code)
                return true;
        return false;
    }
};

// What a test package holds; every region is optional.
struct PackageSpec {
    std::vector<uint8_t> boot = pattern(0x800, 1), voice = pattern(0x3000, 2),
                         radarMute = pattern(0x2000, 3), gps = pattern(0x5000, 4),
                         updateTool = pattern(0x1000, 5), oled, image = pattern(1000, 6);
    std::vector<ProgramEntry> entries;
    ProgramEntry& entry(const char* board) {
        entries.push_back({});
        std::memcpy(entries.back().board, board, 4);
        return entries.back();
    }
};

class MachineTest : public ::testing::Test {
  protected:
    void SetUp() override { ZK_Log_setSink(nullptr, nullptr); }
    void TearDown() override {
        ZK_Package_close(pkg);
        ZK_Log_setSink(ZK_Log_consoleSink, nullptr);
    }

    UpdatePackage* build(PackageSpec& contents) {
        PackageBuilder b;
        ZK_Builder_init(&b, ZK_TRAILER_520);
        ZK_Builder_setTitle(&b, "TAVO machine test");
        auto put = [&](int slot, std::vector<uint8_t>& v, bool scramble) {
            if (!v.empty())
                b.regions[slot] = {v.data(), (uint32_t)v.size(), scramble ? 1u : 0u, 0, 0};
        };
        put(ZK_SLOT_BOOT, contents.boot, true);
        put(ZK_SLOT_VOICE, contents.voice, false);
        put(ZK_SLOT_RADAR_MUTE, contents.radarMute, false);
        put(ZK_SLOT_GPS, contents.gps, true);
        put(ZK_SLOT_UPDATE_TOOL, contents.updateTool, false);
        put(ZK_SLOT_OLED, contents.oled, true);
        std::vector<BuildProgram> programs;
        for (auto& e : contents.entries)
            programs.push_back({e, contents.image.data(), (uint32_t)contents.image.size(), 1});
        b.programs = {1, (uint32_t)programs.size(), programs.data()};
        std::string path = dir.file("p" + std::to_string(count++) + ".dzk");
        EXPECT_EQ(ZK_Builder_write(&b, path.c_str(), nullptr), 1);
        ZK_Package_close(pkg);
        pkg = ZK_Package_open(path.c_str());
        EXPECT_NE(pkg, nullptr);
        return pkg;
    }

    static UpdateOptions everything() {
        UpdateOptions o{};
        o.writeBoot = o.writeProgram = o.writeVoice = o.writeRadarMute = o.writeGps =
            o.writeUpdateTool = 1;
        return o;
    }

    testutil::TempDir dir;
    UpdatePackage* pkg = nullptr;
    int count = 0;
};

TEST_F(MachineTest, FindProgramByBoard) {
    PackageSpec one;
    one.entry("TQMA");
    build(one);
    ASSERT_NE(ZK_Package_findProgram(pkg, word("TQMB")), nullptr); // the only entry fits any board

    PackageSpec two;
    two.entry("GHW7").programVersion = 7;
    two.entry("GHW2").programVersion = 2;
    two.entry("ABCD").programVersion = 9;
    build(two);
    EXPECT_EQ(ZK_Package_findProgram(pkg, word("GHW2"))->programVersion, 7u);
    EXPECT_EQ(ZK_Package_findProgram(pkg, word("GHW7"))->programVersion, 7u);
    EXPECT_EQ(ZK_Package_findProgram(pkg, word("ABCD"))->programVersion, 9u);
    EXPECT_EQ(ZK_Package_findProgram(pkg, word("ZZZZ")), nullptr);
    EXPECT_EQ(ZK_Package_findProgram(nullptr, word("GHW7")), nullptr);
}

TEST_F(MachineTest, ComputedLayoutInBothLayouts) {
    for (uint32_t layout502 : {1u, 0u}) {
        Rig rig;
        PackageSpec contents;
        ProgramEntry& e = contents.entry("KVN1");
        e.layout502 = layout502;
        e.serverSize = 0x1800; // rounded to 0x2000
        e.trackSize = 0x1000;
        e.programVersion = 321;
        build(contents);
        UpdateOptions o = everything();
        ASSERT_EQ(ZK_Machine_checkParamAndMainSetting(rig.link, &o, pkg), ZK_CHECK_OK);
        uint32_t base = layout502 ? 0x21000 : 0x19000;
        uint32_t voice = base + 0x2000, radar = voice + 0x3000, tool = radar + 0x2000,
                 track = tool + 0x1000, gps = track + 0x1000;
        EXPECT_EQ(o.voice.address, voice);
        EXPECT_EQ(o.radarMute.address, radar);
        EXPECT_EQ(o.updateTool.address, tool);
        EXPECT_EQ(o.oled.address, track); // empty: takes no room
        EXPECT_EQ(o.gps.address, gps);
        // The group went to the entry's layout, the other layout's sector was erased.
        uint32_t group = layout502 ? 0x1E000 : 0x16000, other = layout502 ? 0x16000 : 0x1E000;
        bool erasedOther = false, erasedServer = false, erasedTrack = false;
        for (const auto& t : ZK_Sim_traffic(rig.sim)) {
            if (t.code != ZK_CMD_ERASE)
                continue;
            erasedOther |= t.paramA == other / 4096 && t.paramB == 1;
            erasedServer |= t.paramA == base / 4096 && t.paramB == 2;
            erasedTrack |= t.paramA == track / 4096 && t.paramB == 1;
        }
        EXPECT_TRUE(erasedOther && erasedServer && erasedTrack);
        ASSERT_EQ(ZK_Link_readInfo(rig.link), 1);
        const MainSetting& ms = rig.link->info.mainSetting;
        EXPECT_EQ(rig.link->info.layout502, layout502);
        EXPECT_EQ(std::memcmp(ms.board, "KVN1", 4), 0);
        EXPECT_EQ(+ms.programVersion, 321u);
        EXPECT_EQ(+ms.reservedAddr, base);
        EXPECT_EQ(+ms.reservedSize, 0u);
        EXPECT_EQ(+ms.serverAddr, base);
        EXPECT_EQ(+ms.serverSize, 0x2000u);
        EXPECT_EQ(+ms.gpsAddr, gps);
        EXPECT_EQ(+ms.gpsSize, 0x5000u);
        EXPECT_EQ(+ms.usedEnd, gps + 0x5000);
        EXPECT_EQ(+ms.hasUpdateTool, 1);
        EXPECT_EQ(+ms.magic, ZK_SETTING_MAGIC);
        auto flash = ZK_Sim_readFlash(rig.sim, group, 4);
        EXPECT_NE(flash, std::vector<uint8_t>(4, 0xFF));
    }
}

TEST_F(MachineTest, TooLargeThenFitsWithSmallerGps) {
    Rig rig("new-502", 0x100000); // 1 MiB flash
    PackageSpec contents;
    contents.entry("GHW7").layout502 = 1;
    contents.gps = pattern(0x100000, 9);
    build(contents);
    UpdateOptions o = everything();
    ASSERT_EQ(ZK_Machine_checkParamAndMainSetting(rig.link, &o, pkg), ZK_CHECK_TOO_LARGE);
    uint32_t gpsAddr = 0x21000 + 0x3000 + 0x2000 + 0x1000;
    EXPECT_EQ(o.gpsNeeded, gpsAddr + 0x100000);
    EXPECT_EQ(o.gpsAvailable, 0x100000 - gpsAddr);
    EXPECT_TRUE(rig.writes().empty()); // nothing written on result 1

    contents.gps = pattern(0x100000 - gpsAddr, 9);
    build(contents);
    o = everything();
    EXPECT_EQ(ZK_Machine_checkParamAndMainSetting(rig.link, &o, pkg), ZK_CHECK_OK);
}

TEST_F(MachineTest, NoRoomEvenWithoutGpsReportsZeroAvailable) {
    Rig rig("new-502", 0x100000);
    PackageSpec contents;
    contents.entry("GHW7").layout502 = 1;
    contents.voice = pattern(0x200000, 2);
    build(contents);
    UpdateOptions o = everything();
    ASSERT_EQ(ZK_Machine_checkParamAndMainSetting(rig.link, &o, pkg), ZK_CHECK_TOO_LARGE);
    EXPECT_EQ(o.gpsAvailable, 0u); // not a wrapped-around huge number
}

TEST_F(MachineTest, CheckResults) {
    struct Case {
        const char* what;
        std::function<void(PackageSpec&, UpdateOptions&)> change;
        int want;
    } cases[] = {
        {"empty voice", [](PackageSpec& s, UpdateOptions&) { s.voice.clear(); }, ZK_CHECK_NO_VOICE},
        {"empty gps", [](PackageSpec& s, UpdateOptions&) { s.gps.clear(); }, ZK_CHECK_NO_GPS},
        {"empty radar mute is taken", [](PackageSpec& s, UpdateOptions&) { s.radarMute.clear(); },
         ZK_CHECK_OK},
        {"no boot", [](PackageSpec& s, UpdateOptions&) { s.boot.clear(); }, ZK_CHECK_NO_BOOT},
        {"boot not requested", [](PackageSpec&, UpdateOptions& o) { o.writeBoot = 0; },
         ZK_CHECK_NO_BOOT},
        {"program not requested", [](PackageSpec&, UpdateOptions& o) { o.writeProgram = 0; },
         ZK_CHECK_NO_PROGRAM},
        {"no entry for the board",
         [](PackageSpec& s, UpdateOptions&) {
             s.entries.clear();
             s.entry("AAAA");
             s.entry("BBBB");
         },
         ZK_CHECK_NO_PROGRAM},
        {"board has OLED, section empty",
         [](PackageSpec& s, UpdateOptions&) { s.entries[0].hasOled = 1; }, ZK_CHECK_NO_OLED},
        {"fixed-layout board with OLED is refused",
         [](PackageSpec& s, UpdateOptions&) {
             s.entries[0].hasOled = 1;
             s.entries[0].fixedLayout = 1;
             s.oled = pattern(0x1000, 8);
         },
         ZK_CHECK_NO_OLED},
        {"override picks another entry",
         [](PackageSpec& s, UpdateOptions& o) {
             s.entries.clear();
             s.entry("AAAA");
             s.entry("BBBB");
             o.boardOverride = word("BBBB");
         },
         ZK_CHECK_OK},
    };
    for (auto& c : cases) {
        Rig rig;
        PackageSpec contents;
        contents.entry("GHW7").layout502 = 1;
        UpdateOptions o = everything();
        c.change(contents, o);
        build(contents);
        EXPECT_EQ(ZK_Machine_checkParamAndMainSetting(rig.link, &o, pkg), c.want) << c.what;
        if (c.want != ZK_CHECK_OK) {
            EXPECT_FALSE(rig.sent(ZK_CMD_ERASE) || rig.sent(ZK_CMD_WRITE)) << c.what;
        }
    }
}

TEST_F(MachineTest, FixedLayoutBoard) {
    Rig rig;
    PackageSpec contents;
    contents.entry("LBRQ");
    build(contents);
    UpdateOptions o = everything();
    ASSERT_EQ(ZK_Machine_checkParamAndMainSetting(rig.link, &o, pkg), ZK_CHECK_OK);
    EXPECT_EQ(o.voice.address, 0xDE000u);
    EXPECT_EQ(o.radarMute.address, 0x16000u);
    EXPECT_EQ(o.gps.address, 0x2DE000u);
    EXPECT_EQ(o.updateTool.size, 0u);
    auto traffic = ZK_Sim_traffic(rig.sim);
    ASSERT_EQ(traffic.size(), 2u); // both group sectors erased, nothing written
    EXPECT_EQ(traffic[0].code, ZK_CMD_ERASE);
    EXPECT_EQ(traffic[0].paramA, 0x16000u / 4096);
    EXPECT_EQ(traffic[1].paramA, 0x1E000u / 4096);
}

TEST_F(MachineTest, ResetServerAndUnchangedTrack) {
    Rig rig;
    const MainSetting before = rig.link->info.mainSetting;
    PackageSpec contents;
    ProgramEntry& e = contents.entry("GHW7");
    e.layout502 = 1;
    e.resetServer = 1;
    e.trackSize = before.trackSize; // unchanged: no data change at all
    e.programVersion = 555;
    build(contents);
    UpdateOptions o{};
    o.writeBoot = o.writeProgram = 1;
    ASSERT_EQ(ZK_Machine_checkParamAndMainSetting(rig.link, &o, pkg), ZK_CHECK_OK);
    ASSERT_EQ(ZK_Link_readInfo(rig.link), 1);
    const DeviceInfo& info = rig.link->info;
    EXPECT_EQ(+info.mainSetting.programVersion, 555u);
    EXPECT_EQ(+info.mainSetting.gpsAddr, +before.gpsAddr); // old region places kept
    EXPECT_EQ(+info.mainSetting.voiceAddr, +before.voiceAddr);
    EXPECT_EQ(+info.serverSetting.magic, ZK_SETTING_MAGIC);
    EXPECT_EQ(+info.serverSetting.port, 0u);
    EXPECT_EQ(+info.serverSetting.apn[0], '\0');

    // Without resetServer the server quarter holds no valid record.
    Rig plain;
    e.resetServer = 0;
    build(contents);
    o = {};
    o.writeBoot = o.writeProgram = 1;
    ASSERT_EQ(ZK_Machine_checkParamAndMainSetting(plain.link, &o, pkg), ZK_CHECK_OK);
    ASSERT_EQ(ZK_Link_readInfo(plain.link), 1);
    EXPECT_EQ(+plain.link->info.serverSetting.magic, 0u);
}

TEST_F(MachineTest, WriteOrderAndFailureCodes) {
    // gps voice radar tool oled | app flag, program | boot
    const int codes[] = {-7, -4, -5, -6, -6, -3, -3, -2};
    for (int fail = -1; fail < 8; ++fail) {
        Rig rig;
        PackageSpec contents;
        ProgramEntry& e = contents.entry("GHW7");
        e.layout502 = 1;
        e.hasOled = 1;
        contents.oled = pattern(0x1000, 8);
        build(contents);
        UpdateOptions o = everything();
        o.resetSetting = 1;
        o.writeClientId = 1;
        ASSERT_EQ(ZK_Machine_checkParamAndMainSetting(rig.link, &o, pkg), ZK_CHECK_OK);
        ZK_Sim_clearTraffic(rig.sim);
        if (fail >= 0) {
            SimFault f;
            f.kind = SIM_FAULT_STATUS;
            f.onCode = ZK_CMD_WRITE;
            f.skipCommands = fail;
            ZK_Sim_injectFault(rig.sim, f);
        }
        int result = ZK_Machine_write(&o, rig.link, pkg);
        auto w = rig.writes();
        if (fail >= 0) {
            EXPECT_EQ(result, codes[fail]) << fail;
            EXPECT_EQ(w.size(), (size_t)fail + 1) << "nothing after the failing region";
            EXPECT_FALSE(rig.sent(ZK_CMD_COMPLETE));
            EXPECT_FALSE(rig.sent(ZK_CMD_ERASE));
            continue;
        }
        ASSERT_EQ(result, 0);
        const uint32_t want[] = {o.gps.address,
                                 o.voice.address,
                                 o.radarMute.address,
                                 o.updateTool.address,
                                 o.oled.address,
                                 0x8000,
                                 0x9000,
                                 0,
                                 0x1F000};
        ASSERT_EQ(w.size(), 9u);
        for (size_t i = 0; i < 9; ++i)
            EXPECT_EQ(w[i].paramA * 256, want[i]) << i;
        EXPECT_EQ(w[0].mode, 1); // data regions in mode 1
        EXPECT_EQ(w[3].mode, 0); // the update tool always in mode 0
        EXPECT_EQ(w[7].mode, 0); // boot with its write flag
        auto traffic = ZK_Sim_traffic(rig.sim);
        EXPECT_EQ(traffic.back().code, ZK_CMD_COMPLETE);
        EXPECT_EQ(ZK_Sim_readFlash(rig.sim, 0x1F000, 17),
                  std::vector<uint8_t>(pkg->title, pkg->title + 17));
    }
}

struct LogLines {
    std::vector<std::string> lines;
    static void sink(void* user, const char* file, int, const char* function, int, int,
                     const char* text) {
        static_cast<LogLines*>(user)->lines.push_back(std::string(file) + "|" + function + "|" +
                                                      text);
    }
};

TEST_F(MachineTest, LogLines) {
    Rig rig;
    PackageSpec contents;
    ProgramEntry& e = contents.entry("GHW7");
    e.layout502 = 1;
    e.serverSize = 0x1000;
    e.trackSize = 0x3000;
    build(contents);
    LogLines log;
    ZK_Log_setSink(LogLines::sink, &log);
    UpdateOptions o = everything();
    o.resetSetting = 1;
    ASSERT_EQ(ZK_Machine_checkParamAndMainSetting(rig.link, &o, pkg), ZK_CHECK_OK);
    ASSERT_EQ(ZK_Machine_write(&o, rig.link, pkg), 0);
    ZK_Log_setSink(nullptr, nullptr);
    const char* check = "ZK_Machine|ZK_Machine_checkParamAndMainSetting|";
    const char* write = "ZK_Machine|ZK_Machine_write|";
    std::vector<std::string> want = {
        std::string(check) + "502=1, bProgramChanged=1, bDataChanged=1",
        std::string(check) + "write main setting[0x1E000]",
        std::string(check) + "reset server data[0x21000][0x1000]",
        std::string(check) + "reset track data[0x28000][0x3000]",
        std::string(write) + "write gps data[0x2B000][0x5000]",
        std::string(write) + "write voice data[0x22000][0x3000]",
        std::string(write) + "write radar mute data[0x25000][0x2000]",
        std::string(write) + "write update tool data[0x27000][0x1000]",
        "ZK_Machine|ZK_Machine_writeProgram|write app flag data[0x8000][0xC]",
        "ZK_Machine|ZK_Machine_writeProgram|write app data[0x9000][0x3E8]",
        "ZK_Machine|ZK_Machine_writeBoot|write boot data[0x0][0x800]",
        std::string(write) + "reset setting data[0x19000][0x1000]",
    };
    EXPECT_EQ(log.lines, want);
}

TEST_F(MachineTest, OnlyResetSetting) {
    Rig rig;
    PackageSpec contents;
    contents.entry("GHW7").layout502 = 1;
    build(contents);
    UpdateOptions o{};
    o.resetSetting = 1;
    o.layout502 = 1;
    ASSERT_EQ(ZK_Machine_write(&o, rig.link, pkg), 0);
    auto traffic = ZK_Sim_traffic(rig.sim);
    ASSERT_GE(traffic.size(), 3u);
    EXPECT_EQ(traffic.front().code, ZK_CMD_ERASE);
    EXPECT_EQ(traffic.front().paramA, 0x19000u / 4096);
    EXPECT_EQ(traffic[1].code, ZK_CMD_GET_VERSION); // the information is read again
    EXPECT_EQ(traffic.back().code, ZK_CMD_COMPLETE);
    EXPECT_TRUE(rig.writes().empty());
}

TEST_F(MachineTest, ProgramAndAppFlag) {
    Rig rig("new-legacy"); // a "TQMB" device
    PackageSpec contents;
    contents.entry("TQMA"); // the only entry: written whatever the device's board
    build(contents);
    ASSERT_EQ(ZK_Machine_writeProgram(rig.link, pkg, 1), 1);
    auto w = rig.writes();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].paramA, 0x8000u / 256);
    EXPECT_EQ(w[0].dataLength, 256u);
    EXPECT_EQ(w[1].paramA, 0x9000u / 256);
    EXPECT_EQ(w[1].paramB, 4u);    // 1,000 bytes go as 1,024
    EXPECT_EQ(w[1].paramC, 1000u); // the unpadded length of a scrambled image
    auto flag = ZK_Sim_readFlash(rig.sim, 0x8000, 256);
    EXPECT_EQ(ZK_Bytes_u32le(&flag[0]), ZK_SETTING_MAGIC);
    EXPECT_EQ(ZK_Bytes_u32le(&flag[4]), 1000u);
    // The sum covers the image as it was before the package scrambled it.
    EXPECT_EQ(ZK_Bytes_u32le(&flag[8]), ZK_Bytes_sum(contents.image.data(), contents.image.size()));
    EXPECT_EQ(std::vector<uint8_t>(flag.begin() + 12, flag.end()), std::vector<uint8_t>(244, 0xFF));
    auto image = ZK_Sim_readFlash(rig.sim, 0x9000, 1024);
    EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + 1000),
              std::vector<uint8_t>(pkg->programs[0].image, pkg->programs[0].image + 1000));
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 1000, image.end()),
              std::vector<uint8_t>(24, 0xFF));

    PackageSpec none;
    none.entry("AAAA");
    none.entry("BBBB");
    build(none);
    ZK_Sim_clearTraffic(rig.sim);
    EXPECT_EQ(ZK_Machine_writeProgram(rig.link, pkg, 1), 0);
    EXPECT_TRUE(ZK_Sim_traffic(rig.sim).empty());
}

TEST_F(MachineTest, RoundTripThroughTheDeviceInformation) {
    Rig rig("new-legacy");
    PackageSpec contents;
    ProgramEntry& e = contents.entry("KVN1");
    e.trackSize = 0x2000;
    e.programVersion = 901;
    build(contents);
    UpdateOptions o = everything();
    ASSERT_EQ(ZK_Machine_checkParamAndMainSetting(rig.link, &o, pkg), ZK_CHECK_OK);
    ASSERT_EQ(ZK_Machine_write(&o, rig.link, pkg), 0);
    // The write ends with an information read: the link now holds what the
    // check wrote, and the device has the regions where the setting says.
    const MainSetting& ms = rig.link->info.mainSetting;
    EXPECT_EQ(std::memcmp(ms.board, "KVN1", 4), 0);
    EXPECT_EQ(+ms.programVersion, 901u);
    EXPECT_EQ(+ms.gpsAddr, o.gps.address);
    EXPECT_EQ(rig.link->info.layout502, 0u);
    auto gps = ZK_Sim_readFlash(rig.sim, ms.gpsAddr, (uint32_t)pkg->gps.size);
    EXPECT_EQ(gps, std::vector<uint8_t>(pkg->gps.data, pkg->gps.data + pkg->gps.size));
    auto voice = ZK_Sim_readFlash(rig.sim, ms.voiceAddr, (uint32_t)pkg->voice.size);
    EXPECT_EQ(voice, std::vector<uint8_t>(pkg->voice.data, pkg->voice.data + pkg->voice.size));
}

} // namespace

namespace {

TEST_F(MachineTest, PlanDecidesLikeTheCheckWithoutTouchingTheFlash) {
    Rig rig;
    PackageSpec contents;
    ProgramEntry& e = contents.entry("GHW7");
    e.layout502 = 1;
    e.trackSize = 0x1000;
    build(contents);
    auto before = ZK_Sim_readFlash(rig.sim, 0, 0x800000);
    UpdateOptions planned = everything();
    MachinePlan plan;
    ASSERT_EQ(ZK_Machine_planParamAndMainSetting(rig.link, &planned, pkg, &plan), ZK_CHECK_OK);
    EXPECT_TRUE(ZK_Sim_traffic(rig.sim).empty());
    EXPECT_EQ(ZK_Sim_readFlash(rig.sim, 0, 0x800000), before);
    EXPECT_EQ(plan.fixedLayout, 0);

    UpdateOptions applied = everything();
    ASSERT_EQ(ZK_Machine_checkParamAndMainSetting(rig.link, &applied, pkg), ZK_CHECK_OK);
    EXPECT_EQ(planned.gps.address, applied.gps.address);
    EXPECT_EQ(planned.voice.address, applied.voice.address);
    ASSERT_EQ(ZK_Link_readInfo(rig.link), 1);
    EXPECT_EQ(std::memcmp(&plan.setting, &rig.link->info.mainSetting, sizeof(MainSetting)), 0);
}

} // namespace

namespace {

using TrafficRow = std::tuple<int, uint32_t, uint32_t, uint32_t, int, uint32_t, uint32_t, uint32_t>;
std::vector<TrafficRow> rows(const std::vector<SimTraffic>& traffic) {
    std::vector<TrafficRow> out;
    for (const SimTraffic& t : traffic)
        out.emplace_back(t.code, t.paramA, t.paramB, t.paramC, t.mode, t.paramD, t.dataLength,
                         t.status);
    return out;
}

// The slots as (address, data, size, scrambled), then the flags and results.
std::vector<uintptr_t> fields(const UpdateOptions& o) {
    std::vector<uintptr_t> out = {o.writeBoot,      o.writeProgram, o.writeVoice,
                                  o.writeRadarMute, o.writeGps,     o.writeUpdateTool,
                                  o.writeOled,      o.resetSetting, o.layout502,
                                  o.altVoice,       o.useVoice3,    o.useGps2,
                                  o.useGps3,        o.useVoice4,    o.plainData,
                                  o.gpsNeeded,      o.gpsAvailable, (uintptr_t)o.boot.data,
                                  o.boot.size,      o.program.size};
    for (const OptionPlacedRegion* r : {&o.voice, &o.radarMute, &o.updateTool, &o.oled, &o.gps})
        out.insert(out.end(), {r->address, (uintptr_t)r->data, r->size, r->scrambled});
    return out;
}

// Planning sends nothing; applying the plan then does exactly what the check
// does on an identical device, with the same log lines and options.
TEST_F(MachineTest, PlanThenApplyMatchesTheCheck) {
    struct Case {
        const char* what;
        std::function<void(PackageSpec&)> change;
        uint32_t flashSize;
        int want;
        int fixedLayout;
        uint32_t groupAddr; // 0: no group write
        std::vector<std::pair<int, uint32_t>> erases;
    } cases[] = {
        {"502 layout",
         [](PackageSpec& s) {
             ProgramEntry& e = s.entry("GHW7");
             e.layout502 = 1;
             e.serverSize = 0x1000;
             e.trackSize = 0x2000;
         },
         0x800000,
         ZK_CHECK_OK,
         0,
         0x1E000,
         {{ZK_PLAN_ERASE_GROUP, 0x16000},
          {ZK_PLAN_ERASE_SERVER, 0x21000},
          {ZK_PLAN_ERASE_TRACK, 0x28000}}},
        {"legacy layout",
         [](PackageSpec& s) { s.entry("KVN1").trackSize = 0x1000; },
         0x800000,
         ZK_CHECK_OK,
         0,
         0x16000,
         {{ZK_PLAN_ERASE_GROUP, 0x1E000}, {ZK_PLAN_ERASE_TRACK, 0x1F000}}},
        {"fixed layout board",
         [](PackageSpec& s) { s.entry("LBRQ"); },
         0x800000,
         ZK_CHECK_OK,
         1,
         0,
         {{ZK_PLAN_ERASE_GROUP, 0x16000}, {ZK_PLAN_ERASE_GROUP, 0x1E000}}},
        {"too large",
         [](PackageSpec& s) {
             s.entry("GHW7").layout502 = 1;
             s.gps = pattern(0x100000, 9);
         },
         0x100000,
         ZK_CHECK_TOO_LARGE,
         0,
         0,
         {}},
        {"no voice",
         [](PackageSpec& s) {
             s.entry("GHW7").layout502 = 1;
             s.voice.clear();
         },
         0x800000,
         ZK_CHECK_NO_VOICE,
         0,
         0,
         {}},
    };
    for (auto& c : cases) {
        PackageSpec contents;
        c.change(contents);
        build(contents);

        Rig planned("new-502", c.flashSize);
        UpdateOptions request = everything();
        MachinePlan plan;
        ASSERT_EQ(ZK_Machine_plan(&planned.link->info, &request, pkg, &plan), c.want) << c.what;
        EXPECT_TRUE(ZK_Sim_traffic(planned.sim).empty()) << c.what;
        EXPECT_EQ(plan.result, c.want) << c.what;
        EXPECT_EQ(plan.fixedLayout, c.fixedLayout) << c.what;
        EXPECT_EQ(plan.writeGroup, c.groupAddr != 0) << c.what;
        EXPECT_EQ(plan.groupAddr, c.groupAddr) << c.what;
        std::vector<std::pair<int, uint32_t>> erases;
        for (uint32_t i = 0; i < plan.eraseCount; ++i)
            erases.push_back({plan.erases[i].kind, plan.erases[i].address});
        EXPECT_EQ(erases, c.erases) << c.what;
        if (c.want == ZK_CHECK_TOO_LARGE) {
            uint32_t gpsAddr = 0x21000 + 0x3000 + 0x2000 + 0x1000;
            EXPECT_EQ(plan.gpsNeeded, gpsAddr + 0x100000) << c.what;
            EXPECT_EQ(plan.gpsAvailable, 0x100000 - gpsAddr) << c.what;
        }
        if (c.want == ZK_CHECK_OK && !c.fixedLayout) {
            EXPECT_EQ(plan.laidOut.gps.address, +plan.setting.gpsAddr) << c.what;
        }

        LogLines appliedLog, checkedLog;
        UpdateOptions applied{};
        ZK_Log_setSink(LogLines::sink, &appliedLog);
        int appliedResult = ZK_Machine_applyPlan(planned.link, &plan, &applied);
        ZK_Log_setSink(nullptr, nullptr);

        Rig checked("new-502", c.flashSize);
        UpdateOptions options = everything();
        ZK_Log_setSink(LogLines::sink, &checkedLog);
        int checkedResult = ZK_Machine_checkParamAndMainSetting(checked.link, &options, pkg);
        ZK_Log_setSink(nullptr, nullptr);

        EXPECT_EQ(appliedResult, checkedResult) << c.what;
        EXPECT_EQ(rows(ZK_Sim_traffic(planned.sim)), rows(ZK_Sim_traffic(checked.sim))) << c.what;
        EXPECT_EQ(appliedLog.lines, checkedLog.lines) << c.what;
        EXPECT_EQ(fields(applied), fields(options)) << c.what;
        EXPECT_EQ(ZK_Sim_readFlash(planned.sim, 0, 0x800000),
                  ZK_Sim_readFlash(checked.sim, 0, 0x800000))
            << c.what;
    }
}

// An erase the device does not confirm fails the applied plan with 5 and
// leaves the options without region addresses, as the check does.
TEST_F(MachineTest, AppliedPlanStopsAtAnUnconfirmedErase) {
    PackageSpec contents;
    ProgramEntry& e = contents.entry("GHW7");
    e.layout502 = 1;
    e.trackSize = 0x1000;
    build(contents);
    Rig rig;
    UpdateOptions request = everything();
    MachinePlan plan;
    ASSERT_EQ(ZK_Machine_plan(&rig.link->info, &request, pkg, &plan), ZK_CHECK_OK);
    SimFault f;
    f.kind = SIM_FAULT_STATUS;
    f.onCode = ZK_CMD_ERASE;
    ZK_Sim_injectFault(rig.sim, f);
    UpdateOptions o{};
    EXPECT_EQ(ZK_Machine_applyPlan(rig.link, &plan, &o), ZK_CHECK_WRITE_FAILED);
    EXPECT_FALSE(rig.sent(ZK_CMD_WRITE)); // the group is not written after a failed erase
    EXPECT_EQ(o.gps.address, 0u);
    EXPECT_EQ(o.gps.size, plan.options.gps.size);
}

} // namespace

namespace {

// The board the link reads from the flash and the board of a package entry
// are the same word, so the lookup finds the entry among several.
TEST_F(MachineTest, BoardFromTheFlashMatchesTheBoardFromThePackage) {
    Rig rig; // a GHW7 device
    PackageSpec contents;
    contents.entry("AAAA");
    contents.entry("GHW7").programVersion = 77;
    build(contents);
    ASSERT_EQ(pkg->programCount, 2u);
    EXPECT_EQ(ZK_Board_word(rig.link->info.mainSetting.board),
              ZK_Board_word(pkg->programs[1].board));
    EXPECT_EQ(ZK_Board_word(rig.link->info.mainSetting.board), word("GHW7"));
    const ProgramEntry* e =
        ZK_Package_findProgram(pkg, ZK_Board_word(rig.link->info.mainSetting.board));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->programVersion, 77u);
    EXPECT_EQ(ZK_Board_word(nullptr), 0u);
}

} // namespace
