// Every reply fault at every command of an update (the information read at
// attach included): a run that does not leave the flash as a clean run does
// must fail, and no byte may end up as anything but its value before the run,
// its value after a clean run, or erased inside a sector the clean run erased
// (a failed write may leave the region it was writing half done, nothing else).
#include "app/core/update.h"
#include "device/cmd.h"
#include "package/builder.h"
#include "sim.h"
#include "support/log.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

class QuietHost : public UpdateHost {
  public:
    std::string file;
    DeviceLink* deviceLink = nullptr;
    std::vector<std::string> results;
    std::string localFile() override { return file; }
    DeviceLink* link() override { return deviceLink; }
    void setButtonsEnabled(bool) override {}
    void setProgressText(const char*) override {}
    void setProgressRange(uint32_t) override {}
    void setProgressPosition(uint32_t) override {}
    int selectProvinces(UpdatePackage*, uint32_t, int32_t*, int*) override { return 1; }
    void showResult(bool success, const std::string& text) override {
        results.push_back((success ? "ok:" : "failed:") + text);
    }
};

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    ZK_Builder_fillPattern(v.data(), n, seed);
    return v;
}

struct RunResult {
    bool success = false;
    std::string text;
    std::vector<uint8_t> flash;
    std::vector<SimTraffic> traffic;
};

// One attach + update on a fresh simulated device of `profile`.
RunResult runUpdate(const std::string& profile, const std::string& package,
                    const std::vector<SimFault>& faults) {
    SimConfig config;
    config.name = "fault-matrix";
    config.profile = profile.c_str();
    SimDevice* sim = ZK_Sim_create(config);
    EXPECT_NE(sim, nullptr);
    for (const SimFault& f : faults)
        ZK_Sim_injectFault(sim, f);
    ZK_Sim_setRawCaptureLimit(sim, 0);
    ZK_Sim_plug(sim);
    QuietHost host;
    host.file = package;
    host.deviceLink = ZK_Link_create(nullptr, nullptr, ZK_Update_onWriteProgress, &host);
    int hid = 0;
    RunResult r;
    if (ZK_Link_attach(host.deviceLink, ZK_Sim_path(sim).c_str(), &hid) == ZK_ATTACH_OK) {
        UpdateOutcome o = ZK_Update_run(host);
        r.success = o.success;
        r.text = o.text;
    } else {
        r.text = "attach failed";
    }
    r.flash = ZK_Sim_readFlash(sim, 0, ZK_Sim_flashSize(sim));
    r.traffic = ZK_Sim_traffic(sim);
    ZK_Link_release(host.deviceLink);
    (void)ZK_Sim_destroy(sim);
    return r;
}

class FaultMatrix : public ::testing::TestWithParam<std::tuple<const char*, SimFaultKind>> {
  protected:
    void SetUp() override { ZK_Log_setSink(nullptr, nullptr); }
    void TearDown() override { ZK_Log_setSink(ZK_Log_consoleSink, nullptr); }

    // A GHW7 package with every kind of write: server and track regions to
    // erase, voice, radar mute, GPS, program and boot.
    std::string package() {
        PackageBuilder b;
        ZK_Builder_init(&b, ZK_TRAILER_520);
        ZK_Builder_setTitle(&b, "TAVO fault matrix");
        b.regions[ZK_SLOT_BOOT] = {boot.data(), (uint32_t)boot.size(), 1, 0, 0};
        b.regions[ZK_SLOT_VOICE] = {voice.data(), (uint32_t)voice.size(), 0, 0, 0};
        b.regions[ZK_SLOT_RADAR_MUTE] = {radar.data(), (uint32_t)radar.size(), 0, 0, 0};
        b.regions[ZK_SLOT_GPS] = {gps.data(), (uint32_t)gps.size(), 1, 0, 0};
        BuildProgram program{};
        std::memcpy(program.entry.board, "GHW7", 4);
        program.entry.layout502 = 1;
        program.entry.serverSize = 0x2000;
        program.entry.trackSize = 0x1000;
        program.image = image.data();
        program.imageSize = (uint32_t)image.size();
        program.scramble = 1;
        b.programs = {1, 1, &program};
        std::string path = dir.file("matrix.dzk");
        EXPECT_EQ(ZK_Builder_write(&b, path.c_str(), nullptr), 1);
        return path;
    }

    testutil::TempDir dir;
    std::vector<uint8_t> boot = pattern(0x800, 1), voice = pattern(0x2000, 2),
                         radar = pattern(0x1000, 3), gps = pattern(0x3000, 4),
                         image = pattern(0x1000, 5);
};

TEST_P(FaultMatrix, NoFalseSuccessAndNoStrayBytes) {
    const std::string profile = std::get<0>(GetParam());
    const SimFaultKind kind = std::get<1>(GetParam());
    std::string path = package();

    RunResult before = runUpdate(profile, dir.file("none.dzk"), {}); // attach only, then refused
    RunResult clean = runUpdate(profile, path, {});
    ASSERT_TRUE(clean.success) << clean.text;
    ASSERT_NE(clean.flash, before.flash);
    std::vector<bool> erased(clean.flash.size() / ZK_FLASH_SECTOR, false);
    for (const SimTraffic& t : clean.traffic)
        if (t.code == ZK_CMD_ERASE)
            for (uint32_t s = 0; s < t.paramB; ++s)
                erased[t.paramA + s] = true;

    std::map<uint8_t, int> seen;
    for (const SimTraffic& t : clean.traffic) {
        SimFault fault;
        fault.kind = kind;
        fault.onCode = t.code;
        fault.skipCommands = seen[t.code]++;
        RunResult r = runUpdate(profile, path, {fault});
        std::string cell = profile + " fault " + std::to_string(kind) + " on command 0x" +
                           std::to_string(t.code) + " #" + std::to_string(fault.skipCommands) +
                           ": " + r.text;
        if (r.success) {
            EXPECT_TRUE(r.flash == clean.flash) << cell << " reported success";
            continue;
        }
        size_t stray = 0, first = 0;
        for (size_t i = 0; i < r.flash.size(); ++i) {
            uint8_t b = r.flash[i];
            if (b == before.flash[i] || b == clean.flash[i] ||
                (b == 0xFF && erased[i / ZK_FLASH_SECTOR]))
                continue;
            if (stray++ == 0)
                first = i;
        }
        EXPECT_EQ(stray, 0u) << cell << ": first stray byte at 0x" << std::hex << first;
    }
}

std::string cellName(const ::testing::TestParamInfo<FaultMatrix::ParamType>& info) {
    static const char* const kinds[] = {"none",        "NoReply", "BadSignature", "BadHeader",
                                        "BadChecksum", "Status",  "Short"};
    std::string profile = std::get<0>(info.param);
    profile.erase(std::remove(profile.begin(), profile.end(), '-'), profile.end());
    return profile + "_" + kinds[std::get<1>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FaultMatrix,
    ::testing::Combine(::testing::Values("new-502", "new-legacy"),
                       ::testing::Values(SIM_FAULT_NO_REPLY, SIM_FAULT_BAD_SIGNATURE,
                                         SIM_FAULT_BAD_HEADER, SIM_FAULT_BAD_CHECKSUM,
                                         SIM_FAULT_STATUS, SIM_FAULT_SHORT_REPORT)),
    cellName);

// The three destructive cases in the open: a lost reply during the
// information read must stop the update before anything is written, with
// "Update Failed!" and the failing command's code.
TEST_F(FaultMatrix, LostInformationRepliesStopTheUpdateBeforeAnyWrite) {
    std::string path = package();
    RunResult base = runUpdate("new-502", dir.file("none.dzk"), {});
    struct Case {
        const char* what;
        SimFault fault;
    } cases[] = {
        // The setting tail at 0x1E200 is the fourth command of the read.
        {"setting tail", {SIM_FAULT_NO_REPLY, ZK_CMD_READ, 1}},
        {"setting tail cut short", {SIM_FAULT_SHORT_REPORT, ZK_CMD_READ, 1}},
        {"get-version", {SIM_FAULT_NO_REPLY, ZK_CMD_GET_VERSION, 0}},
        {"flash size", {SIM_FAULT_BAD_CHECKSUM, ZK_CMD_GET_FLASH_SIZE, 0}},
        {"client block", {SIM_FAULT_BAD_SIGNATURE, ZK_CMD_READ, 4}},
    };
    for (const Case& c : cases) {
        RunResult r = runUpdate("new-502", path, {c.fault});
        EXPECT_FALSE(r.success) << c.what;
        EXPECT_EQ(r.text.rfind("Update Failed!  -", 0), 0u) << c.what << ": " << r.text;
        EXPECT_TRUE(r.flash == base.flash) << c.what << ": the flash changed";
        for (const SimTraffic& t : r.traffic)
            EXPECT_TRUE(t.code != ZK_CMD_WRITE && t.code != ZK_CMD_ERASE) << c.what;
    }
}

// A lost first get-version reply must not switch the status-word check off:
// a refused GPS write later in the run still fails it.
TEST_F(FaultMatrix, LostVersionReplyKeepsTheStatusRule) {
    std::string path = package();
    RunResult r = runUpdate(
        "new-502", path,
        {{SIM_FAULT_NO_REPLY, ZK_CMD_GET_VERSION, 0}, {SIM_FAULT_STATUS, ZK_CMD_WRITE, 1}});
    EXPECT_FALSE(r.success) << r.text;
}

} // namespace
