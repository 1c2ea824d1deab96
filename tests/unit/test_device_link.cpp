// Device information read, write-backs, texts, dump, progress and the
// server-data copy, against simulated flash images.
#include "test_device_util.h"

#include "app/core/client.h"
#include "device/serverdata.h"
#include "support/mem.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace devtest;

namespace {

constexpr uint32_t STAMP_A = 1700000000; // 2023-11-14 22:13:20
constexpr uint32_t STAMP_B = 1710000000; // 2024-03-09 16:00:00
constexpr uint32_t STAMP_C = 1720000000; // 2024-07-03 09:46:40

struct ProgressCall {
    int kind;
    uint32_t value;
    std::string text;
};

int recordProgress(void* user, DeviceLink* link, int kind, uint32_t value, uint32_t) {
    static_cast<std::vector<ProgressCall>*>(user)->push_back({kind, value, link->stepText});
    return 0;
}

// A blank simulated device (set up by each test) and a link attached to it.
class Link : public ::testing::Test {
  protected:
    void TearDown() override {
        ZK_Link_release(link);
        ZK_Sim_destroy(sim);
        EXPECT_EQ(ZK_Mem_liveBlocks(), liveBefore);
    }
    void create(uint32_t bootVersion = 1046, const char* profile = "blank") {
        SimConfig c;
        c.profile = profile;
        c.bootVersion = bootVersion;
        sim = ZK_Sim_create(c);
        ASSERT_NE(sim, nullptr);
        link = ZK_Link_create(IsDeviceClientAccepted, nullptr, recordProgress, &progress);
        ASSERT_NE(link, nullptr);
    }
    // Plugs and attaches; the result of the attach (information read included).
    int attach() {
        ZK_Sim_plug(sim);
        int rc = ZK_Link_attach(link, ZK_Sim_path(sim).c_str(), nullptr);
        return rc;
    }
    std::vector<uint32_t> readAddresses() {
        std::vector<uint32_t> out;
        for (const auto& t : ZK_Sim_traffic(sim))
            if (t.code == 0xF2)
                out.push_back(t.paramA * 256);
        return out;
    }
    std::vector<uint8_t> codes() {
        std::vector<uint8_t> out;
        for (const auto& t : ZK_Sim_traffic(sim))
            out.push_back(t.code);
        return out;
    }
    std::string board() {
        char b[8];
        ZK_Link_boardText(link, b, sizeof b);
        return b;
    }
    std::string client() {
        char c[ZK_CLIENT_TEXT_CAPACITY];
        ZK_Link_clientText(link, c);
        return c;
    }
    static std::string date(const RegionDate& d) {
        char buf[16];
        ZK_Link_dateText(&d, buf, sizeof buf);
        return buf;
    }
    void putRegions(const MainFields& f) {
        write(sim, f.voiceAddr, regionPage(STAMP_A, STAMP_B));
        write(sim, f.radarAddr, regionPage(STAMP_C, 0));
        write(sim, f.gpsAddr, regionPage(STAMP_B, 0));
    }

    int32_t liveBefore = ZK_Mem_liveBlocks();
    SimDevice* sim = nullptr;
    DeviceLink* link = nullptr;
    std::vector<ProgressCall> progress;
};

TEST_F(Link, Layout502) {
    create();
    MainFields f;
    write(sim, 0x1E000, slot(mainRecord(f)));
    write(sim, 0x1E100, slot(serverRecord("cmnet", 8080)));
    std::vector<uint8_t> tail(256, 0x3C);
    write(sim, 0x1E200, tail);
    write(sim, 0x19000, paramSector(5, "ZZZZ", 9));
    write(sim, 0x1F000, clientBlock("TAVO Road"));
    putRegions(f);
    ASSERT_EQ(attach(), ZK_ATTACH_OK);

    const DeviceInfo& info = link->info;
    EXPECT_EQ(info.layout502, 1u);
    EXPECT_EQ(info.noMainSetting, 0u);
    EXPECT_EQ(info.bootVersion, 1046u);
    EXPECT_EQ(info.flashSize, 0x800000u);
    EXPECT_EQ(board(), "GHW7");
    EXPECT_EQ(uint32_t(info.mainSetting.programVersion), 1207u)
        << "not taken from the parameter record";
    EXPECT_EQ(uint32_t(info.mainSetting.gpsSize), 0x300000u);
    EXPECT_EQ(info.paramType, 5);
    EXPECT_EQ(std::string(info.serverSetting.apn), "cmnet");
    EXPECT_EQ(uint32_t(info.serverSetting.port), 8080u);
    EXPECT_EQ(std::vector<uint8_t>(info.settingTail, info.settingTail + 256), tail);
    EXPECT_EQ(client(), "TAVO Road");
    EXPECT_EQ(date(info.voiceDate), "20240309") << "word 1 without useVoice4";
    EXPECT_EQ(date(info.radarMuteDate), "20240703");
    EXPECT_EQ(date(info.gpsDate), "20240309");
    EXPECT_EQ(info.gpsDate.hour, 16);
    EXPECT_EQ(codes()[0], 0xF7);
    EXPECT_EQ(codes()[1], 0xFB);
    EXPECT_EQ(readAddresses(), (std::vector<uint32_t>{0x1E000, 0x1E200, 0x1E100, 0x19000, 0x1F000,
                                                      f.voiceAddr, f.radarAddr, f.gpsAddr}));
    // plainData set: region pages are read in mode 0.
    for (const auto& t : ZK_Sim_traffic(sim))
        EXPECT_EQ(t.mode, 0);
    EXPECT_EQ(link->channel->deviceVersion, 1046u);
    EXPECT_EQ(link->progress.mode, ZK_PROGRESS_OFF);
}

TEST_F(Link, LegacyLayout) {
    create();
    MainFields f;
    f.board = "TQMB";
    f.plainData = 0;
    f.useVoice4 = 1;
    write(sim, 0x16000, slot(mainRecord(f)));
    write(sim, 0x16100, slot(serverRecord("uninet", 9000)));
    write(sim, 0x11000, paramSector(2, "XXXX", 1));
    write(sim, 0x18000, clientBlock("TAVO"));
    putRegions(f);
    ASSERT_EQ(attach(), ZK_ATTACH_OK);
    EXPECT_EQ(link->info.layout502, 0u);
    EXPECT_EQ(board(), "TQMB");
    EXPECT_EQ(link->info.paramType, 2);
    EXPECT_EQ(std::string(link->info.serverSetting.apn), "uninet");
    EXPECT_EQ(date(link->info.voiceDate), "20231114") << "word 0 with useVoice4";
    EXPECT_EQ(readAddresses(),
              (std::vector<uint32_t>{0x1E000, 0x16000, 0x16200, 0x16100, 0x11000, 0x18000,
                                     f.voiceAddr, f.radarAddr, f.gpsAddr}));
    auto t = ZK_Sim_traffic(sim);
    EXPECT_EQ(t.back().mode, 1) << "data regions are read in mode 1 without plainData";
}

TEST_F(Link, BothSlotsValidButBoardZeroAt502) {
    create();
    MainFields empty;
    empty.board = std::string(4, '\0');
    MainFields legacy;
    legacy.board = "LBRQ";
    write(sim, 0x1E000, slot(mainRecord(empty)));
    write(sim, 0x16000, slot(mainRecord(legacy)));
    write(sim, 0x16100, slot(serverRecord("legacy-apn", 1)));
    write(sim, 0x1E100, slot(serverRecord("new-apn", 2)));
    write(sim, 0x18000, clientBlock("TAVO legacy"));
    write(sim, 0x1F000, clientBlock("TAVO 502"));
    write(sim, 0x19000, paramSector(4, "PPPP", 2));
    ASSERT_EQ(attach(), ZK_ATTACH_OK);
    EXPECT_EQ(link->info.layout502, 1u) << "stays as the 502 slot set it";
    EXPECT_EQ(board(), "LBRQ");
    EXPECT_EQ(client(), "TAVO legacy");
    EXPECT_EQ(std::string(link->info.serverSetting.apn), "legacy-apn");
    EXPECT_EQ(link->info.paramType, 4) << "parameter sector of the 502 layout";
    auto reads = readAddresses();
    ASSERT_GE(reads.size(), 6u);
    EXPECT_EQ(std::vector<uint32_t>(reads.begin(), reads.begin() + 6),
              (std::vector<uint32_t>{0x1E000, 0x1E200, 0x16000, 0x16200, 0x16100, 0x19000}));
}

// No main setting: defaults for the dates, board from the parameter record.
TEST_F(Link, NoMainSettingTakesBoardFromParameterForm) {
    struct Case {
        int form;
        const char* board;
        uint32_t program;
    } cases[] = {
        {5, "FMV5", 505}, {4, "FMV4", 404}, {3, "FMV3", 303}, {2, "FMV2", 202}, {1, "", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.form);
        create();
        write(sim, 0x11000, paramSector(c.form, "FMV" + std::to_string(c.form), c.program));
        write(sim, 0x18000, clientBlock("TAVO"));
        write(sim, 0xDE000, regionPage(STAMP_A, STAMP_C));
        write(sim, 0x16000, regionPage(STAMP_B, 0));
        write(sim, 0x2DE000, regionPage(STAMP_C, 0));
        ASSERT_EQ(attach(), ZK_ATTACH_OK);
        EXPECT_EQ(link->info.noMainSetting, 1u);
        EXPECT_EQ(link->info.layout502, 0u);
        EXPECT_EQ(link->info.paramType, c.form);
        EXPECT_EQ(board(), c.board);
        EXPECT_EQ(uint32_t(link->info.mainSetting.programVersion), c.program);
        EXPECT_EQ(date(link->info.voiceDate), "20240703");
        EXPECT_EQ(date(link->info.radarMuteDate), "20240309");
        EXPECT_EQ(date(link->info.gpsDate), "20240703");
        EXPECT_EQ(readAddresses(), (std::vector<uint32_t>{0x1E000, 0x16000, 0x11000, 0x18000,
                                                          0xDE000, 0x16000, 0x2DE000}));
        uint32_t a, s;
        ZK_Link_regionPlace(link, ZK_REGION_GPS, &a, &s);
        EXPECT_EQ(a, 0x2DE000u);
        EXPECT_EQ(s, 0x522000u);
        TearDown();
        link = nullptr;
        sim = nullptr;
    }
}

TEST_F(Link, ParameterFormPriority) {
    create();
    ZK_Sim_plug(sim);
    ASSERT_EQ(ZK_Link_attach(link, ZK_Sim_path(sim).c_str(), nullptr), ZK_ATTACH_OK);
    // The form 4 sector also sums right over 72, 111 and 170 bytes (zeros
    // beyond its 64): its magic makes it 4, ahead of 2.
    auto form4 = paramSector(4, "ABCD", 1);
    EXPECT_EQ(sum(form4, 4, 72), get32(form4, 0));
    // 24 bytes sum right, 72 do not: form 1.
    auto form1 = paramSector(1, "", 0);
    EXPECT_NE(sum(form1, 4, 72), get32(form1, 0));
    auto bad = paramSector(5, "ABCD", 1);
    bad[0] ^= 1;
    auto magicless5 = paramSector(5, "ABCD", 1);
    put32(magicless5, 4 + 107, 0x12345679);
    put32(magicless5, 0, sum(magicless5, 4, 111));
    struct Case {
        std::vector<uint8_t> sector;
        int form;
    } cases[] = {{form4, 4}, {form1, 1}, {bad, -1}, {magicless5, -1}, {paramSector(3, "A", 1), 3}};
    for (const Case& c : cases) {
        write(sim, 0x11000, c.sector);
        ASSERT_EQ(ZK_Link_readInfo(link), 1);
        EXPECT_EQ(link->info.paramType, c.form);
    }
}

TEST_F(Link, FlashSizeAskedFromBoot1011) {
    for (uint32_t boot : {1010u, 1011u}) {
        SCOPED_TRACE(boot);
        create(boot);
        ASSERT_EQ(attach(), ZK_ATTACH_OK);
        EXPECT_EQ(link->info.bootVersion, boot);
        EXPECT_EQ(link->info.flashSize, 0x800000u);
        auto c = codes();
        bool asked = std::find(c.begin(), c.end(), 0xFB) != c.end();
        EXPECT_EQ(asked, boot == 1011);
        TearDown();
        link = nullptr;
        sim = nullptr;
    }
}

TEST_F(Link, RefusedClientGetsRefuseCommand) {
    create();
    MainFields f;
    write(sim, 0x1E000, slot(mainRecord(f)));
    write(sim, 0x1F000, clientBlock("Qirune/Fellodo"));
    putRegions(f);
    link->info.gpsDate.year = 2001; // from an earlier read
    EXPECT_EQ(attach(), ZK_ATTACH_REFUSED);
    auto c = codes();
    EXPECT_EQ(c.back(), 0xF9);
    EXPECT_EQ(readAddresses().back(), 0x1F000u) << "no region page is read";
    EXPECT_EQ(link->info.gpsDate.year, 2001) << "dates keep the previous values";
    EXPECT_TRUE(ZK_Link_isAttached(link)) << "the port stays attached";
    EXPECT_EQ(client(), "Qirune/Fellodo");
}

TEST_F(Link, SimulatorProfiles) {
    struct Case {
        const char* profile;
        int attach;
        uint32_t layout502, noMainSetting;
    } cases[] = {{"new-502", ZK_ATTACH_OK, 1, 0},
                 {"new-legacy", ZK_ATTACH_OK, 0, 0},
                 {"no-main-setting", ZK_ATTACH_OK, 0, 1},
                 {"refused-client", ZK_ATTACH_REFUSED, 1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        create(1046, c.profile);
        EXPECT_EQ(attach(), c.attach);
        EXPECT_EQ(link->info.layout502, c.layout502);
        EXPECT_EQ(link->info.noMainSetting, c.noMainSetting);
        EXPECT_FALSE(board().empty());
        EXPECT_GT(link->info.paramType, 0);
        if (c.attach == ZK_ATTACH_OK) {
            EXPECT_NE(link->info.gpsDate.year, 0);
        }
        TearDown();
        link = nullptr;
        sim = nullptr;
    }
}

TEST_F(Link, AttachFindsFirstDeviceAndReplacesPort) {
    create(1046, "new-502");
    EXPECT_EQ(ZK_Link_attach(link, nullptr, nullptr), ZK_ATTACH_NO_DEVICE);
    EXPECT_FALSE(ZK_Link_isAttached(link));
    ZK_Sim_plug(sim);
    ASSERT_EQ(ZK_Link_attach(link, nullptr, nullptr), ZK_ATTACH_OK);
    HidPort* first = link->channel->port.load();
    ASSERT_EQ(ZK_Link_attach(link, nullptr, nullptr), ZK_ATTACH_OK);
    EXPECT_NE(link->channel->port.load(), nullptr);
    (void)first; // freed by the second attach; ASan would catch a leak or a double close
    int hid = 0;
    EXPECT_NE(ZK_Link_attach(link, "sim:nothing#vid_0416&pid_b500", &hid), ZK_ATTACH_OK);
    EXPECT_FALSE(ZK_Link_isAttached(link)) << "a failed attach leaves no device";
    EXPECT_NE(hid, 0);
    EXPECT_TRUE(ZK_Link_matchHidPath("/dev/hidraw3#VID_0416&PID_B500"));
    EXPECT_FALSE(ZK_Link_matchHidPath("/dev/hidraw3#vid_0416&pid_b501"));
}

TEST_F(Link, WriteMainSettingGroupRoundTrip) {
    create();
    MainFields f;
    write(sim, 0x1E000, slot(mainRecord(f)));
    std::vector<uint8_t> tail(256, 0x71);
    write(sim, 0x1E200, tail);
    ASSERT_EQ(attach(), ZK_ATTACH_OK);

    MainSetting ms = link->info.mainSetting;
    ms.programVersion = 1300;
    ServerSetting ss{};
    std::strcpy(ss.apn, "3gnet");
    ss.magic = ZK_SETTING_MAGIC;
    ZK_Sim_clearTraffic(sim);
    ASSERT_EQ(ZK_Link_writeMainSettingGroup(link, &ms, &ss, 0), 1);
    auto t = ZK_Sim_traffic(sim);
    ASSERT_EQ(t.size(), 1u) << "no erase before it";
    EXPECT_EQ(t[0].paramA * 256, 0x16000u);
    auto image = ZK_Sim_readFlash(sim, 0x16000, 768);
    EXPECT_EQ(get32(image, 0), sum(image, 4, 231));
    EXPECT_EQ(get32(image, 4 + 8), 1300u);
    EXPECT_EQ(get32(image, 256), sum(image, 260, 178));
    EXPECT_EQ(std::string((const char*)image.data() + 260), "3gnet");
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 512, image.end()), tail);

    // No server setting (or an invalid one): slot 1 stays erased-looking.
    ss.magic = 0;
    ASSERT_EQ(ZK_Link_writeMainSettingGroup(link, nullptr, &ss, 1), 1);
    image = ZK_Sim_readFlash(sim, 0x1E000, 768);
    EXPECT_EQ(get32(image, 4 + 8), 1207u) << "none means the device's own main setting";
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 256, image.begin() + 512),
              std::vector<uint8_t>(256, 0xFF));
    ASSERT_EQ(ZK_Link_readInfo(link), 1);
    EXPECT_EQ(uint32_t(link->info.serverSetting.magic), 0u);
}

TEST_F(Link, WriteParamSectorSumsByForm) {
    create();
    ASSERT_EQ(attach(), ZK_ATTACH_OK);
    ASSERT_EQ(link->info.paramType, -1);
    std::vector<uint8_t> sector(256);
    for (size_t i = 0; i < 256; ++i)
        sector[i] = (uint8_t)(i + 1);
    struct Case {
        int32_t type;
        size_t summed;
        uint32_t address;
        int layout502;
    } cases[] = {{-1, 24, 0x11000, 0}, {1, 24, 0x11000, 0}, {2, 72, 0x11000, 0},
                 {3, 170, 0x19000, 1}, {4, 64, 0x19000, 1}, {5, 111, 0x19000, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        link->info.paramType = c.type;
        link->info.layout502 = (uint32_t)c.layout502;
        ASSERT_EQ(ZK_Link_writeParamSector(link, sector.data()), 1);
        auto stored = ZK_Sim_readFlash(sim, c.address, 256);
        EXPECT_EQ(get32(stored, 0), sum(sector, 4, c.summed));
        EXPECT_TRUE(std::equal(stored.begin() + 4, stored.end(), sector.begin() + 4));
    }
    link->info.paramType = 6;
    ZK_Sim_clearTraffic(sim);
    EXPECT_EQ(ZK_Link_writeParamSector(link, nullptr), 0);
    EXPECT_TRUE(ZK_Sim_traffic(sim).empty());
}

TEST_F(Link, BoardAndClientTexts) {
    create();
    link->info.mainSetting.board[0] = 'A';
    link->info.mainSetting.board[1] = 'B';
    char out[8];
    ZK_Link_boardText(link, out, 2);
    EXPECT_STREQ(out, "A");
    std::memcpy(link->info.mainSetting.board, "WXYZ", 4);
    ZK_Link_boardText(link, out, sizeof out);
    EXPECT_STREQ(out, "WXYZ") << "four characters without terminator";

    struct Case {
        std::vector<uint8_t> block;
        std::string text;
    } cases[] = {
        {clientBlock("TAVO"), "TAVO"},
        {{'A', 0xFF, 'B', 0xFF, 0xFF, 'C'},
         "A\xFF"
         "B"},
        {std::vector<uint8_t>(256, 0xFF), ""},
        {std::vector<uint8_t>(256, 'x'), std::string(99, 'x')},
    };
    for (auto& c : cases) {
        c.block.resize(256, 0xFF);
        std::memcpy(link->info.clientBlock, c.block.data(), 256);
        EXPECT_EQ(client(), c.text);
    }
}

// The dump of a known image, byte for byte against the committed file.
TEST_F(Link, DumpMatchesExpectedFile) {
    create(1046);
    MainFields f;
    f.updateToolSize = 0x3000;
    write(sim, 0x1E000, slot(mainRecord(f)));
    write(sim, 0x1F000, clientBlock("TAVO Road"));
    putRegions(f);
    ASSERT_EQ(attach(), ZK_ATTACH_OK);
    testutil::TempDir dir;
    ASSERT_EQ(ZK_Link_dumpInfo(dir.file("info.txt").c_str(), link), 1);
    EXPECT_EQ(testutil::readFile(dir.file("info.txt")),
              testutil::readFile(testutil::fixture("device_dump_502.txt")));
    EXPECT_EQ(ZK_Link_dumpInfo(dir.file("missing/info.txt").c_str(), link), 0);
}

TEST_F(Link, DumpWithoutMainSetting) {
    create(1010);
    write(sim, 0x11000, paramSector(4, "TQMC", 77));
    write(sim, 0x2DE000, regionPage(STAMP_A, 0));
    ASSERT_EQ(attach(), ZK_ATTACH_OK);
    testutil::TempDir dir;
    ASSERT_EQ(ZK_Link_dumpInfo(dir.file("d.txt").c_str(), link), 1);
    auto bytes = testutil::readFile(dir.file("d.txt"));
    std::string expected = "502:0\n"
                           "boot:1010\n"
                           "flash size:8388608\n"
                           "main setting version:0\n"
                           "broad name:TQMC\n"
                           "program version:77\n"
                           "client:\n"
                           "gps version:20231114;size:0\n"
                           "voice version:;size:0\n"
                           "radar mute version:;size:0\n"
                           "update version:\xB4\xED;size:0\n"  // 错
                           "server version:\xB4\xED;size:0\n"; // 错
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected);
}

TEST_F(Link, ProgressByMode) {
    create();
    ASSERT_EQ(attach(), ZK_ATTACH_OK);
    std::vector<uint8_t> buf(0x10000);

    progress.clear();
    ASSERT_EQ(ZK_Flash_read(link->channel, 0, buf.data(), 0x10000, 0), 1);
    EXPECT_TRUE(progress.empty()) << "mode 0 after an information read";

    link->progress.mode = ZK_PROGRESS_PER_TRANSFER;
    ASSERT_EQ(ZK_Flash_read(link->channel, 0, buf.data(), 0x10000, 0), 1);
    ASSERT_GE(progress.size(), 3u);
    EXPECT_EQ(progress.front().kind, ZK_PROGRESS_STARTED);
    EXPECT_EQ(progress.front().value, 10000u);
    uint32_t last = 0;
    for (size_t i = 1; i + 1 < progress.size(); ++i) {
        EXPECT_EQ(progress[i].kind, ZK_PROGRESS_VALUE);
        EXPECT_GT(progress[i].value, last);
        last = progress[i].value;
    }
    // Reported once past each 4096 bytes: 64 KiB gives 15 steps, then the finish.
    EXPECT_EQ(progress.size(), 1u + 15u + 1u);
    EXPECT_EQ(progress.back().value, 10000u);

    progress.clear();
    link->progress.mode = ZK_PROGRESS_MULTI;
    ZK_Progress_start(link, 0x20000);
    ASSERT_EQ(ZK_Flash_read(link->channel, 0, buf.data(), 0x10000, 0), 1);
    EXPECT_EQ(link->progress.done, 0x10000u);
    // The caller's total and no finish: the last report came at the last
    // 4160-byte step (62400 bytes) of the 128 KiB.
    EXPECT_EQ(progress.back().value, 62400u * 10000u / 0x20000u);

    ZK_Progress_message(link, std::string(300, 'm').c_str());
    EXPECT_EQ(std::string(link->stepText), std::string(255, 'm'));
    EXPECT_EQ(progress.back().kind, ZK_PROGRESS_TEXT);

    ZK_Progress_start(link, 0);
    size_t before = progress.size();
    ZK_Progress_advance(link, 10000);
    EXPECT_EQ(progress.size(), before) << "a zero total reports nothing";
}

class ServerData : public Link {
  protected:
    void SetUp() override {
        create();
        f.serverAddr = 0x21000;
        f.serverSize = 600; // two pages and a short piece
        write(sim, 0x1E000, slot(mainRecord(f)));
        image.resize(1024);
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = (uint8_t)(i * 31 + 1);
        write(sim, 0x21000, image);
        ASSERT_EQ(attach(), ZK_ATTACH_OK);
        ZK_Sim_clearTraffic(sim);
        progress.clear();
    }
    MainFields f;
    std::vector<uint8_t> image;
    testutil::TempDir dir;
};

TEST_F(ServerData, CopiesRegionInPieces) {
    ASSERT_EQ(ZK_ServerData_read(link, dir.file("s.bin").c_str()), ZK_SERVERDATA_OK);
    auto file = testutil::readFile(dir.file("s.bin"));
    EXPECT_EQ(file, std::vector<uint8_t>(image.begin(), image.begin() + 600));
    EXPECT_EQ(readAddresses(), (std::vector<uint32_t>{0x21000, 0x21100, 0x21200}));
    for (const auto& t : ZK_Sim_traffic(sim))
        EXPECT_EQ(t.paramB, 1u);
    EXPECT_EQ(std::string(link->stepText), "Load ");
    EXPECT_EQ(link->progress.mode, ZK_PROGRESS_MULTI);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front().kind, ZK_PROGRESS_STARTED);
    EXPECT_EQ(progress.back().kind, ZK_PROGRESS_VALUE);
    EXPECT_EQ(progress.back().value, 10000u);
    for (const auto& p : progress)
        EXPECT_LE(p.value, 10000u);
}

TEST_F(ServerData, Failures) {
    SimFault fault;
    fault.kind = SIM_FAULT_STATUS;
    fault.skipCommands = 1;
    ZK_Sim_injectFault(sim, fault);
    EXPECT_EQ(ZK_ServerData_read(link, dir.file("a.bin").c_str()), ZK_SERVERDATA_READ_FAIL);
    EXPECT_EQ(std::string(link->stepText), "read fail！");
    EXPECT_TRUE(testutil::readFile(dir.file("a.bin")).empty());
    EXPECT_EQ(progress.back().kind, ZK_PROGRESS_TEXT);

    EXPECT_EQ(ZK_ServerData_read(link, dir.file("no/such/dir.bin").c_str()),
              ZK_SERVERDATA_OPEN_FAIL);
    EXPECT_EQ(std::string(link->stepText), "open file fail！");

    link->info.mainSetting.serverSize = 0;
    EXPECT_EQ(ZK_ServerData_read(link, dir.file("b.bin").c_str()), ZK_SERVERDATA_NO_MEMORY);
    EXPECT_EQ(std::string(link->stepText), "out memory！");

    link->info.mainSetting.serverAddr = 0x7FF000;
    link->info.mainSetting.serverSize = 0x2000;
    ZK_Sim_clearTraffic(sim);
    EXPECT_EQ(ZK_ServerData_read(link, dir.file("c.bin").c_str()), ZK_SERVERDATA_READ_FAIL);
    EXPECT_TRUE(ZK_Sim_traffic(sim).empty()) << "a region past the flash is not asked for";

    ZK_Link_detach(link);
    EXPECT_EQ(ZK_ServerData_read(link, dir.file("d.bin").c_str()), ZK_SERVERDATA_NO_DEVICE);
}

} // namespace
