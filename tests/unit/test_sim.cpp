// The device simulator driven through the HID layer with a small raw encoder
// of its own (independent of the tool's protocol code), and the HID layer's
// path helpers and registry.
#include "platform/hid.h"
#include "sim.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr uint32_t kFixedA = 0x12345678u, kFixedB = 0xABCDEF01u;

uint32_t le32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = (uint8_t)(v >> (8 * i));
}

uint32_t sumOf(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i)
        s += p[i];
    return s;
}

struct Cmd {
    uint8_t code;
    uint32_t a = 0, b = 0, c = 0;
    uint8_t mode = 0;
    uint32_t d = 0;
};

// Command report: id 0, the 27-byte block, 0xCC padding.
std::vector<uint8_t> commandReport(const Cmd& cmd) {
    std::vector<uint8_t> r(65, 0xCC);
    r[0] = 0;
    uint8_t* b = r.data() + 1;
    b[0] = cmd.code;
    b[1] = 0x17;
    put32(b + 2, cmd.a);
    put32(b + 6, cmd.b);
    put32(b + 10, cmd.c);
    b[14] = cmd.mode;
    put32(b + 15, cmd.d);
    std::memcpy(b + 19, "HIDC", 4);
    put32(b + 23, sumOf(b, 23));
    return r;
}

struct Reply {
    bool valid = false;
    uint8_t code = 0;
    uint32_t status = 0, value = 0;
};

Reply decodeReply(const uint8_t* report, size_t count) {
    uint8_t block[27] = {};
    if (count > 1)
        std::memcpy(block, report + 1, std::min<size_t>(count - 1, 27));
    Reply r;
    r.valid = block[1] == 0x17 && std::memcmp(block + 19, "HIDC", 4) == 0 &&
              le32(block + 23) == sumOf(block, 23);
    r.code = block[0];
    r.status = le32(block + 2);
    r.value = le32(block + 6);
    return r;
}

// The running-XOR descramble, written once more for the checks here.
void descrambleCopy(std::vector<uint8_t>& d, size_t length) {
    uint32_t k = 0x5AC3E19Bu, s = 0, c = 0;
    for (size_t i = 0; i + 4 <= length; i += 4) {
        d[i + 2] ^= d[i];
        d[i + 3] ^= d[i + 1];
        uint32_t w = le32(&d[i]) ^ k;
        put32(&d[i], w);
        s += w;
        if ((c += 4) == 256) {
            k = s;
            s = c = 0;
        }
    }
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (uint8_t)(i * 7 + seed + (i >> 8));
    return v;
}

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override { create(SimConfig{}); }
    void TearDown() override {
        ZK_Hid_close(&hid_);
        ZK_Sim_destroy(dev_);
    }

    void create(SimConfig config) {
        ZK_Hid_close(&hid_);
        ZK_Sim_destroy(dev_);
        dev_ = nullptr;
        config.name = "unit";
        if (!config.profile)
            config.profile = "blank";
        dev_ = ZK_Sim_create(config);
        ASSERT_NE(dev_, nullptr);
        ZK_Sim_plug(dev_);
        ASSERT_EQ(ZK_Hid_open(ZK_Sim_path(dev_).c_str(), &hid_), ZK_HID_OK);
    }

    int send(const std::vector<uint8_t>& report) {
        size_t count = 0;
        return ZK_Hid_write(&hid_, report.data(), report.size(), &count);
    }
    int read(uint8_t* report, size_t* count, int timeoutMs = 1000) {
        return ZK_Hid_read(&hid_, report, 65, timeoutMs, count);
    }
    Reply reply(int timeoutMs = 1000) {
        uint8_t r[65];
        size_t count = 0;
        if (read(r, &count, timeoutMs) != ZK_HID_OK)
            return Reply{};
        return decodeReply(r, count);
    }
    Reply exchange(const Cmd& cmd) {
        EXPECT_EQ(send(commandReport(cmd)), ZK_HID_OK);
        return reply();
    }
    Reply writePages(uint32_t address, const std::vector<uint8_t>& data, uint32_t paramC,
                     uint32_t checksum) {
        EXPECT_EQ(send(commandReport(
                      {0xF3, address / 256, (uint32_t)data.size() / 256, paramC, 1, checksum})),
                  ZK_HID_OK);
        for (size_t at = 0; at < data.size(); at += 64) {
            std::vector<uint8_t> r(65, 0xCC);
            r[0] = 0;
            std::memcpy(&r[1], &data[at], std::min<size_t>(64, data.size() - at));
            EXPECT_EQ(send(r), ZK_HID_OK);
        }
        return reply();
    }
    // Reads `length` bytes through the data phase; the reply goes to *out.
    std::vector<uint8_t> readPages(uint32_t address, uint32_t length, Reply* out) {
        EXPECT_EQ(send(commandReport({0xF2, address / 256, length / 256})), ZK_HID_OK);
        std::vector<uint8_t> data;
        while (data.size() < length) {
            uint8_t r[65];
            size_t count = 0;
            if (read(r, &count) != ZK_HID_OK)
                break;
            data.insert(data.end(), r + 1, r + std::min<size_t>(count, 65));
        }
        *out = reply();
        return data;
    }

    SimDevice* dev_ = nullptr;
    ZK_HidDevice hid_{};
};

TEST_F(SimTest, AnswersVersionAndFlashSize) {
    SimConfig config;
    config.bootVersion = 1011;
    config.flashSize = 0x400000;
    create(config);
    Reply v = exchange({0xF7, kFixedA, kFixedB});
    EXPECT_TRUE(v.valid);
    EXPECT_EQ(v.code, 0xF7);
    EXPECT_EQ(v.status, 0u);
    EXPECT_EQ(v.value, 1011u);
    Reply f = exchange({0xFB, kFixedA, kFixedB});
    EXPECT_TRUE(f.valid);
    EXPECT_EQ(f.value, 0x400000u);
    EXPECT_EQ(exchange({0xF4, kFixedA, kFixedB}).status, 0u);
    EXPECT_EQ(exchange({0xF9, kFixedA, kFixedB}).status, 0u);
}

TEST_F(SimTest, EraseThenReadBackErased) {
    std::vector<uint8_t> junk = pattern(8192, 3);
    ZK_Sim_writeFlash(dev_, 0x1E000, junk.data(), (uint32_t)junk.size());
    EXPECT_EQ(exchange({0xF1, 0x1E000 / 4096, 1}).status, 0u);

    Reply r;
    std::vector<uint8_t> data = readPages(0x1E000, 512, &r);
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(data, std::vector<uint8_t>(512, 0xFF));
    // The next sector was not erased, and a read returns it as stored.
    data = readPages(0x1F000, 256, &r);
    EXPECT_EQ(data, std::vector<uint8_t>(junk.begin() + 4096, junk.begin() + 4096 + 256));

    // Zero length: no data phase, just the reply.
    EXPECT_EQ(exchange({0xF2, 0x100, 0}).status, 0u);
}

TEST_F(SimTest, WriteChecksRuleAndKeepsFlashOnMismatch) {
    // Plain: the sum of every byte sent.
    std::vector<uint8_t> data = pattern(512, 9);
    Reply bad = writePages(0x20000, data, 0, sumOf(data.data(), data.size()) + 1);
    EXPECT_TRUE(bad.valid);
    EXPECT_EQ(bad.status, (uint32_t)SIM_STATUS_CHECKSUM);
    EXPECT_EQ(ZK_Sim_readFlash(dev_, 0x20000, 512), std::vector<uint8_t>(512, 0xFF));
    Reply good = writePages(0x20000, data, 0, sumOf(data.data(), data.size()));
    EXPECT_EQ(good.status, 0u);
    EXPECT_EQ(ZK_Sim_readFlash(dev_, 0x20000, 512), data);

    // Scrambled, 1000 bytes padded to 1024: the sum covers the descrambled
    // 1000 bytes plus 255 per fill byte; the flash keeps the bytes as sent.
    std::vector<uint8_t> image = pattern(1000, 1);
    std::vector<uint8_t> plain = image;
    descrambleCopy(plain, plain.size());
    uint32_t checksum = sumOf(plain.data(), plain.size()) + 24 * 255;
    std::vector<uint8_t> padded = image;
    padded.resize(1024, 0xFF);
    Reply wrong = writePages(0x9000, padded, 1000, sumOf(padded.data(), padded.size()));
    EXPECT_EQ(wrong.status, (uint32_t)SIM_STATUS_CHECKSUM);
    Reply right = writePages(0x9000, padded, 1000, checksum);
    EXPECT_EQ(right.status, 0u);
    EXPECT_EQ(ZK_Sim_readFlash(dev_, 0x9000, 1024), padded);

    std::vector<SimTraffic> traffic = ZK_Sim_traffic(dev_);
    ASSERT_EQ(traffic.size(), 4u);
    EXPECT_EQ(traffic[3].code, 0xF3);
    EXPECT_EQ(traffic[3].paramA, 0x9000u / 256);
    EXPECT_EQ(traffic[3].paramB, 4u);
    EXPECT_EQ(traffic[3].paramC, 1000u);
    EXPECT_EQ(traffic[3].mode, 1);
    EXPECT_EQ(traffic[3].paramD, checksum);
    EXPECT_EQ(traffic[3].dataLength, 1024u);
    EXPECT_EQ(traffic[3].status, 0u);

    std::vector<std::vector<uint8_t>> raw = ZK_Sim_rawReports(dev_);
    ASSERT_EQ(raw.size(), 4u * 1 + 8 + 8 + 16 + 16);
    EXPECT_EQ(raw[0],
              commandReport({0xF3, 0x20000 / 256, 2, 0, 1, sumOf(data.data(), data.size()) + 1}));
}

TEST_F(SimTest, StrictChecksAnswerNonzeroStatus) {
    struct Case {
        const char* what;
        std::vector<uint8_t> report;
        uint32_t status;
    };
    auto corrupt = [](Cmd cmd, int at, uint8_t value) {
        std::vector<uint8_t> r = commandReport(cmd);
        r[1 + at] = value;
        return r;
    };
    // 8 MiB flash: the last sector is 0x7FF, the last page 0x7FFF.
    const Case cases[] = {
        {"erase past the end", commandReport({0xF1, 0x7FF, 2}), SIM_STATUS_RANGE},
        {"erase far past the end", commandReport({0xF1, 0xFFFFFFFF, 1}), SIM_STATUS_RANGE},
        {"read past the end", commandReport({0xF2, 0x7FFF, 2}), SIM_STATUS_RANGE},
        {"read mode 2", commandReport({0xF2, 0, 1, 0, 2}), SIM_STATUS_BAD_PARAMS},
        {"bad signature", corrupt({0xF7, kFixedA, kFixedB}, 19, 'X'), SIM_STATUS_BAD_BLOCK},
        {"bad header length", corrupt({0xF7, kFixedA, kFixedB}, 1, 0x18), SIM_STATUS_BAD_BLOCK},
        {"bad checksum", corrupt({0xF7, kFixedA, kFixedB}, 23, 0), SIM_STATUS_BAD_BLOCK},
        {"unknown code", commandReport({0xF5, kFixedA, kFixedB}), SIM_STATUS_UNKNOWN_CODE},
        {"fixed words wrong", commandReport({0xF7, kFixedA, 0}), SIM_STATUS_BAD_PARAMS},
        {"unpadded length over length", commandReport({0xF3, 0, 0, 1}), SIM_STATUS_BAD_PARAMS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(send(c.report), ZK_HID_OK);
        Reply r = reply();
        EXPECT_TRUE(r.valid);
        EXPECT_EQ(r.status, c.status);
    }
    // A refused write still swallows its data phase, so the next command is
    // read as a command.
    std::vector<uint8_t> data(512, 0);
    Reply r = writePages(0x7FF00, data, 0, 0);
    EXPECT_EQ(r.status, 0u);
    r = writePages(0x7FFF00, data, 0, 0);
    EXPECT_EQ(r.status, (uint32_t)SIM_STATUS_RANGE);
    EXPECT_EQ(exchange({0xF7, kFixedA, kFixedB}).value, 1046u);
}

TEST_F(SimTest, FaultsApplyOnceInOrder) {
    struct Case {
        SimFaultKind kind;
        bool valid;
        uint32_t status;
    };
    const Case cases[] = {
        {SIM_FAULT_BAD_SIGNATURE, false, 0},
        {SIM_FAULT_BAD_HEADER, false, 0},
        {SIM_FAULT_BAD_CHECKSUM, false, 0},
        {SIM_FAULT_STATUS, true, SIM_STATUS_INJECTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        SimFault fault;
        fault.kind = c.kind;
        ZK_Sim_injectFault(dev_, fault);
        Reply r = exchange({0xF7, kFixedA, kFixedB});
        EXPECT_EQ(r.valid, c.valid);
        if (c.valid) {
            EXPECT_EQ(r.status, c.status);
        }
        Reply next = exchange({0xF7, kFixedA, kFixedB});
        EXPECT_TRUE(next.valid);
        EXPECT_EQ(next.status, 0u);
    }

    // onCode and skipCommands: the second erase gets it, the version asks in
    // between pass.
    SimFault status;
    status.kind = SIM_FAULT_STATUS;
    status.onCode = 0xF1;
    status.skipCommands = 1;
    ZK_Sim_injectFault(dev_, status);
    std::vector<uint8_t> junk(4096, 0x11);
    ZK_Sim_writeFlash(dev_, 0x30000, junk.data(), 4096);
    EXPECT_EQ(exchange({0xF7, kFixedA, kFixedB}).status, 0u);
    EXPECT_EQ(exchange({0xF1, 0x40, 1}).status, 0u);
    EXPECT_EQ(exchange({0xF7, kFixedA, kFixedB}).status, 0u);
    EXPECT_EQ(exchange({0xF1, 0x30, 1}).status, (uint32_t)SIM_STATUS_INJECTED);
    EXPECT_EQ(ZK_Sim_readFlash(dev_, 0x30000, 4096), junk); // a failing erase keeps the flash
    EXPECT_EQ(ZK_Sim_traffic(dev_).back().status, (uint32_t)SIM_STATUS_INJECTED);

    // No reply: the read times out, and the device then answers again.
    SimFault silent;
    silent.kind = SIM_FAULT_NO_REPLY;
    ZK_Sim_injectFault(dev_, silent);
    ASSERT_EQ(send(commandReport({0xF7, kFixedA, kFixedB})), ZK_HID_OK);
    uint8_t report[65];
    size_t count = 99;
    EXPECT_EQ(read(report, &count, 30), ZK_HID_ERR_TIMEOUT);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(exchange({0xF7, kFixedA, kFixedB}).valid);

    // Short report: first the reply of a fixed command, then a data report.
    SimFault shortReply;
    shortReply.kind = SIM_FAULT_SHORT_REPORT;
    shortReply.shortCount = 20;
    ZK_Sim_injectFault(dev_, shortReply);
    ASSERT_EQ(send(commandReport({0xF7, kFixedA, kFixedB})), ZK_HID_OK);
    ASSERT_EQ(read(report, &count), ZK_HID_OK);
    EXPECT_EQ(count, 20u);
    EXPECT_FALSE(decodeReply(report, count).valid);

    std::vector<uint8_t> page = pattern(256, 5);
    ZK_Sim_writeFlash(dev_, 0x40000, page.data(), 256);
    ZK_Sim_injectFault(dev_, shortReply);
    ASSERT_EQ(send(commandReport({0xF2, 0x400, 1})), ZK_HID_OK);
    ASSERT_EQ(read(report, &count), ZK_HID_OK);
    EXPECT_EQ(count, 20u);
    EXPECT_EQ(std::vector<uint8_t>(report + 1, report + 20),
              std::vector<uint8_t>(page.begin(), page.begin() + 19));
    ASSERT_EQ(read(report, &count), ZK_HID_OK); // the cut bytes are lost
    EXPECT_EQ(count, 65u);
    EXPECT_EQ(report[1], page[64]);
}

TEST_F(SimTest, DelayedReplyArrivesAfterTheBound) {
    SimFault delay;
    delay.kind = SIM_FAULT_DELAY;
    delay.delayMs = 200;
    ZK_Sim_injectFault(dev_, delay);
    ASSERT_EQ(send(commandReport({0xF7, kFixedA, kFixedB})), ZK_HID_OK);
    uint8_t report[65];
    size_t count = 0;
    EXPECT_EQ(read(report, &count, 20), ZK_HID_ERR_TIMEOUT);
    ASSERT_EQ(read(report, &count, 5000), ZK_HID_OK);
    EXPECT_EQ(decodeReply(report, count).value, 1046u);
    // The default delay is past the tool's 1000 ms bound.
    EXPECT_GT(SimFault{}.delayMs, 1000u);
}

struct HotplugLog {
    std::mutex lock;
    std::vector<std::pair<std::string, bool>> events;
    static void callback(void* user, const char* path, bool arrived) {
        auto* self = static_cast<HotplugLog*>(user);
        std::lock_guard<std::mutex> guard(self->lock);
        self->events.emplace_back(path, arrived);
    }
};

TEST_F(SimTest, DisconnectAfterReportsUnplugs) {
    HotplugLog log;
    ZK_Sim_setHotplugCallback(HotplugLog::callback, &log);
    SimFault gone;
    gone.kind = SIM_FAULT_DISCONNECT;
    gone.onCode = 0xF3;
    gone.afterReports = 2;
    ZK_Sim_injectFault(dev_, gone);

    EXPECT_EQ(exchange({0xF7, kFixedA, kFixedB}).status, 0u); // not the fault's code
    ASSERT_EQ(send(commandReport({0xF3, 0x200, 1, 0, 0, 0})), ZK_HID_OK);
    std::vector<uint8_t> data(65, 0);
    EXPECT_EQ(send(data), ZK_HID_OK);
    EXPECT_EQ(send(data), ZK_HID_OK);
    EXPECT_EQ(send(data), ZK_HID_ERR_NO_DEVICE);
    EXPECT_FALSE(ZK_Sim_isPlugged(dev_));
    uint8_t report[65];
    size_t count = 0;
    EXPECT_EQ(read(report, &count, 10), ZK_HID_ERR_NO_DEVICE);
    EXPECT_EQ(ZK_Sim_traffic(dev_).back().status, (uint32_t)SIM_STATUS_PENDING);
    EXPECT_EQ(ZK_Sim_traffic(dev_).back().dataLength, 128u);

    // Plugged again, the old handle stays dead; a new one works.
    ZK_Sim_plug(dev_);
    EXPECT_EQ(send(commandReport({0xF7, kFixedA, kFixedB})), ZK_HID_ERR_NO_DEVICE);
    ZK_Hid_close(&hid_);
    ASSERT_EQ(ZK_Hid_open(ZK_Sim_path(dev_).c_str(), &hid_), ZK_HID_OK);
    EXPECT_EQ(exchange({0xF7, kFixedA, kFixedB}).value, 1046u);
    ZK_Sim_setHotplugCallback(nullptr, nullptr);

    std::string path = ZK_Sim_path(dev_);
    ASSERT_EQ(log.events.size(), 2u);
    EXPECT_EQ(log.events[0], std::make_pair(path, false));
    EXPECT_EQ(log.events[1], std::make_pair(path, true));

    // Zero further reports: gone with the command itself.
    gone.onCode = 0;
    gone.afterReports = 0;
    ZK_Sim_injectFault(dev_, gone);
    EXPECT_EQ(send(commandReport({0xF7, kFixedA, kFixedB})), ZK_HID_ERR_NO_DEVICE);
    EXPECT_EQ(read(report, &count, 10), ZK_HID_ERR_NO_DEVICE);
}

TEST_F(SimTest, BlockedReadReturnsWhenDeviceGoesAway) {
    enum How { UNPLUG, DESTROY, CLOSE };
    for (How how : {UNPLUG, DESTROY, CLOSE}) {
        SCOPED_TRACE(how);
        create(SimConfig{});
        std::atomic<int> result{1};
        std::thread reader([&] {
            uint8_t report[65];
            size_t count = 0;
            result = ZK_Hid_read(&hid_, report, sizeof report, 20000, &count);
        });
        // Whether the reader is already waiting or not, it must come back.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ZK_HidDevice copy = hid_;
        if (how == UNPLUG)
            ZK_Sim_unplug(dev_);
        else if (how == DESTROY) {
            ZK_Sim_destroy(dev_);
            dev_ = nullptr;
        } else {
            ZK_Hid_close(&copy); // the record the reader uses stays untouched
        }
        reader.join();
        // NO_DEVICE, not TIMEOUT: the read ended because the device went, not its 20 s bound.
        EXPECT_EQ(result.load(), ZK_HID_ERR_NO_DEVICE);
        if (how == CLOSE) {
            size_t count = 0;
            EXPECT_EQ(
                ZK_Hid_write(&hid_, commandReport({0xF7, kFixedA, kFixedB}).data(), 65, &count),
                ZK_HID_ERR_NO_DEVICE);
        }
    }
}

TEST_F(SimTest, EnumerateShowsPluggedDevicesOnly) {
    auto listed = [](const std::string& path) {
        ZK_HidDeviceInfo infos[16];
        int n = ZK_Hid_enumerate(0x0416, 0xB500, infos, 16);
        EXPECT_GE(n, 0);
        for (int i = 0; i < std::min(n, 16); ++i)
            if (path == infos[i].path)
                return std::string(infos[i].backend);
        return std::string();
    };
    std::string path = ZK_Sim_path(dev_);
    EXPECT_EQ(path, "sim:unit#vid_0416&pid_b500");
    EXPECT_EQ(listed(path), "sim");
    // Another product id does not list it; counting without room works.
    EXPECT_EQ(ZK_Hid_enumerate(0x0416, 0xB501, nullptr, 0), 0);
    EXPECT_GE(ZK_Hid_enumerate(0x0416, 0xB500, nullptr, 0), 1);

    ZK_Sim_unplug(dev_);
    EXPECT_EQ(listed(path), "");
    ZK_HidDevice other{};
    EXPECT_EQ(ZK_Hid_open(path.c_str(), &other), ZK_HID_ERR_NO_DEVICE);
    EXPECT_EQ(ZK_Hid_open("sim:nobody#vid_0416&pid_b500", &other), ZK_HID_ERR_NO_DEVICE);
    EXPECT_EQ(ZK_Hid_open("usb:what", &other), ZK_HID_ERR_INVALID);

    // A second device of the same name is refused while the first lives.
    SimConfig same;
    same.name = "unit";
    EXPECT_EQ(ZK_Sim_create(same), nullptr);
}

TEST_F(SimTest, FlashFilePersistsAcrossCreateAndDestroy) {
    testutil::TempDir dir;
    std::string file = dir.file("flash.bin");
    SimConfig config;
    config.flashSize = 0x100000;
    config.flashFile = file.c_str();
    config.profile = "new-502";
    create(config);
    std::vector<uint8_t> data = pattern(256, 42);
    ASSERT_EQ(writePages(0x80000, data, 0, sumOf(data.data(), 256)).status, 0u);
    EXPECT_EQ(ZK_Sim_saveFlash(dev_), 1);
    EXPECT_EQ(testutil::readFile(file).size(), 0x100000u);
    ASSERT_EQ(exchange({0xF1, 0x1E, 1}).status, 0u); // after the save: kept by destroy
    ZK_Hid_close(&hid_);
    ZK_Sim_destroy(dev_);
    dev_ = nullptr;

    // The kept image wins over the profile.
    create(config);
    EXPECT_EQ(ZK_Sim_readFlash(dev_, 0x80000, 256), data);
    EXPECT_EQ(ZK_Sim_readFlash(dev_, 0x1E000, 4096), std::vector<uint8_t>(4096, 0xFF));
    ZK_Hid_close(&hid_);
    ZK_Sim_destroy(dev_);
    dev_ = nullptr;

    // A file of another size is not this device's flash.
    config.flashSize = 0x200000;
    config.name = "unit";
    EXPECT_EQ(ZK_Sim_create(config), nullptr);
    EXPECT_EQ(testutil::readFile(file).size(), 0x100000u);
    SimConfig unknown;
    unknown.profile = "no-such-profile";
    EXPECT_EQ(ZK_Sim_create(unknown), nullptr);
    // A file that cannot be written fails at once, not when the run ends.
    std::string nowhere = dir.file("missing/flash.bin");
    SimConfig unwritable;
    unwritable.flashFile = nowhere.c_str();
    EXPECT_EQ(ZK_Sim_create(unwritable), nullptr);
    create(SimConfig{});
}

TEST_F(SimTest, BridgeWithoutReportIds) {
    std::vector<uint8_t> cmd = commandReport({0xFB, kFixedA, kFixedB});
    ZK_Sim_receiveReport(dev_, cmd.data() + 1, 64); // no report id
    std::vector<uint8_t> out;
    ASSERT_TRUE(ZK_Sim_takeReport(dev_, &out));
    ASSERT_EQ(out.size(), 65u);
    Reply r = decodeReply(out.data(), out.size());
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.value, 0x800000u);
    EXPECT_FALSE(ZK_Sim_takeReport(dev_, &out));
}

// The profiles decoded with the record offsets the tool reads them by.
TEST(SimProfiles, HoldTheRecordsTheToolReads) {
    struct Case {
        const char* profile;
        uint32_t group, param, client; // 0: no valid main-setting slot
        const char* board;
        int form;
        const char* clientText;
        uint32_t voiceAddr, gpsAddr;
    };
    const Case cases[] = {
        {"new-502", 0x1E000, 0x19000, 0x1F000, "GHW7", 5, "TAVO", 0x31000, 0x239000},
        {"new-legacy", 0x16000, 0x11000, 0x18000, "TQMB", 2, "TAVO", 0x21000, 0x1C9000},
        {"no-main-setting", 0, 0x11000, 0x18000, "TQMB", 4, "TAVO", 0xDE000, 0x2DE000},
        {"refused-client", 0x1E000, 0x19000, 0x1F000, "GHW7", 5, "Kelvoran", 0x31000, 0x239000},
    };
    auto slotValid = [](const std::vector<uint8_t>& f, uint32_t at, size_t size) {
        return le32(&f[at + 4 + size - 4]) == 0x12345678u &&
               le32(&f[at]) == sumOf(&f[at + 4], size);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        SimConfig config;
        config.name = "profile";
        config.profile = c.profile;
        SimDevice* dev = ZK_Sim_create(config);
        ASSERT_NE(dev, nullptr);
        std::vector<uint8_t> f = ZK_Sim_readFlash(dev, 0, 0x800000);
        ZK_Sim_destroy(dev);
        ASSERT_EQ(f.size(), 0x800000u);
        if (c.group) {
            ASSERT_TRUE(slotValid(f, c.group, 231));
            ASSERT_TRUE(slotValid(f, c.group + 256, 178));
            const uint8_t* ms = &f[c.group + 4];
            EXPECT_EQ(std::string((const char*)ms + 4, 4), c.board);
            EXPECT_EQ(le32(ms + 79), c.voiceAddr);
            EXPECT_EQ(le32(ms + 95), c.gpsAddr);
            EXPECT_EQ(le32(ms + 59), 0x800000u);
            // The regions follow one another up to usedEnd.
            EXPECT_EQ(le32(ms + 95) + le32(ms + 99), le32(ms + 111));
        } else {
            EXPECT_FALSE(slotValid(f, 0x1E000, 231));
            EXPECT_FALSE(slotValid(f, 0x16000, 231));
        }
        const uint8_t* s = &f[c.param];
        const size_t summed[] = {0, 24, 72, 170, 64, 111};
        EXPECT_EQ(le32(s), sumOf(s + 4, summed[c.form]));
        size_t boardAt = c.form == 2 ? 4 + 24 : 4;
        EXPECT_EQ(std::string((const char*)s + boardAt, 4), c.board);
        if (c.form == 5) {
            EXPECT_EQ(le32(s + 4 + 107), 0x12345678u);
        }
        if (c.form == 4) {
            EXPECT_EQ(le32(s + 4 + 60), 0x12345678u);
        }
        EXPECT_EQ(std::string((const char*)&f[c.client], std::strlen(c.clientText)), c.clientText);
        EXPECT_NE(le32(&f[c.voiceAddr]), 0xFFFFFFFFu);
        EXPECT_NE(le32(&f[c.gpsAddr]), 0xFFFFFFFFu);
    }
    SimConfig blank;
    blank.name = "profile";
    blank.profile = "blank";
    SimDevice* dev = ZK_Sim_create(blank);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(ZK_Sim_readFlash(dev, 0, 0x800000), std::vector<uint8_t>(0x800000, 0xFF));
    ZK_Sim_destroy(dev);
}

TEST(HidPath, FormatAndParse) {
    char out[ZK_HID_PATH_CAPACITY];
    ASSERT_EQ(ZK_Hid_formatPath("/dev/hidraw3", 0x0416, 0xB500, out, sizeof out), 1);
    EXPECT_STREQ(out, "/dev/hidraw3#vid_0416&pid_b500");
    char tiny[8];
    EXPECT_EQ(ZK_Hid_formatPath("/dev/hidraw3", 0x0416, 0xB500, tiny, sizeof tiny), 0);
    EXPECT_STREQ(tiny, "");

    ASSERT_EQ(ZK_Hid_pathNode("/dev/hidraw3#vid_0416&pid_b500", out, sizeof out), 1);
    EXPECT_STREQ(out, "/dev/hidraw3");
    ASSERT_EQ(ZK_Hid_pathNode("/dev/hidraw7", out, sizeof out), 1);
    EXPECT_STREQ(out, "/dev/hidraw7");
    EXPECT_EQ(ZK_Hid_pathNode("#vid_0416&pid_b500", out, sizeof out), 0);

    struct Case {
        const char* path;
        int ok;
        uint16_t vid, pid;
    };
    const Case cases[] = {
        {"/dev/hidraw3#vid_0416&pid_b500", 1, 0x0416, 0xB500},
        {"\\\\?\\hid#VID_0416&PID_B500#7&1a2b", 1, 0x0416, 0xB500},
        {"sim:x#vid_04zz&pid_b500", 0, 0, 0},
        {"sim:x#vid_0416&pid_b5", 0, 0, 0},
        {"/dev/hidraw3", 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        uint16_t vid = 0, pid = 0;
        EXPECT_EQ(ZK_Hid_pathIds(c.path, &vid, &pid), c.ok);
        EXPECT_EQ(vid, c.vid);
        EXPECT_EQ(pid, c.pid);
    }
}

TEST(HidLayer, HidrawWithoutHardware) {
    // No device here: enumeration finds none of its own and does not fail.
    const ZK_HidBackend* hidraw = ZK_Hid_hidrawBackend();
    ZK_HidDeviceInfo infos[4];
    EXPECT_GE(hidraw->enumerate(0x0416, 0xB500, infos, 4), 0);
    EXPECT_GE(ZK_Hid_enumerate(0x0416, 0xB500, infos, 4), 0);

    ZK_HidDevice device{};
    EXPECT_EQ(ZK_Hid_open("/dev/hidraw-none#vid_0416&pid_b500", &device), ZK_HID_ERR_NO_DEVICE);
    EXPECT_EQ(device.handle, nullptr);
    // Nodes that are no hidraw device are refused before hidapi sees them.
    testutil::TempDir dir;
    std::string plain = dir.file("plain");
    testutil::writeText(plain, "x");
    EXPECT_EQ(ZK_Hid_open((plain + "#vid_0416&pid_b500").c_str(), &device), ZK_HID_ERR_INVALID);
    EXPECT_EQ(ZK_Hid_open("/dev/null#vid_0416&pid_b500", &device), ZK_HID_ERR_INVALID);
    // Closing a zeroed record or a stale handle does nothing.
    ZK_Hid_close(&device);
    ZK_HidDevice stale{hidraw, (void*)(uintptr_t)0x4201};
    size_t count = 5;
    uint8_t report[65] = {};
    EXPECT_EQ(ZK_Hid_read(&stale, report, sizeof report, 0, &count), ZK_HID_ERR_NO_DEVICE);
    EXPECT_EQ(count, 0u);
    ZK_Hid_close(&stale);

    EXPECT_NE(std::string(ZK_Hid_describe(ZK_HID_ERR_ACCESS)).find("70-korvana.rules"),
              std::string::npos);
    EXPECT_NE(std::string(ZK_Hid_describe(ZK_HID_ERR_BUSY)), ZK_Hid_describe(-99));
}

} // namespace
