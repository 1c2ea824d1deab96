// HID layer: the backend registry and the dispatch of each call to the
// backend that owns the device.
#include "platform/hid.h"

#include "support/clock.h"
#include "support/log.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr int kMaxBackends = 8;
// udev applies the uaccess tag shortly after the node appears.
constexpr uint32_t kAccessRetryMs = 1000;
constexpr uint32_t kAccessRetryStepMs = 100;

std::mutex g_registryLock;
const ZK_HidBackend* g_backends[kMaxBackends];
int g_backendCount = 0;
bool g_registryReady = false;

void ensureRegistryLocked() {
    if (g_registryReady)
        return;
    g_registryReady = true;
    g_backends[g_backendCount++] = ZK_Hid_hidrawBackend();
}

// The registered backends with hidraw last, so that simulated devices are
// listed and matched first. Returns the count copied.
int snapshotBackends(const ZK_HidBackend** out) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    ensureRegistryLocked();
    const ZK_HidBackend* hidraw = ZK_Hid_hidrawBackend();
    int n = 0;
    bool haveHidraw = false;
    for (int i = 0; i < g_backendCount; ++i) {
        if (g_backends[i] == hidraw)
            haveHidraw = true;
        else
            out[n++] = g_backends[i];
    }
    if (haveHidraw)
        out[n++] = hidraw;
    return n;
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c - 'A' + 10;
}

bool startsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        char a = *text, b = *prefix;
        if (a >= 'A' && a <= 'Z')
            a = (char)(a - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

// Four hex digits at `text` (which must hold them); -1 when they are not.
int readHex4(const char* text) {
    int value = 0;
    for (int i = 0; i < 4; ++i) {
        if (!isHexDigit(text[i]))
            return -1;
        value = value * 16 + hexValue(text[i]);
    }
    return value;
}

} // namespace

int ZK_Hid_registerBackend(const ZK_HidBackend* backend) {
    if (!backend)
        return 0;
    std::lock_guard<std::mutex> guard(g_registryLock);
    ensureRegistryLocked();
    for (int i = 0; i < g_backendCount; ++i)
        if (g_backends[i] == backend)
            return 1;
    if (g_backendCount >= kMaxBackends)
        return 0;
    g_backends[g_backendCount++] = backend;
    return 1;
}

void ZK_Hid_unregisterBackend(const ZK_HidBackend* backend) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    ensureRegistryLocked();
    for (int i = 0; i < g_backendCount; ++i) {
        if (g_backends[i] != backend)
            continue;
        for (int j = i + 1; j < g_backendCount; ++j)
            g_backends[j - 1] = g_backends[j];
        g_backends[--g_backendCount] = nullptr;
        return;
    }
}

int ZK_Hid_enumerate(uint16_t vendorId, uint16_t productId, ZK_HidDeviceInfo* out, int capacity) {
    if (capacity < 0 || (capacity > 0 && !out))
        return ZK_HID_ERR_INVALID;
    const ZK_HidBackend* backends[kMaxBackends];
    int backendCount = snapshotBackends(backends);
    int total = 0, stored = 0, firstError = 0, failures = 0;
    for (int i = 0; i < backendCount; ++i) {
        if (!backends[i]->enumerate)
            continue;
        int room = capacity - stored;
        int found = backends[i]->enumerate(vendorId, productId, room > 0 ? out + stored : nullptr,
                                           room > 0 ? room : 0);
        if (found < 0) {
            // One failing backend must not hide the devices of the others.
            ZK_LOG("enumerate on %s failed: %d", backends[i]->name, found);
            if (!firstError)
                firstError = found;
            ++failures;
            continue;
        }
        stored += found < room ? found : (room > 0 ? room : 0);
        total += found;
    }
    if (failures > 0 && failures == backendCount)
        return firstError;
    return total;
}

int ZK_Hid_open(const char* path, ZK_HidDevice* device) {
    if (!device)
        return ZK_HID_ERR_INVALID;
    device->backend = nullptr;
    device->handle = nullptr;
    if (!path || !*path)
        return ZK_HID_ERR_INVALID;
    const ZK_HidBackend* backends[kMaxBackends];
    int backendCount = snapshotBackends(backends);
    const ZK_HidBackend* owner = nullptr;
    for (int i = 0; i < backendCount && !owner; ++i)
        if (backends[i]->ownsPath && backends[i]->ownsPath(path))
            owner = backends[i];
    if (!owner || !owner->open)
        return ZK_HID_ERR_INVALID;

    uint32_t start = ZK_Clock_tickMs();
    void* handle = nullptr;
    int rc;
    for (;;) {
        rc = owner->open(path, &handle);
        if (rc != ZK_HID_ERR_ACCESS || ZK_Clock_tickMs() - start >= kAccessRetryMs)
            break;
        ZK_Clock_sleepMs(kAccessRetryStepMs);
    }
    if (rc != ZK_HID_OK)
        return rc;
    device->backend = owner;
    device->handle = handle;
    return ZK_HID_OK;
}

int ZK_Hid_write(ZK_HidDevice* device, const uint8_t* report, size_t length, size_t* count) {
    size_t dummy = 0;
    size_t* moved = count ? count : &dummy;
    *moved = 0;
    if (!device || !device->backend || !device->handle)
        return ZK_HID_ERR_NO_DEVICE;
    if (!report || length == 0)
        return ZK_HID_ERR_INVALID;
    return device->backend->write(device->handle, report, length, moved);
}

int ZK_Hid_read(ZK_HidDevice* device, uint8_t* report, size_t capacity, int timeoutMs,
                size_t* count) {
    size_t dummy = 0;
    size_t* moved = count ? count : &dummy;
    *moved = 0;
    if (!device || !device->backend || !device->handle)
        return ZK_HID_ERR_NO_DEVICE;
    if (!report || capacity < 2)
        return ZK_HID_ERR_INVALID;
    return device->backend->read(device->handle, report, capacity, timeoutMs, moved);
}

void ZK_Hid_close(ZK_HidDevice* device) {
    if (!device)
        return;
    if (device->backend && device->handle && device->backend->close)
        device->backend->close(device->handle);
    device->backend = nullptr;
    device->handle = nullptr;
}

const char* ZK_Hid_describe(int result) {
    switch (result) {
    case ZK_HID_OK:
        return "OK.";
    case ZK_HID_ERR_IO:
        return "The transfer to the device failed.";
    case ZK_HID_ERR_TIMEOUT:
        return "The device did not answer in time.";
    case ZK_HID_ERR_ACCESS:
        return "Permission denied opening /dev/hidraw*: install packaging/70-korvana.rules into "
               "the udev rules directory (e.g. /etc/udev/rules.d), run 'udevadm control --reload', "
               "then unplug and replug the device.";
    case ZK_HID_ERR_NO_DEVICE:
        return "The device is not connected.";
    case ZK_HID_ERR_NO_MEMORY:
        return "Out of memory.";
    case ZK_HID_ERR_INVALID:
        return "Invalid device path or argument.";
    case ZK_HID_ERR_BUSY:
        return "The device is in use by another program (is another Korvana tool running?); "
               "close it and try again.";
    default:
        return "Unknown device error.";
    }
}

int ZK_Hid_formatPath(const char* node, uint16_t vendorId, uint16_t productId, char* out,
                      size_t capacity) {
    if (!out || capacity == 0)
        return 0;
    out[0] = '\0';
    if (!node || !*node)
        return 0;
    int n = std::snprintf(out, capacity, "%s#vid_%04x&pid_%04x", node, (unsigned)vendorId,
                          (unsigned)productId);
    if (n < 0 || (size_t)n >= capacity) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}

int ZK_Hid_pathNode(const char* path, char* out, size_t capacity) {
    if (!out || capacity == 0)
        return 0;
    out[0] = '\0';
    if (!path)
        return 0;
    const char* hash = std::strchr(path, '#');
    size_t length = hash ? (size_t)(hash - path) : std::strlen(path);
    if (length == 0 || length >= capacity)
        return 0;
    std::memcpy(out, path, length);
    out[length] = '\0';
    return 1;
}

int ZK_Hid_pathIds(const char* path, uint16_t* vendorId, uint16_t* productId) {
    if (!path)
        return 0;
    // "vid_XXXX&pid_XXXX" is 17 characters.
    size_t length = std::strlen(path);
    for (size_t i = 0; i + 17 <= length; ++i) {
        const char* p = path + i;
        if (!startsWithNoCase(p, "vid_") || !startsWithNoCase(p + 8, "&pid_"))
            continue;
        int vid = readHex4(p + 4), pid = readHex4(p + 13);
        if (vid < 0 || pid < 0)
            continue;
        if (vendorId)
            *vendorId = (uint16_t)vid;
        if (productId)
            *productId = (uint16_t)pid;
        return 1;
    }
    return 0;
}
