// The application core both front-ends share: province rules, the device
// status and its ownership of the link during work, failure causes.
#include "app/core/provinces.h"
#include "app/core/status.h"
#include "app/core/update.h"
#include "device/cmd.h"
#include "package/builder.h"
#include "package/package.h"
#include "sim.h"
#include "support/log.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    ZK_Builder_fillPattern(v.data(), n, seed);
    return v;
}

// A package with the named provinces, `records[i]` 16-byte records each.
struct ProvincePackage {
    testutil::TempDir dir;
    UpdatePackage* package = nullptr;
    ProvincePackage(const std::vector<std::pair<int, uint32_t>>& provinces) {
        PackageBuilder b;
        ZK_Builder_init(&b, ZK_TRAILER_520);
        ZK_Builder_setTitle(&b, "TAVO provinces");
        static std::vector<uint8_t> boot = pattern(0x1000, 1);
        b.regions[ZK_SLOT_BOOT] = {boot.data(), (uint32_t)boot.size(), 1, 0, 0};
        std::vector<BuildProvince> entries(provinces.size());
        std::vector<std::vector<uint8_t>> blocks;
        for (size_t k = 0; k < provinces.size(); ++k) {
            blocks.push_back(pattern(16 * (size_t)provinces[k].second, 50 + (uint32_t)k));
            std::memcpy(entries[k].name, ProvinceTable[provinces[k].first], 20);
            entries[k].recordCount = provinces[k].second;
            entries[k].records = blocks.back().data();
        }
        b.province = {1, 1700000000, 0x5A5A0001, 16, (uint32_t)entries.size(), entries.data()};
        std::string path = dir.file("p.dzk");
        EXPECT_EQ(ZK_Builder_write(&b, path.c_str(), nullptr), 1);
        package = ZK_Package_open(path.c_str());
    }
    ~ProvincePackage() { ZK_Package_close(package); }
};

TEST(Provinces, NamesAndIndexes) {
    struct Case {
        const char* item;
        int index;
    } cases[] = {{"台湾", 33},      {"澳门", 32},     {"Taiwan", 33}, {"inner mongolia", 7},
                 {"Hong-Kong", 31}, {"0", 0},         {"33", 33},     {"34", -1},
                 {"007", -1},       {"Atlantis", -1}, {"", -1}};
    for (const Case& c : cases)
        EXPECT_EQ(ZK_Provinces_find(c.item), c.index) << c.item;
    std::vector<int> list;
    std::string bad;
    ASSERT_TRUE(ZK_Provinces_parseList(" 0, Guangdong ,广东,33,", &list, &bad));
    EXPECT_EQ(list, (std::vector<int>{0, 27, 33}));
    EXPECT_FALSE(ZK_Provinces_parseList("0,Atlantis", &list, &bad));
    EXPECT_EQ(bad, "Atlantis");
    EXPECT_EQ(ZK_Provinces_name(33), "台湾");
}

// The dialog's rules: equal to the capacity fits, above refuses only the box
// just ticked, nothing ticked cannot be confirmed.
TEST(Provinces, SelectionFollowsTheDialogsRules) {
    // 320 records of 16 bytes: 5K each; Taiwan 10K.
    ProvincePackage p({{0, 320}, {1, 320}, {33, 640}});
    ASSERT_NE(p.package, nullptr);
    EXPECT_EQ(ZK_Provinces_kilobytes(p.package, 33), 10u);
    EXPECT_EQ(ZK_Provinces_bytes(p.package, 32), 0u) << "a province the package lacks";

    ProvinceSelection s(p.package, 10240);
    int32_t flags[ZK_PROVINCE_COUNT] = {};
    EXPECT_EQ(s.confirm(flags), ZK_PROVINCES_NONE);
    EXPECT_EQ(s.set(0, true), ZK_PROVINCES_OK);
    EXPECT_EQ(s.set(1, true), ZK_PROVINCES_OK);
    EXPECT_EQ(s.totalBytes(), 10240u) << "equal to the capacity is accepted";
    EXPECT_EQ(s.statusText(), "分省数据包，最多可储存（10K)数据，超过无法升级，请在地图上勾选。"
                              "已勾选(10K)。");
    EXPECT_EQ(s.set(33, true), ZK_PROVINCES_TOO_LARGE);
    EXPECT_TRUE(s.ticked(0));
    EXPECT_TRUE(s.ticked(1));
    EXPECT_FALSE(s.ticked(33)) << "only the last box is unticked";
    ASSERT_EQ(s.confirm(flags), ZK_PROVINCES_OK);
    EXPECT_EQ(flags[0] + flags[1] + flags[33], 2);
    s.clear();
    EXPECT_EQ(s.confirm(flags), ZK_PROVINCES_NONE);
    EXPECT_EQ(s.setList({33, 0}), ZK_PROVINCES_TOO_LARGE);
    EXPECT_TRUE(s.ticked(33));
    EXPECT_FALSE(s.ticked(0));
}

// Records the titles; the delayed search is run by the test itself.
class RecordingStatusHost : public StatusHost {
  public:
    std::vector<std::string> titles;
    int delayedSearches = 0;
    void statusChanged(const StatusView& view) override { titles.push_back(view.title); }
    bool scheduleDelayedSearch(uint32_t) override {
        ++delayedSearches;
        return true;
    }
};

// A GHW7 package with boot, voice, a GPS region of `gpsSize` and a program;
// its path, or empty when it could not be written.
std::string ghw7Package(const std::string& path, size_t gpsSize) {
    PackageBuilder b;
    ZK_Builder_init(&b, ZK_TRAILER_520);
    ZK_Builder_setTitle(&b, "TAVO test");
    auto boot = pattern(0x800, 1), voice = pattern(0x2000, 2), gps = pattern(gpsSize, 3),
         image = pattern(0x1000, 4);
    b.regions[ZK_SLOT_BOOT] = {boot.data(), (uint32_t)boot.size(), 1, 0, 0};
    b.regions[ZK_SLOT_VOICE] = {voice.data(), (uint32_t)voice.size(), 0, 0, 0};
    b.regions[ZK_SLOT_GPS] = {gps.data(), (uint32_t)gps.size(), 1, 0, 0};
    BuildProgram program{};
    std::memcpy(program.entry.board, "GHW7", 4);
    program.entry.layout502 = 1;
    program.image = image.data();
    program.imageSize = (uint32_t)image.size();
    program.scramble = 1;
    b.programs = {1, 1, &program};
    return ZK_Builder_write(&b, path.c_str(), nullptr) == 1 ? path : std::string();
}

ZK_DeviceNotification hidNotification(const std::string& path, bool arrived) {
    ZK_DeviceNotification n{};
    n.event = arrived ? ZK_DETECT_ARRIVAL : ZK_DETECT_REMOVE_COMPLETE;
    std::strcpy(n.subsystem, "hidraw");
    std::snprintf(n.path, sizeof n.path, "%s", path.c_str());
    return n;
}

class StatusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ZK_Log_setSink(nullptr, nullptr);
        link = ZK_Link_create(nullptr, nullptr, ZK_Update_onWriteProgress, &updateHost);
        // An empty test root: no disk form anywhere.
        status = std::make_unique<DeviceStatus>(link, host, root.path().c_str());
    }
    void TearDown() override {
        status.reset();
        ZK_Link_release(link);
        for (SimDevice* d : sims)
            (void)ZK_Sim_destroy(d);
        ZK_Log_setSink(ZK_Log_consoleSink, nullptr);
    }
    SimDevice* plug(const char* name) {
        SimConfig c;
        c.name = name;
        SimDevice* d = ZK_Sim_create(c);
        EXPECT_NE(d, nullptr);
        ZK_Sim_plug(d);
        sims.push_back(d);
        return d;
    }

    // Blocks the update at its first progress report until released.
    class GatedHost : public UpdateHost {
      public:
        std::string file;
        DeviceLink* deviceLink = nullptr;
        std::mutex m;
        std::condition_variable cv;
        bool reached = false, released = false;
        std::string localFile() override { return file; }
        DeviceLink* link() override { return deviceLink; }
        void setButtonsEnabled(bool) override {}
        void setProgressText(const char*) override {}
        void setProgressRange(uint32_t) override {}
        void setProgressPosition(uint32_t) override {}
        void progressEvent(const ProgressEvent& e) override {
            if (e.kind != ZK_PROGRESS_VALUE)
                return;
            std::unique_lock<std::mutex> lock(m);
            reached = true;
            cv.notify_all();
            cv.wait(lock, [this] { return released; });
        }
        int selectProvinces(UpdatePackage*, uint32_t, int32_t*, int*) override { return 1; }
        void showResult(bool, const std::string&) override {}
    };

    testutil::TempDir root;
    RecordingStatusHost host;
    GatedHost updateHost;
    DeviceLink* link = nullptr;
    std::unique_ptr<DeviceStatus> status;
    std::vector<SimDevice*> sims;
};

TEST_F(StatusTest, TitlesFollowArrivalAndRemoval) {
    status->start();
    ASSERT_EQ(host.titles.back(), "Update Tool   No hardware connected!");
    EXPECT_FALSE(status->view().settingsEnabled);
    SimDevice* d = plug("status-a");
    status->notification(hidNotification(ZK_Sim_path(d), true));
    const std::string connected = "Update Tool   GPS Connected   V:";
    EXPECT_EQ(host.titles.back().rfind(connected, 0), 0u) << host.titles.back();
    EXPECT_EQ(host.titles.back().size(), connected.size() + 8) << "the GPS date";
    EXPECT_TRUE(status->view().settingsEnabled);
    EXPECT_FALSE(status->view().updateEnabled) << "no package chosen";
    status->setHavePackage(true);
    EXPECT_TRUE(status->view().updateEnabled);
    ZK_Sim_unplug(d);
    status->notification(hidNotification(ZK_Sim_path(d), false));
    EXPECT_EQ(host.titles.back(), "Update Tool   No hardware connected!");
    EXPECT_FALSE(ZK_Link_isAttached(link));
}

// While an update owns the link, an arrival changes nothing; when the work
// ends it is handled.
TEST_F(StatusTest, ArrivalDuringAnUpdateWaitsForItsEnd) {
    SimDevice* a = plug("status-a");
    status->start();
    ASSERT_TRUE(ZK_Link_isAttached(link));
    std::string title = host.titles.back();

    updateHost.file = ghw7Package(root.file("gated.dzk"), 0x3000);
    ASSERT_FALSE(updateHost.file.empty());
    updateHost.deviceLink = link;

    ASSERT_TRUE(status->beginWork());
    EXPECT_FALSE(status->beginWork()) << "one piece of work at a time";
    UpdateOutcome outcome{};
    std::thread worker([&] { outcome = ZK_Update_run(updateHost); });
    {
        std::unique_lock<std::mutex> lock(updateHost.m);
        updateHost.cv.wait(lock, [&] { return updateHost.reached; });
    }
    SimDevice* b2 = plug("status-b");
    size_t titles = host.titles.size();
    status->notification(hidNotification(ZK_Sim_path(b2), true));
    status->delayedSearch();
    EXPECT_EQ(host.titles.size(), titles) << "nothing shown while the worker owns the link";
    EXPECT_TRUE(ZK_Sim_traffic(b2).empty()) << "the new device was not touched";
    EXPECT_EQ(ZK_Link_attach(link, ZK_Sim_path(b2).c_str(), nullptr), ZK_ATTACH_BUSY);
    {
        std::lock_guard<std::mutex> lock(updateHost.m);
        updateHost.released = true;
    }
    updateHost.cv.notify_all();
    worker.join();
    EXPECT_TRUE(outcome.success) << outcome.text;

    ZK_Sim_clearTraffic(a);
    status->endWork();
    EXPECT_GT(host.titles.size(), titles) << "the deferred arrival was handled";
    EXPECT_EQ(host.titles.back().rfind("Update Tool   GPS Connected", 0), 0u);
    EXPECT_FALSE(ZK_Sim_traffic(a).empty() && ZK_Sim_traffic(b2).empty())
        << "a search ran after the work";
    EXPECT_NE(host.titles.back(), title) << "the new GPS date is shown";
}

// The outcome names the cause the transport knows, and where it happened.
TEST_F(StatusTest, FailureCausesNameTheDeviceAndTheRegion) {
    struct Case {
        SimFault fault;
        const char* cause;
    } cases[] = {
        {{SIM_FAULT_STATUS, ZK_CMD_WRITE, 1}, "refused the command (status 0xEE) during the gps"},
        {{SIM_FAULT_BAD_CHECKSUM, ZK_CMD_WRITE, 1}, "damaged or cut short during the gps write"},
        {{SIM_FAULT_DISCONNECT, 0, 0, 1500, 20, 40}, "unplugged during the gps write"},
    };
    for (const Case& c : cases) {
        SimConfig config;
        config.name = "cause";
        SimDevice* d = ZK_Sim_create(config);
        ZK_Sim_plug(d);
        DeviceLink* l = ZK_Link_create(nullptr, nullptr, nullptr, nullptr);
        ASSERT_EQ(ZK_Link_attach(l, ZK_Sim_path(d).c_str(), nullptr), ZK_ATTACH_OK);
        ZK_Sim_injectFault(d, c.fault);
        updateHost.file = ghw7Package(root.file("cause.dzk"), 0x8000);
        ASSERT_FALSE(updateHost.file.empty());
        updateHost.deviceLink = l;
        updateHost.released = true;
        UpdateOutcome o = ZK_Update_run(updateHost);
        EXPECT_FALSE(o.success);
        EXPECT_EQ(o.text, "Update Failed!  -7");
        EXPECT_NE(o.cause.find(c.cause), std::string::npos) << o.cause;
        ZK_Link_release(l);
        (void)ZK_Sim_destroy(d);
    }
}

} // namespace
