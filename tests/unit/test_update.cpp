// The update workflow with a recording host against the simulator: what the
// host is told, and when the device is (not) written.
#include "app/core/update.h"
#include "device/cmd.h"
#include "package/builder.h"
#include "sim.h"
#include "support/log.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    ZK_Builder_fillPattern(v.data(), n, seed);
    return v;
}

class RecordingHost : public UpdateHost {
  public:
    std::string file;
    DeviceLink* deviceLink = nullptr;
    bool isClosing = false;
    int selectAnswer = 1; // cancel unless a test says otherwise
    std::vector<int> pick;
    std::vector<std::string> texts, results;
    std::vector<bool> buttons;
    uint32_t range = 0, position = 0, capacityAsked = 0;
    int selections = 0;

    std::string localFile() override { return file; }
    DeviceLink* link() override { return deviceLink; }
    bool closing() override { return isClosing; }
    void setButtonsEnabled(bool enabled) override { buttons.push_back(enabled); }
    void setProgressText(const char* text) override { texts.push_back(text); }
    void setProgressRange(uint32_t maximum) override { range = maximum; }
    void setProgressPosition(uint32_t p) override { position = p; }
    int selectProvinces(UpdatePackage*, uint32_t capacity, int32_t* flags, int* chosen) override {
        ++selections;
        capacityAsked = capacity;
        if (selectAnswer != 0)
            return selectAnswer;
        for (int i : pick)
            flags[i] = 1;
        *chosen = 1;
        return 0;
    }
    void showResult(bool success, const std::string& text) override {
        results.push_back((success ? "ok:" : "failed:") + text);
    }
};

class UpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ZK_Log_setSink(nullptr, nullptr);
        SimConfig config;
        config.name = "update-test";
        sim = ZK_Sim_create(config);
        ZK_Sim_plug(sim);
        host.deviceLink = ZK_Link_create(nullptr, nullptr, ZK_Update_onWriteProgress, &host);
        int hid = 0;
        ASSERT_EQ(ZK_Link_attach(host.deviceLink, ZK_Sim_path(sim).c_str(), &hid), ZK_ATTACH_OK);
        ZK_Sim_clearTraffic(sim);
    }
    void TearDown() override {
        ZK_Link_release(host.deviceLink);
        ZK_Sim_destroy(sim);
        ZK_Log_setSink(ZK_Log_consoleSink, nullptr);
    }
    // A GHW7 package; `oled` makes the entry ask for an OLED region it lacks.
    std::string package(const char* title, bool hasOledWithout = false, bool big = false) {
        PackageBuilder b;
        ZK_Builder_init(&b, ZK_TRAILER_520);
        ZK_Builder_setTitle(&b, title);
        b.regions[ZK_SLOT_BOOT] = {boot.data(), (uint32_t)boot.size(), 1, 0, 0};
        b.regions[ZK_SLOT_VOICE] = {voice.data(), (uint32_t)voice.size(), 0, 0, 0};
        std::vector<uint8_t>& gps = big ? bigGps : smallGps;
        b.regions[ZK_SLOT_GPS] = {gps.data(), (uint32_t)gps.size(), 1, 0, 0};
        BuildProgram program{};
        std::memcpy(program.entry.board, "GHW7", 4);
        program.entry.layout502 = 1;
        program.entry.hasOled = hasOledWithout ? 1 : 0;
        program.image = image.data();
        program.imageSize = (uint32_t)image.size();
        program.scramble = 1;
        b.programs = {1, 1, &program};
        std::string path = dir.file(std::to_string(count++) + ".dzk");
        EXPECT_EQ(ZK_Builder_write(&b, path.c_str(), nullptr), 1);
        return path;
    }
    size_t writes() const {
        size_t n = 0;
        for (const auto& t : ZK_Sim_traffic(sim))
            n += t.code == ZK_CMD_WRITE || t.code == ZK_CMD_ERASE;
        return n;
    }

    testutil::TempDir dir;
    SimDevice* sim = nullptr;
    RecordingHost host;
    int count = 0;
    std::vector<uint8_t> boot = pattern(0x800, 1), voice = pattern(0x2000, 2),
                         smallGps = pattern(0x3000, 3), bigGps = pattern(0x7F0000, 4),
                         image = pattern(0x1000, 5);
};

TEST_F(UpdateTest, SuccessReportsProgressAndEnablesTheButtonsAgain) {
    host.file = package("TAVO ok");
    UpdateOutcome o = ZK_Update_run(host);
    EXPECT_TRUE(o.success);
    EXPECT_EQ(host.results, (std::vector<std::string>{"ok:Update Successfully!"}));
    EXPECT_EQ(host.buttons, (std::vector<bool>{false, true}));
    EXPECT_EQ(host.texts.front(), "updating");
    EXPECT_EQ(host.range, 10000u);
    EXPECT_EQ(host.position, 10000u);
    EXPECT_EQ(host.texts.back(), "Updated 100.00%   Time 0 Second");
}

TEST_F(UpdateTest, FailuresAndTheirSuffixes) {
    struct Case {
        std::string path;
        const char* text;
        bool wrote;
    } cases[] = {
        {package("XAVO other client"), "Open update file failed!", false},
        {dir.file("missing.dzk"), "Open update file failed!", false},
        {package("TAVO no oled", true), "Error!No OLED data found!  4", false},
        {package("TAVO too large", false, true), "Error!The gps data is too large!  1", false},
    };
    for (const auto& c : cases) {
        host.results.clear();
        host.file = c.path;
        ZK_Sim_clearTraffic(sim);
        UpdateOutcome o = ZK_Update_run(host);
        EXPECT_FALSE(o.success);
        EXPECT_EQ(o.text, c.text);
        EXPECT_EQ(host.results, (std::vector<std::string>{std::string("failed:") + c.text}));
        EXPECT_EQ(writes() > 0, c.wrote) << c.text;
    }
    // The package with too much GPS data has no provincial data: no selection asked.
    EXPECT_EQ(host.selections, 0);
}

TEST_F(UpdateTest, NoLocalFileAndNoServer) {
    host.file.clear();
    UpdateOutcome o = ZK_Update_run(host);
    EXPECT_EQ(o.text, "Open update file failed!");
}

TEST_F(UpdateTest, ClosingSuppressesTheFailureBox) {
    host.file = package("XAVO other client");
    host.isClosing = true;
    UpdateOutcome o = ZK_Update_run(host);
    EXPECT_FALSE(o.success);
    EXPECT_TRUE(host.results.empty());
    EXPECT_EQ(host.buttons, (std::vector<bool>{false})); // not enabled again while closing
}

TEST_F(UpdateTest, WriteFaultCarriesTheRegionCode) {
    host.file = package("TAVO fault");
    SimFault f;
    f.kind = SIM_FAULT_STATUS;
    f.onCode = ZK_CMD_WRITE;
    f.skipCommands = 1; // the main setting goes first, then the GPS data
    ZK_Sim_injectFault(sim, f);
    UpdateOutcome o = ZK_Update_run(host);
    EXPECT_EQ(o.text, "Update Failed!  -7");
    EXPECT_EQ(o.resultCode, -7);
}

TEST_F(UpdateTest, ClientBlockIsRewrittenOnlyWhenNeeded) {
    // The device's client block names a listed client: left alone.
    host.file = package("TAVO keep client");
    ASSERT_TRUE(ZK_Update_run(host).success);
    EXPECT_EQ(ZK_Sim_readFlash(sim, 0x1F000, 4), std::vector<uint8_t>({'T', 'A', 'V', 'O'}));
    auto before = ZK_Sim_readFlash(sim, 0x1F000, 256);
    // An unknown client block is replaced by the package title.
    std::vector<uint8_t> unknown(256, 0xFF);
    ZK_Sim_writeFlash(sim, 0x1F000, unknown.data(), 256);
    ASSERT_EQ(ZK_Link_readInfo(host.deviceLink), 1);
    host.file = package("TAVO new client");
    ASSERT_TRUE(ZK_Update_run(host).success);
    auto after = ZK_Sim_readFlash(sim, 0x1F000, 15);
    EXPECT_EQ(std::string(after.begin(), after.end()), "TAVO new client");
}

TEST(UpdateHelpers, ExtensionAndProgressText) {
    EXPECT_EQ(ZK_Update_extension("/tmp/a.b/pkg.dzk"), "dzk");
    EXPECT_EQ(ZK_Update_extension("noext"), "noext");
    EXPECT_EQ(ZK_Update_extension("archive.zip"), "zip");
    DeviceLink* link = ZK_Link_create(nullptr, nullptr, nullptr, nullptr);
    std::strcpy(link->stepText, "GPS ");
    char text[128];
    ZK_Update_progressText(link, 1234, 1000, 4999, text, sizeof text);
    EXPECT_STREQ(text, "GPS Updated 12.34%   Time 3 Second");
    ZK_Link_release(link);
}

} // namespace
