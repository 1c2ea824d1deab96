// libFuzzer target for what the device says back: the information read
// (main-setting slots, server setting, parameter forms, client block, date
// pages) and the dump, over a device whose every flash byte comes from the
// input and whose replies may be damaged.
//
// The device is a small stand-in registered as a HID backend ("fuzz:"): it
// answers each command at once, so that no input waits for a time-out.
//   build-fuzz/fuzz_device_info -max_total_time=300 /tmp/info-corpus
#include "app/core/client.h"
#include "device/link.h"
#include "platform/hid.h"
#include "support/log.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace {

struct FuzzDevice {
    const uint8_t* bytes = nullptr; // the input, exact-size heap copy
    size_t size = 0;
    uint8_t damage = 0; // bit 0: bad checksum on every 7th reply; bit 1: short data reports
    uint32_t replies = 0;
    std::deque<std::vector<uint8_t>> pending;
};
FuzzDevice g_device;

uint8_t flashByte(uint32_t address) {
    return g_device.size ? g_device.bytes[address % g_device.size] : 0xFF;
}

void queueReply(uint8_t code, uint32_t status, uint32_t value) {
    std::vector<uint8_t> r(65, 0xCC);
    r[0] = 0;
    uint8_t* b = &r[1];
    std::memset(b, 0, 27);
    b[0] = code;
    b[1] = 0x17;
    std::memcpy(b + 2, &status, 4);
    std::memcpy(b + 6, &value, 4);
    std::memcpy(b + 19, "HIDC", 4);
    uint32_t sum = 0;
    for (int i = 0; i < 23; ++i)
        sum += b[i];
    if ((g_device.damage & 1) && ++g_device.replies % 7 == 0)
        ++sum;
    std::memcpy(b + 23, &sum, 4);
    g_device.pending.push_back(r);
}

int fuzzEnumerate(uint16_t, uint16_t, ZK_HidDeviceInfo* out, int capacity) {
    if (capacity > 0) {
        std::memset(&out[0], 0, sizeof out[0]);
        std::strcpy(out[0].path, "fuzz:0#vid_0416&pid_b500");
        std::strcpy(out[0].backend, "fuzz");
        out[0].vendorId = 0x0416;
        out[0].productId = 0xB500;
    }
    return 1;
}
bool fuzzOwns(const char* path) {
    return std::strncmp(path, "fuzz:", 5) == 0;
}
int fuzzOpen(const char*, void** handle) {
    *handle = &g_device;
    return ZK_HID_OK;
}
int fuzzWrite(void*, const uint8_t* report, size_t length, size_t* count) {
    *count = length;
    if (length < 28)
        return ZK_HID_OK;
    const uint8_t* b = report + 1;
    uint32_t a, bb;
    std::memcpy(&a, b + 2, 4);
    std::memcpy(&bb, b + 6, 4);
    switch (b[0]) {
    case 0xF2: { // read: the pages, then the reply
        uint64_t address = (uint64_t)a * 256, length = (uint64_t)bb * 256;
        for (uint64_t at = 0; at < length && at < 0x10000; at += 64) {
            std::vector<uint8_t> r(65, 0);
            for (int i = 0; i < 64; ++i)
                r[1 + i] = flashByte((uint32_t)(address + at + i));
            if ((g_device.damage & 2) && at == 64)
                r.resize(17);
            g_device.pending.push_back(r);
        }
        queueReply(0xF2, 0, bb);
        break;
    }
    case 0xF7:
        queueReply(0xF7, 0, 1000u + flashByte(0x7) % 60u);
        break;
    case 0xFB:
        queueReply(0xFB, 0, (uint32_t)flashByte(0x9) << 16);
        break;
    case 0xF1:
    case 0xF3:
    case 0xF4:
    case 0xF9:
        queueReply(b[0], 0, 0);
        break;
    default:
        break; // data reports of a write
    }
    return ZK_HID_OK;
}
int fuzzRead(void*, uint8_t* report, size_t capacity, int, size_t* count) {
    *count = 0;
    if (g_device.pending.empty())
        return ZK_HID_ERR_TIMEOUT;
    std::vector<uint8_t> r = g_device.pending.front();
    g_device.pending.pop_front();
    size_t n = r.size() < capacity ? r.size() : capacity;
    std::memcpy(report, r.data(), n);
    *count = n;
    return ZK_HID_OK;
}
void fuzzClose(void*) {}

const ZK_HidBackend kFuzzBackend = {
    .name = "fuzz",
    .enumerate = fuzzEnumerate,
    .ownsPath = fuzzOwns,
    .open = fuzzOpen,
    .write = fuzzWrite,
    .read = fuzzRead,
    .close = fuzzClose,
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ZK_Log_setSink(nullptr, nullptr);
    return ZK_Hid_registerBackend(&kFuzzBackend) ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    // An exact-size heap copy, so that a read one past the input is caught.
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(size - 1 ? size - 1 : 1));
    std::memcpy(copy, data + 1, size - 1);
    g_device.bytes = copy;
    g_device.size = size - 1;
    g_device.damage = data[0];
    g_device.replies = 0;
    g_device.pending.clear();

    DeviceLink* link = ZK_Link_create(IsDeviceClientAccepted, nullptr, nullptr, nullptr);
    int hid = 0;
    if (link && ZK_Link_attach(link, "fuzz:0#vid_0416&pid_b500", &hid) != ZK_ATTACH_NO_DEVICE) {
        char board[8], client[ZK_CLIENT_TEXT_CAPACITY];
        ZK_Link_boardText(link, board, sizeof board);
        ZK_Link_clientText(link, client);
        (void)ZK_Link_dumpInfo("/dev/null", link);
    }
    ZK_Link_release(link);
    std::free(copy);
    return 0;
}
