// The libudev monitor and the mount-table watch on one thread, woken for its
// stop through an eventfd so that stopping never waits for the next event.
#include "platform/udev_monitor.h"

#include "platform/storage.h"
#include "support/log.h"
#include "support/mem.h"
#include "support/str.h"

#include <libudev.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

constexpr int kKnownHidraw = 32;
constexpr int kKnownMounts = 1024;
constexpr size_t kMountChunk = 16384;
constexpr size_t kMountTableLimit = 16u << 20; // a table larger than this is not read
constexpr int kMonitorBuffer = 1 << 20;

struct KnownHidraw {
    char devnode[ZK_UDEV_NODE_CAPACITY];
    uint16_t vendorId;
    uint16_t productId;
};

} // namespace

struct ZK_UdevMonitor {
    ZK_UdevEventFn fn;
    void* user;
    struct udev* udev;
    struct udev_monitor* monitor;
    int wakeFd;
    int mountFd; // -1 when the mount table cannot be watched
    pthread_t thread;
    bool threadStarted;
    // Used by the monitor thread only (filled before it starts).
    KnownHidraw hidraw[kKnownHidraw];
    int mountIds[kKnownMounts];
    int mountIdCount;
};

namespace {

int parseHex16(const char* text, uint16_t* out) {
    if (!text || !*text)
        return 0;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 16);
    if (end == text || value > 0xFFFF)
        return 0;
    *out = (uint16_t)value;
    return 1;
}

// Ids of a hidraw node from its USB parent, or (uhid and other buses) from
// the HID parent's HID_ID "BBBB:VVVVVVVV:PPPPPPPP".
int hidrawIds(struct udev_device* device, uint16_t* vendorId, uint16_t* productId) {
    struct udev_device* usb =
        udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
    if (usb && parseHex16(udev_device_get_sysattr_value(usb, "idVendor"), vendorId) &&
        parseHex16(udev_device_get_sysattr_value(usb, "idProduct"), productId))
        return 1;
    struct udev_device* hid = udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr);
    const char* id = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr;
    if (!id)
        return 0;
    unsigned bus = 0;
    unsigned long vendor = 0, product = 0;
    if (std::sscanf(id, "%x:%lx:%lx", &bus, &vendor, &product) != 3 || vendor > 0xFFFF ||
        product > 0xFFFF)
        return 0;
    *vendorId = (uint16_t)vendor;
    *productId = (uint16_t)product;
    return 1;
}

// PRODUCT=vendor/product/release of a USB device's own event (kept on removal).
int usbIds(struct udev_device* device, uint16_t* vendorId, uint16_t* productId) {
    const char* product = udev_device_get_property_value(device, "PRODUCT");
    unsigned long vendor = 0, id = 0;
    if (!product || std::sscanf(product, "%lx/%lx", &vendor, &id) != 2 || vendor > 0xFFFF ||
        id > 0xFFFF)
        return 0;
    *vendorId = (uint16_t)vendor;
    *productId = (uint16_t)id;
    return 1;
}

void rememberHidraw(ZK_UdevMonitor* m, const char* devnode, uint16_t vendorId, uint16_t productId) {
    int freeSlot = -1;
    for (int i = 0; i < kKnownHidraw; ++i) {
        if (std::strcmp(m->hidraw[i].devnode, devnode) == 0) {
            freeSlot = i;
            break;
        }
        if (freeSlot < 0 && !m->hidraw[i].devnode[0])
            freeSlot = i;
    }
    if (freeSlot < 0)
        return; // more nodes than anyone plugs: their removals then carry no ids
    ZK_Str_copy(sizeof m->hidraw[freeSlot].devnode, devnode, m->hidraw[freeSlot].devnode, 0);
    m->hidraw[freeSlot].vendorId = vendorId;
    m->hidraw[freeSlot].productId = productId;
}

int forgetHidraw(ZK_UdevMonitor* m, const char* devnode, uint16_t* vendorId, uint16_t* productId) {
    for (int i = 0; i < kKnownHidraw; ++i) {
        if (m->hidraw[i].devnode[0] && std::strcmp(m->hidraw[i].devnode, devnode) == 0) {
            *vendorId = m->hidraw[i].vendorId;
            *productId = m->hidraw[i].productId;
            m->hidraw[i].devnode[0] = '\0';
            return 1;
        }
    }
    return 0;
}

void learnPresentHidraw(ZK_UdevMonitor* m) {
    struct udev_enumerate* list = udev_enumerate_new(m->udev);
    if (!list)
        return;
    if (udev_enumerate_add_match_subsystem(list, "hidraw") >= 0 &&
        udev_enumerate_scan_devices(list) >= 0) {
        struct udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(list)) {
            struct udev_device* device =
                udev_device_new_from_syspath(m->udev, udev_list_entry_get_name(entry));
            if (!device)
                continue;
            const char* node = udev_device_get_devnode(device);
            uint16_t vendorId = 0, productId = 0;
            if (node && hidrawIds(device, &vendorId, &productId))
                rememberHidraw(m, node, vendorId, productId);
            udev_device_unref(device);
        }
    }
    udev_enumerate_unref(list);
}

void handleDevice(ZK_UdevMonitor* m, struct udev_device* device) {
    const char* action = udev_device_get_action(device);
    ZK_UdevEvent event;
    std::memset(&event, 0, sizeof event);
    if (action && std::strcmp(action, "add") == 0)
        event.action = ZK_UDEV_ADD;
    else if (action && std::strcmp(action, "remove") == 0)
        event.action = ZK_UDEV_REMOVE;
    else
        return; // change, bind, unbind, move: not an arrival or a removal
    const char* subsystem = udev_device_get_subsystem(device);
    const char* devtype = udev_device_get_devtype(device);
    const char* node = udev_device_get_devnode(device);
    const char* syspath = udev_device_get_syspath(device);
    ZK_Str_copy(sizeof event.subsystem, subsystem ? subsystem : "", event.subsystem, 0);
    ZK_Str_copy(sizeof event.devtype, devtype ? devtype : "", event.devtype, 0);
    ZK_Str_copy(sizeof event.syspath, syspath ? syspath : "", event.syspath, 0);
    if (!node && subsystem && std::strcmp(subsystem, "net") == 0)
        node = udev_device_get_sysname(device);
    ZK_Str_copy(sizeof event.devnode, node ? node : "", event.devnode, 0);

    if (std::strcmp(event.subsystem, "hidraw") == 0 && event.devnode[0]) {
        if (event.action == ZK_UDEV_ADD) {
            event.hasIds = hidrawIds(device, &event.vendorId, &event.productId);
            if (event.hasIds)
                rememberHidraw(m, event.devnode, event.vendorId, event.productId);
        } else {
            // The parent is gone from sysfs by now: use what the arrival told.
            event.hasIds = forgetHidraw(m, event.devnode, &event.vendorId, &event.productId);
        }
    } else if (std::strcmp(event.subsystem, "usb") == 0) {
        event.hasIds = usbIds(device, &event.vendorId, &event.productId);
    }
    m->fn(m->user, &event);
}

// Reads the whole mount table from the watched descriptor into a counted
// block (terminated). None when it cannot be read.
char* readMountTable(int fd) {
    size_t capacity = kMountChunk, length = 0;
    char* text = static_cast<char*>(ZK_Mem_alloc(capacity + 1));
    if (!text)
        return nullptr;
    for (;;) {
        if (length == capacity) {
            if (capacity >= kMountTableLimit) {
                ZK_Mem_free(text);
                return nullptr;
            }
            char* bigger = static_cast<char*>(ZK_Mem_alloc(capacity * 2 + 1));
            if (!bigger) {
                ZK_Mem_free(text);
                return nullptr;
            }
            std::memcpy(bigger, text, length);
            ZK_Mem_free(text);
            text = bigger;
            capacity *= 2;
        }
        ssize_t n = pread(fd, text + length, capacity - length, (off_t)length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ZK_Mem_free(text);
            return nullptr;
        }
        if (n == 0)
            break;
        length += (size_t)n;
    }
    text[length] = '\0';
    return text;
}

bool knownMount(const int* ids, int count, int id) {
    for (int i = 0; i < count; ++i)
        if (ids[i] == id)
            return true;
    return false;
}

// Re-reads the mount table; reports each new mount of a device node as an
// arrival (`report` false: only learn the present ones).
void scanMounts(ZK_UdevMonitor* m, bool report) {
    char* table = readMountTable(m->mountFd);
    if (!table)
        return;
    int* ids = static_cast<int*>(ZK_Mem_calloc(kKnownMounts, sizeof(int)));
    if (!ids) {
        ZK_Mem_free(table);
        return;
    }
    int count = 0;
    for (char* line = table; *line;) {
        char* end = std::strchr(line, '\n');
        if (end)
            *end = '\0';
        ZK_MountLine mount;
        if (ZK_Storage_parseMountLine(line, &mount)) {
            if (count < kKnownMounts)
                ids[count++] = mount.id;
            if (report && std::strncmp(mount.source, "/dev/", 5) == 0 &&
                std::strlen(mount.source) < ZK_UDEV_NODE_CAPACITY &&
                !knownMount(m->mountIds, m->mountIdCount, mount.id)) {
                ZK_UdevEvent event;
                std::memset(&event, 0, sizeof event);
                event.action = ZK_UDEV_ADD;
                ZK_Str_copy(sizeof event.subsystem, "mount", event.subsystem, 0);
                ZK_Str_copy(sizeof event.devnode, mount.source, event.devnode, 0);
                m->fn(m->user, &event);
            }
        }
        if (!end)
            break;
        line = end + 1;
    }
    std::memcpy(m->mountIds, ids, sizeof(int) * (size_t)count);
    m->mountIdCount = count;
    ZK_Mem_free(ids);
    ZK_Mem_free(table);
}

void* monitorLoop(void* arg) {
    auto* m = static_cast<ZK_UdevMonitor*>(arg);
    int udevFd = udev_monitor_get_fd(m->monitor);
    for (;;) {
        struct pollfd fds[3] = {
            {.fd = m->wakeFd, .events = POLLIN, .revents = 0},
            {.fd = udevFd, .events = POLLIN, .revents = 0},
            {.fd = m->mountFd, .events = POLLPRI, .revents = 0}, // -1 is ignored by poll
        };
        int n = poll(fds, 3, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ZK_LOG("device monitor: poll failed: %s", std::strerror(errno));
            return nullptr;
        }
        if (fds[0].revents)
            return nullptr;
        if (fds[1].revents & POLLIN) {
            while (struct udev_device* device = udev_monitor_receive_device(m->monitor)) {
                handleDevice(m, device);
                udev_device_unref(device);
            }
        } else if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            ZK_LOG("device monitor: the udev socket failed");
            return nullptr;
        }
        if (fds[2].revents & (POLLPRI | POLLERR))
            scanMounts(m, true);
    }
}

void destroy(ZK_UdevMonitor* m) {
    if (m->monitor)
        udev_monitor_unref(m->monitor);
    if (m->udev)
        udev_unref(m->udev);
    if (m->wakeFd >= 0)
        close(m->wakeFd);
    if (m->mountFd >= 0)
        close(m->mountFd);
    m->~ZK_UdevMonitor();
    ZK_Mem_free(m);
}

} // namespace

ZK_UdevMonitor* ZK_UdevMonitor_start(ZK_UdevEventFn fn, void* user, int* result) {
    auto fail = [result](ZK_UdevMonitor* m, int code) -> ZK_UdevMonitor* {
        if (result)
            *result = code;
        if (m)
            destroy(m);
        return nullptr;
    };
    if (result)
        *result = ZK_UDEV_OK;
    if (!fn)
        return fail(nullptr, ZK_UDEV_ERR_MONITOR);
    void* memory = ZK_Mem_calloc(1, sizeof(ZK_UdevMonitor));
    if (!memory)
        return fail(nullptr, ZK_UDEV_ERR_NO_MEMORY);
    auto* m = new (memory) ZK_UdevMonitor;
    m->fn = fn;
    m->user = user;
    m->wakeFd = -1;
    m->mountFd = -1;

    m->udev = udev_new();
    if (!m->udev)
        return fail(m, ZK_UDEV_ERR_MONITOR);
    m->monitor = udev_monitor_new_from_netlink(m->udev, "udev");
    if (!m->monitor)
        return fail(m, ZK_UDEV_ERR_MONITOR);
    static const char* const subsystems[] = {"usb", "block", "hidraw", "net"};
    for (const char* subsystem : subsystems)
        if (udev_monitor_filter_add_match_subsystem_devtype(m->monitor, subsystem, nullptr) < 0)
            return fail(m, ZK_UDEV_ERR_MONITOR);
    (void)udev_monitor_set_receive_buffer_size(m->monitor, kMonitorBuffer); // best effort
    if (udev_monitor_enable_receiving(m->monitor) < 0)
        return fail(m, ZK_UDEV_ERR_MONITOR);
    // Received until empty after each wake-up: it must never block.
    int udevFd = udev_monitor_get_fd(m->monitor);
    int flags = fcntl(udevFd, F_GETFL);
    if (flags < 0 || fcntl(udevFd, F_SETFL, flags | O_NONBLOCK) < 0)
        return fail(m, ZK_UDEV_ERR_MONITOR);
    learnPresentHidraw(m);

    m->mountFd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (m->mountFd >= 0)
        scanMounts(m, false);
    else
        ZK_LOG("device monitor: mount table not watched: %s", std::strerror(errno));

    m->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m->wakeFd < 0)
        return fail(m, ZK_UDEV_ERR_THREAD);
    if (pthread_create(&m->thread, nullptr, monitorLoop, m) != 0)
        return fail(m, ZK_UDEV_ERR_THREAD);
    m->threadStarted = true;
    return m;
}

void ZK_UdevMonitor_stop(ZK_UdevMonitor* monitor) {
    if (!monitor)
        return;
    uint64_t one = 1;
    while (write(monitor->wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    if (monitor->threadStarted)
        pthread_join(monitor->thread, nullptr);
    destroy(monitor);
}
