// The hidraw backend: the real device through hidapi's hidraw backend.
//
// Handles given out are slot numbers with a generation, never pointers, and
// each open device is reference counted: a call running on one thread keeps
// its device alive while another thread closes it, and a stale handle only
// yields ZK_HID_ERR_NO_DEVICE. Reads wait in short slices so that a close is
// noticed promptly.
#include "platform/hid.h"

#include "support/log.h"
#include "support/mem.h"
#include "support/str.h"

#include <hidapi/hidapi.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <mutex>
#include <new>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kSlots = 32;
constexpr int kReadSliceMs = 50;

struct HidrawDevice {
    hid_device* dev;
    int lockFd; // -1 when no lock file could be had
    std::atomic<int> refs;
    std::atomic<bool> closing;
};

struct Slot {
    HidrawDevice* device;
    uint32_t generation;
};

std::mutex g_tableLock;
Slot g_slots[kSlots];
std::once_flag g_initOnce;
bool g_initOk = false;

void initHidapi() {
    std::call_once(g_initOnce, [] { g_initOk = hid_init() == 0; });
}

int mapErrno(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
        return ZK_HID_ERR_ACCESS;
    case 0: // hidapi saw a hang-up on the node: the device went away
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case ESHUTDOWN:
        return ZK_HID_ERR_NO_DEVICE;
    case EBUSY:
        return ZK_HID_ERR_BUSY;
    case ENOMEM:
        return ZK_HID_ERR_NO_MEMORY;
    case EINVAL:
    case ENAMETOOLONG:
        return ZK_HID_ERR_INVALID;
    default:
        return ZK_HID_ERR_IO;
    }
}

void* encodeHandle(int slot, uint32_t generation) {
    return (void*)(uintptr_t)(((uintptr_t)generation << 8) | (uintptr_t)(slot + 1));
}

// Takes a reference on the device behind `handle`; none when it is stale or
// being closed.
HidrawDevice* acquire(void* handle) {
    uintptr_t value = (uintptr_t)handle;
    int slot = (int)(value & 0xFF) - 1;
    uint32_t generation = (uint32_t)(value >> 8);
    if (slot < 0 || slot >= kSlots)
        return nullptr;
    std::lock_guard<std::mutex> guard(g_tableLock);
    HidrawDevice* device = g_slots[slot].device;
    if (!device || g_slots[slot].generation != generation || device->closing.load())
        return nullptr;
    device->refs.fetch_add(1);
    return device;
}

void release(HidrawDevice* device) {
    if (device->refs.fetch_sub(1) != 1)
        return;
    hid_close(device->dev);
    if (device->lockFd >= 0)
        close(device->lockFd); // drops the flock
    device->~HidrawDevice();
    ZK_Mem_free(device);
}

// The per-device lock: hidraw is not exclusive, so two tools on one device
// would each see the other's replies. Returns the locked descriptor, -1 when
// no lock file can be had (the open goes on unguarded), or -2 when another
// process holds it.
int takeDeviceLock(const char* node) {
    char name[ZK_HID_PATH_CAPACITY + 16] = "hid";
    size_t at = std::strlen(name);
    for (const char* p = node; *p && at + 6 < sizeof name; ++p)
        name[at++] = (*p == '/') ? '_' : *p;
    name[at] = '\0';
    ZK_Str_append(".lock", sizeof name, name);
    char lockPath[ZK_PATH_TEMP_CAPACITY];
    if (!ZK_Path_temp(lockPath, name)) {
        ZK_LOG("no private directory for the device lock of %s", node);
        return -1;
    }
    int fd = open(lockPath, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        ZK_LOG("cannot open lock file %s: %s", lockPath, std::strerror(errno));
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        close(fd);
        if (error == EWOULDBLOCK)
            return -2;
        ZK_LOG("cannot lock %s: %s", lockPath, std::strerror(error));
        return -1;
    }
    return fd;
}

int hidrawEnumerate(uint16_t vendorId, uint16_t productId, ZK_HidDeviceInfo* out, int capacity) {
    initHidapi();
    if (!g_initOk)
        return ZK_HID_ERR_IO;
    hid_device_info* list = hid_enumerate(vendorId, productId);
    int found = 0;
    for (hid_device_info* it = list; it; it = it->next) {
        if (!it->path || !*it->path)
            continue;
        if (found < capacity) {
            ZK_HidDeviceInfo& info = out[found];
            std::memset(&info, 0, sizeof info);
            if (!ZK_Hid_formatPath(it->path, it->vendor_id, it->product_id, info.path,
                                   sizeof info.path))
                continue;
            ZK_Str_copy(sizeof info.backend, "hidraw", info.backend, 0);
            info.vendorId = it->vendor_id;
            info.productId = it->product_id;
        }
        ++found;
    }
    hid_free_enumeration(list);
    return found;
}

bool hidrawOwnsPath(const char* path) {
    return path && path[0] == '/';
}

int hidrawOpen(const char* path, void** handle) {
    if (!handle)
        return ZK_HID_ERR_INVALID;
    *handle = nullptr;
    char node[ZK_HID_PATH_CAPACITY];
    if (!ZK_Hid_pathNode(path, node, sizeof node))
        return ZK_HID_ERR_INVALID;
    initHidapi();
    if (!g_initOk)
        return ZK_HID_ERR_IO;

    // hidapi keeps no errno of a failed open, and its 0.13 open path crashes
    // on a node that is no hidraw device: try and check the node ourselves.
    int probe = open(node, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (probe < 0)
        return mapErrno(errno);
    struct stat st;
    int descriptorSize = 0;
    int rc = ZK_HID_OK;
    if (fstat(probe, &st) != 0)
        rc = mapErrno(errno);
    else if (!S_ISCHR(st.st_mode))
        rc = ZK_HID_ERR_INVALID;
    else if (ioctl(probe, HIDIOCGRDESCSIZE, &descriptorSize) < 0)
        rc = (errno == ENOTTY || errno == EINVAL) ? ZK_HID_ERR_INVALID : mapErrno(errno);
    close(probe);
    if (rc != ZK_HID_OK)
        return rc;

    int lockFd = takeDeviceLock(node);
    if (lockFd == -2)
        return ZK_HID_ERR_BUSY;

    hid_device* dev = hid_open_path(node);
    if (!dev) {
        rc = ZK_HID_ERR_IO;
        probe = open(node, O_RDWR | O_CLOEXEC | O_NONBLOCK);
        if (probe < 0)
            rc = mapErrno(errno);
        else
            close(probe);
        if (lockFd >= 0)
            close(lockFd);
        return rc;
    }

    void* memory = ZK_Mem_calloc(1, sizeof(HidrawDevice));
    if (!memory) {
        hid_close(dev);
        if (lockFd >= 0)
            close(lockFd);
        return ZK_HID_ERR_NO_MEMORY;
    }
    HidrawDevice* device = new (memory) HidrawDevice;
    device->dev = dev;
    device->lockFd = lockFd;
    device->refs.store(1);
    device->closing.store(false);

    std::lock_guard<std::mutex> guard(g_tableLock);
    for (int i = 0; i < kSlots; ++i) {
        if (g_slots[i].device)
            continue;
        g_slots[i].device = device;
        g_slots[i].generation = (g_slots[i].generation + 1) & 0xFFFFFFu;
        if (g_slots[i].generation == 0)
            g_slots[i].generation = 1;
        *handle = encodeHandle(i, g_slots[i].generation);
        return ZK_HID_OK;
    }
    // Every slot taken: undo without the table lock's help.
    device->refs.store(0);
    hid_close(dev);
    if (lockFd >= 0)
        close(lockFd);
    device->~HidrawDevice();
    ZK_Mem_free(device);
    return ZK_HID_ERR_NO_MEMORY;
}

int hidrawWrite(void* handle, const uint8_t* report, size_t length, size_t* count) {
    *count = 0;
    HidrawDevice* device = acquire(handle);
    if (!device)
        return ZK_HID_ERR_NO_DEVICE;
    errno = 0;
    int n = hid_write(device->dev, report, length);
    int error = errno;
    release(device);
    if (n < 0)
        return mapErrno(error == 0 ? EIO : error);
    *count = (size_t)n;
    return (size_t)n == length ? ZK_HID_OK : ZK_HID_ERR_IO;
}

int hidrawRead(void* handle, uint8_t* report, size_t capacity, int timeoutMs, size_t* count) {
    *count = 0;
    HidrawDevice* device = acquire(handle);
    if (!device)
        return ZK_HID_ERR_NO_DEVICE;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    int rc = ZK_HID_ERR_TIMEOUT;
    report[0] = 0; // hidapi leaves the report id out of unnumbered reports
    for (;;) {
        if (device->closing.load()) {
            rc = ZK_HID_ERR_NO_DEVICE;
            break;
        }
        int slice = kReadSliceMs;
        if (timeoutMs >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left < slice)
                slice = left > 0 ? (int)left : 0;
        }
        errno = 0;
        int n = hid_read_timeout(device->dev, report + 1, capacity - 1, slice);
        if (n > 0) {
            *count = (size_t)n + 1;
            rc = ZK_HID_OK;
            break;
        }
        if (n < 0) {
            rc = mapErrno(errno);
            break;
        }
        if (timeoutMs >= 0 && Clock::now() >= deadline)
            break;
    }
    release(device);
    return rc;
}

void hidrawClose(void* handle) {
    uintptr_t value = (uintptr_t)handle;
    int slot = (int)(value & 0xFF) - 1;
    uint32_t generation = (uint32_t)(value >> 8);
    if (slot < 0 || slot >= kSlots)
        return;
    HidrawDevice* device = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_tableLock);
        if (!g_slots[slot].device || g_slots[slot].generation != generation)
            return;
        device = g_slots[slot].device;
        g_slots[slot].device = nullptr;
        device->closing.store(true);
    }
    // A running read or write holds its own reference and closes the device
    // when it returns.
    release(device);
}

const ZK_HidBackend g_hidrawBackend = {
    .name = "hidraw",
    .enumerate = hidrawEnumerate,
    .ownsPath = hidrawOwnsPath,
    .open = hidrawOpen,
    .write = hidrawWrite,
    .read = hidrawRead,
    .close = hidrawClose,
};

} // namespace

const ZK_HidBackend* ZK_Hid_hidrawBackend() {
    return &g_hidrawBackend;
}
