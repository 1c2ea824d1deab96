// Discovery: vendor text, path identity, classes, the HID walk, the
// simulator's notifications driving attach and detach, and the disk-form
// probe on a fake sysfs tree and mount table.
#include "device/detect.h"

#include "app/core/client.h"
#include "platform/storage.h"
#include "sim.h"
#include "support/mem.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

TEST(DetectVendor, NormalisesAndMatchesLikeTheDevice) {
    struct Case {
        const char* text;
        const char* normalised;
        int match;
    } cases[] = {
        {"6b6f727674616720", "korvtag", 1}, // hexadecimal "korvtag" + blank, 16 digits
        {"6b6f7276746167 ", "korvtag", 1},  // the blank counts as '0'; the odd digit is dropped
        {"4B4F5256544147", "KORVTAG", 1},   // hexadecimal in capitals, upper-case text
        {"  korvtag  ", "korvtag", 1},      // blanks around it
        {"KorvTag ", "KorvTag", 1},         // upper case, SCSI padding
        {"korvtag", "korvtag", 1},
        {"korv\x01tag", "", 0},                      // unprintable inside: empty
        {"korvtag\x7f", "", 0},                      // unprintable as the last character too
        {"6b6f7276746167ff", "6b6f7276746167ff", 0}, // 0xFF is no printable byte: plain form
        {"00006b6f", "", 0},                         // a 0 byte first ends the text
        {"korvtagx", "korvtagx", 0},
        {"6b6f72", "kor", 0},
        {"", "", 0},
    };
    for (const Case& c : cases) {
        char out[64];
        ZK_Detect_normalizeVendor(c.text, out, sizeof out);
        EXPECT_STREQ(out, c.normalised) << "text '" << c.text << "'";
        EXPECT_EQ(ZK_Detect_isDiskFormVendor(c.text), c.match) << "text '" << c.text << "'";
    }
    char small[4];
    ZK_Detect_normalizeVendor("korvtag", small, sizeof small);
    EXPECT_STREQ(small, "kor"); // cut to capacity - 1, terminated
}

TEST(DetectPath, IdentityInAnyCase) {
    EXPECT_EQ(ZK_Detect_matchHidPath("/dev/hidraw3#VID_0416&PID_B500"), 1);
    EXPECT_EQ(ZK_Detect_matchHidPath("sim:korvana0#vid_0416&pid_b500"), 1);
    EXPECT_EQ(ZK_Detect_matchHidPath("\\\\?\\hid#Vid_0416&Pid_B500#7&1"), 1);
    EXPECT_EQ(ZK_Detect_matchHidPath("/dev/hidraw3#vid_0416&pid_b501"), 0);
    EXPECT_EQ(ZK_Detect_matchHidPath("/dev/hidraw3"), 0);
    EXPECT_EQ(ZK_Detect_matchHidPath("vid_0416&pid_b50"), 0);
    EXPECT_EQ(ZK_Detect_matchHidPath(""), 0);
    EXPECT_EQ(ZK_Detect_matchHidPath(nullptr), 0);
}

TEST(DetectClass, SubsystemsMapToTheFiveClassesAndTheRestToVolume) {
    struct Case {
        const char* subsystem;
        const char* devtype;
        int cls;
    } cases[] = {
        {"usb", "usb_device", 1},  {"usb", "usb_interface", 1},
        {"block", "partition", 2}, {"block", "disk", 3},
        {"hidraw", "", 4},         {"net", "", 5},
        {"mount", "", 2},          {"input", "", 2},
        {"block", "", 2},          {"", "", 2},
    };
    for (const Case& c : cases) {
        ZK_DeviceNotification n{};
        n.event = ZK_DETECT_ARRIVAL;
        std::strcpy(n.subsystem, c.subsystem);
        std::strcpy(n.devtype, c.devtype);
        EXPECT_EQ(ZK_Detect_classifyInterface(&n), c.cls) << c.subsystem << "/" << c.devtype;
    }
    EXPECT_EQ(ZK_Detect_classifyInterface(nullptr), 2);
}

// Notifications as a window would queue them for its own thread.
struct Inbox {
    std::mutex lock;
    std::vector<ZK_DeviceNotification> items;
    static void receive(void* user, const ZK_DeviceNotification* n) {
        auto* inbox = static_cast<Inbox*>(user);
        std::lock_guard<std::mutex> guard(inbox->lock);
        inbox->items.push_back(*n);
    }
    std::vector<ZK_DeviceNotification> take() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<ZK_DeviceNotification> out;
        out.swap(items);
        return out;
    }
};

class DetectSim : public ::testing::Test {
  protected:
    void SetUp() override {
        liveBefore = ZK_Mem_liveBlocks();
        ZK_Sim_setHotplugCallback(ZK_Detect_simHotplug, nullptr);
        link = ZK_Link_create(IsDeviceClientAccepted, nullptr, nullptr, nullptr);
        ASSERT_NE(link, nullptr);
    }
    void TearDown() override {
        ZK_Detect_unregisterNotifications(registration);
        ZK_Sim_setHotplugCallback(nullptr, nullptr);
        ZK_Link_release(link);
        for (SimDevice* d : sims)
            ZK_Sim_destroy(d);
        EXPECT_EQ(ZK_Mem_liveBlocks(), liveBefore);
    }
    SimDevice* makeSim(const char* name) {
        SimConfig c;
        c.name = name;
        SimDevice* d = ZK_Sim_create(c);
        EXPECT_NE(d, nullptr);
        sims.push_back(d);
        return d;
    }
    // The window's device-change handler, run on the test's thread.
    void handle(const ZK_DeviceNotification& n) {
        if (ZK_Detect_classifyInterface(&n) != ZK_CLASS_HID || !ZK_Detect_matchHidPath(n.path))
            return;
        if (n.event == ZK_DETECT_ARRIVAL)
            ZK_Detect_findHidDevice(link);
        else if (n.event == ZK_DETECT_REMOVE_COMPLETE)
            ZK_Detect_detach(link);
    }
    size_t commandsSeenBy(SimDevice* d) { return ZK_Sim_traffic(d).size(); }

    int32_t liveBefore = 0;
    DeviceLink* link = nullptr;
    ZK_DetectRegistration* registration = nullptr;
    std::vector<SimDevice*> sims;
    Inbox inbox;
};

TEST_F(DetectSim, TwoMatchingInterfacesOnlyTheFirstIsAttached) {
    SimDevice* first = makeSim("first");
    SimDevice* second = makeSim("second");
    ZK_Sim_plug(first);
    ZK_Sim_plug(second);
    EXPECT_EQ(ZK_Detect_findHidDevice(link), ZK_ATTACH_OK);
    EXPECT_TRUE(ZK_Link_isAttached(link));
    EXPECT_GT(commandsSeenBy(first), 0u);
    EXPECT_EQ(commandsSeenBy(second), 0u);
}

TEST_F(DetectSim, NoMatchingInterfaceLeavesTheLinkAsItWas) {
    EXPECT_EQ(ZK_Detect_findHidDevice(link), ZK_ATTACH_NO_DEVICE);
    EXPECT_FALSE(ZK_Link_isAttached(link));
    SimDevice* d = makeSim("present");
    ZK_Sim_plug(d);
    ASSERT_EQ(ZK_Detect_findHidDevice(link), ZK_ATTACH_OK);
    // Only a removal, a new attach or the release takes the port away.
    ZK_Sim_unplug(d);
    EXPECT_EQ(ZK_Detect_findHidDevice(link), ZK_ATTACH_NO_DEVICE);
    EXPECT_TRUE(ZK_Link_isAttached(link));
    EXPECT_EQ(ZK_Detect_attachPath(link, "sim:absent#vid_0416&pid_b500"), ZK_ATTACH_NO_DEVICE);
    EXPECT_FALSE(ZK_Link_isAttached(link)); // an attach always closes the old port first
}

TEST_F(DetectSim, PlugAndUnplugDriveAttachAndDetachAndInfoStays) {
    registration = ZK_Detect_registerNotifications(Inbox::receive, &inbox, 0);
    ASSERT_NE(registration, nullptr);
    SimDevice* d = makeSim("hotplug");

    ZK_Sim_plug(d);
    auto arrived = inbox.take();
    ASSERT_EQ(arrived.size(), 1u);
    EXPECT_EQ(arrived[0].event, (uint32_t)ZK_DETECT_ARRIVAL);
    EXPECT_EQ(ZK_Detect_classifyInterface(&arrived[0]), ZK_CLASS_HID);
    EXPECT_EQ(std::string(arrived[0].path), ZK_Sim_path(d));
    handle(arrived[0]);
    ASSERT_TRUE(ZK_Link_isAttached(link));
    ASSERT_NE(link->info.gpsDate.year, 0u);
    DeviceInfo before = link->info;

    ZK_Sim_unplug(d);
    auto removed = inbox.take();
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].event, (uint32_t)ZK_DETECT_REMOVE_COMPLETE);
    handle(removed[0]);
    EXPECT_FALSE(ZK_Link_isAttached(link));
    EXPECT_EQ(std::memcmp(&before, &link->info, sizeof before), 0); // DeviceInfo keeps its values

    // Plugged again: followed without a restart.
    ZK_Sim_plug(d);
    for (const auto& n : inbox.take())
        handle(n);
    EXPECT_TRUE(ZK_Link_isAttached(link));

    // Nothing arrives after unregistering.
    ZK_Detect_unregisterNotifications(registration);
    registration = nullptr;
    ZK_Sim_unplug(d);
    EXPECT_TRUE(inbox.take().empty());
}

TEST_F(DetectSim, SystemMonitorStartsAndStopsPromptly) {
    int rc = 0;
    registration = ZK_Detect_registerNotifications(Inbox::receive, &inbox, 1, &rc);
    if (!registration)
        GTEST_SKIP() << "no udev monitor here (" << rc << ")";
    // The simulator still reaches a registration that follows the system.
    SimDevice* d = makeSim("beside-udev");
    ZK_Sim_plug(d);
    auto got = inbox.take();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(std::string(got.back().path), ZK_Sim_path(d));
    ZK_Detect_unregisterNotifications(registration); // returns without waiting for an event
    registration = nullptr;
}

// A fake system root: ROOT/sys/block and ROOT/proc/self/mountinfo.
class FakeRoot {
  public:
    void disk(const std::string& name, const char* removable, const char* vendor,
              const std::string& dev) {
        std::string d = dir.path() + "/sys/block/" + name;
        fs::create_directories(d + "/device");
        testutil::writeText(d + "/removable", std::string(removable) + "\n");
        if (vendor)
            testutil::writeText(d + "/device/vendor", std::string(vendor) + "\n");
        testutil::writeText(d + "/dev", dev + "\n");
    }
    void partition(const std::string& diskName, const std::string& name, const std::string& dev) {
        std::string d = dir.path() + "/sys/block/" + diskName + "/" + name;
        fs::create_directories(d);
        testutil::writeText(d + "/partition", "1\n");
        testutil::writeText(d + "/dev", dev + "\n");
    }
    // `mountPoint` as the table writes it (octal escapes); the folder is made unescaped.
    void mount(const std::string& dev, const std::string& fsRoot, const std::string& mountPoint,
               const std::string& folder) {
        static int id = 100;
        table += std::to_string(id++) + " 1 " + dev + " " + fsRoot + " " + mountPoint +
                 " rw,nosuid,nodev shared:1 - vfat /dev/x rw\n";
        fs::create_directories(dir.path() + folder);
    }
    void writeTable() {
        fs::create_directories(dir.path() + "/proc/self");
        testutil::writeText(dir.path() + "/proc/self/mountinfo", table);
    }
    std::string path(const std::string& rel) const { return dir.path() + rel; }
    const std::string& root() const { return dir.path(); }

  private:
    testutil::TempDir dir;
    std::string table = "22 1 0:21 / /proc rw,nosuid - proc proc rw\n";
};

// Records the marker writes and ejects; the writes are real, the ejects not.
struct Recorder {
    struct Eject {
        std::string disk, mountNode, mountPoint;
        bool markerThere;
    };
    std::string root;
    std::vector<std::string> writes;
    std::vector<Eject> ejects;
    ZK_StorageOps ops;

    Recorder() {
        ops = *ZK_Storage_systemOps();
        ops.user = this;
        ops.writeFile = [](void* user, const char* root, const char* mountPoint, const char* name,
                           const void* data, size_t length) {
            static_cast<Recorder*>(user)->writes.push_back(mountPoint);
            return ZK_Storage_writeFile(root, mountPoint, name, data, length);
        };
        ops.eject = [](void* user, const ZK_BlockDisk* disk, const ZK_MountEntry* mount) {
            auto* self = static_cast<Recorder*>(user);
            struct stat st;
            std::string marker = self->root + mount->mountPoint + "/1.txt";
            self->ejects.push_back({disk->devnode, mount->devnode, mount->mountPoint,
                                    lstat(marker.c_str(), &st) == 0});
            return (int)ZK_STORAGE_OK;
        };
    }
};

class DetectProbe : public ::testing::Test {
  protected:
    void SetUp() override {
        liveBefore = ZK_Mem_liveBlocks();
        recorder.root = fake.root();
    }
    void TearDown() override { EXPECT_EQ(ZK_Mem_liveBlocks(), liveBefore); }
    int probe(ZK_DiskProbe* result) {
        return ZK_Detect_probeUsbDiskAt(fake.root().c_str(), &recorder.ops, result);
    }
    int32_t liveBefore = 0;
    FakeRoot fake;
    Recorder recorder;
};

TEST_F(DetectProbe, FirstMatchingMountedRemovableDiskGetsMarkerThenEject) {
    // Made in reverse so that the directory order is not the name order.
    fake.disk("sde", "1", "korvtag", "8:64"); // would match, but sdd comes first
    fake.mount("8:64", "/", "/media/u/second", "/media/u/second");
    fake.disk("sdd", "1", "6b6f727674616720", "8:48"); // hexadecimal form
    fake.partition("sdd", "sdd1", "8:49");
    fake.mount("8:49", "/sub", "/mnt/bind", "/mnt/bind"); // a bind of a sub-folder: not the root
    fake.mount("8:49", "/", "/media/u/KORV\\040DISK", "/media/u/KORV DISK");
    fake.disk("sdc", "1", "KORVTAG ", "8:32"); // matches, but is not mounted
    fake.disk("sdb", "1", "Generic ", "8:16"); // another vendor
    fake.mount("8:16", "/", "/mnt/other", "/mnt/other");
    fake.disk("sda", "0", "korvtag ", "8:0"); // not removable
    fake.partition("sda", "sda1", "8:1");
    fake.mount("8:1", "/", "/mnt/fixed", "/mnt/fixed");
    fake.disk("loop0", "0", nullptr, "7:0"); // no vendor text at all
    fake.writeTable();
    testutil::writeText(fake.path("/media/u/KORV DISK/1.txt"), "an older and longer marker");

    ZK_DiskProbe result{};
    ASSERT_EQ(probe(&result), 1);
    EXPECT_STREQ(result.disk.name, "sdd");
    EXPECT_STREQ(result.mount.devnode, "/dev/sdd1");
    EXPECT_STREQ(result.mount.mountPoint, "/media/u/KORV DISK");
    EXPECT_EQ(result.markerResult, ZK_STORAGE_OK);
    EXPECT_EQ(result.ejectResult, ZK_STORAGE_OK);

    auto marker = testutil::readFile(fake.path("/media/u/KORV DISK/1.txt"));
    EXPECT_EQ(std::string(marker.begin(), marker.end()), "abcdefd"); // 7 bytes, no terminator
    struct stat st;
    ASSERT_EQ(stat(fake.path("/media/u/KORV DISK/1.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    for (const char* other :
         {"/media/u/second/1.txt", "/mnt/fixed/1.txt", "/mnt/other/1.txt", "/mnt/bind/1.txt"})
        EXPECT_NE(access(fake.path(other).c_str(), F_OK), 0) << other;

    ASSERT_EQ(recorder.writes.size(), 1u);
    ASSERT_EQ(recorder.ejects.size(), 1u);
    EXPECT_EQ(recorder.ejects[0].disk, "/dev/sdd");
    EXPECT_EQ(recorder.ejects[0].mountNode, "/dev/sdd1");
    EXPECT_TRUE(recorder.ejects[0].markerThere); // the marker is written before the eject

    ZK_DiskForm forms[8];
    ASSERT_EQ(ZK_Detect_listDiskForms(fake.root().c_str(), nullptr, forms, 8), 3);
    EXPECT_STREQ(forms[0].disk.name, "sdc");
    EXPECT_EQ(forms[0].mounted, 0);
    EXPECT_STREQ(forms[1].disk.name, "sdd");
    EXPECT_STREQ(forms[2].disk.name, "sde");
}

TEST_F(DetectProbe, NoMatchMeansNothingWrittenAndNothingEjected) {
    fake.disk("sdb", "1", "Generic ", "8:16");
    fake.mount("8:16", "/", "/mnt/other", "/mnt/other");
    fake.disk("sdc", "1", "korvtag", "8:32"); // not mounted
    fake.disk("sdd", "1", "korv\x01tag", "8:48");
    fake.mount("8:48", "/", "/mnt/odd", "/mnt/odd");
    fake.writeTable();
    EXPECT_EQ(probe(nullptr), 0);
    EXPECT_TRUE(recorder.writes.empty());
    EXPECT_TRUE(recorder.ejects.empty());
}

TEST_F(DetectProbe, MissingTreeOrTableIsNoDevice) {
    EXPECT_EQ(probe(nullptr), 0); // no sys/block at all
    fake.disk("sdc", "1", "korvtag", "8:32");
    EXPECT_EQ(probe(nullptr), 0); // no mount table
    EXPECT_TRUE(recorder.ejects.empty());
}

TEST_F(DetectProbe, MarkerNameTakenByALinkIsRefusedAndTheEjectStillRuns) {
    fake.disk("sdd", "1", "korvtag", "8:48");
    fake.mount("8:48", "/", "/media/k", "/media/k");
    fake.writeTable();
    testutil::writeText(fake.path("/elsewhere"), "keep");
    ASSERT_EQ(symlink(fake.path("/elsewhere").c_str(), fake.path("/media/k/1.txt").c_str()), 0);

    ZK_DiskProbe result{};
    ASSERT_EQ(probe(&result), 1);
    EXPECT_NE(result.markerResult, ZK_STORAGE_OK);
    auto kept = testutil::readFile(fake.path("/elsewhere"));
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "keep");
    EXPECT_EQ(recorder.ejects.size(), 1u);
}

} // namespace

namespace {

// The one mount-table line parser, as the disk probe and the mount watch read it.
TEST(MountTable, LinesSplitWithEscapesOptionalFieldsAndSource) {
    struct Case {
        const char* line;
        int ok;
        int id;
        const char* devNumber;
        const char* root;
        const char* mountPoint;
        const char* source;
    } cases[] = {
        {"36 35 8:17 / /media/u/KORV rw,nosuid shared:1 - vfat /dev/sdb1 rw\n", 1, 36, "8:17", "/",
         "/media/u/KORV", "/dev/sdb1"},
        {"40 35 8:33 / /media/u/My\\040Disk rw shared:2 master:3 - vfat /dev/sdc1 rw", 1, 40,
         "8:33", "/", "/media/u/My Disk", "/dev/sdc1"},
        {"41 35 8:33 /sub /mnt/bind rw - ext4 /dev/sdc1 rw", 1, 41, "8:33", "/sub", "/mnt/bind",
         "/dev/sdc1"},
        {"22 1 0:21 / /proc rw,nosuid - proc proc rw", 1, 22, "0:21", "/", "/proc", "proc"},
        {"23 1 0:22 / /sys rw", 1, 23, "0:22", "/", "/sys", ""},     // no separator
        {"24 1 0:23 / /run rw -", 1, 24, "0:23", "/", "/run", ""},   // nothing after it
        {"25 1 0:24 /\n", 0, 0, nullptr, nullptr, nullptr, nullptr}, // too short
        {"", 0, 0, nullptr, nullptr, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        std::string text = c.line;
        ZK_MountLine m;
        ASSERT_EQ(ZK_Storage_parseMountLine(text.data(), &m), c.ok) << c.line;
        if (!c.ok)
            continue;
        EXPECT_EQ(m.id, c.id) << c.line;
        EXPECT_STREQ(m.devNumber, c.devNumber) << c.line;
        EXPECT_STREQ(m.root, c.root) << c.line;
        EXPECT_STREQ(m.mountPoint, c.mountPoint) << c.line;
        EXPECT_STREQ(m.source, c.source) << c.line;
    }
}

} // namespace
