// Device discovery over the HID layer, the storage layer and the device
// monitor; no system calls of its own.
#include "device/detect.h"

#include "platform/udev_monitor.h"
#include "support/log.h"
#include "support/mem.h"
#include "support/str.h"

#include <cctype>
#include <cstring>
#include <mutex>
#include <new>
#include <strings.h>

struct ZK_DetectRegistration {
    ZK_DetectReceiver receiver;
    void* user;
    ZK_UdevMonitor* monitor;
    ZK_DetectRegistration* next;
};

namespace {

constexpr char kDiskFormVendor[] = "korvtag";
constexpr int kHidCapacity = 16;

// Live registrations; deliveries run under this lock so that none reaches a
// registration after its unregister has taken it out.
std::mutex g_registrations;
ZK_DetectRegistration* g_first = nullptr;

bool isLive(const ZK_DetectRegistration* registration) {
    for (const ZK_DetectRegistration* r = g_first; r; r = r->next)
        if (r == registration)
            return true;
    return false;
}

void deliverTo(ZK_DetectRegistration* registration, const ZK_DeviceNotification* notification) {
    std::lock_guard<std::mutex> guard(g_registrations);
    if (isLive(registration))
        registration->receiver(registration->user, notification);
}

// The monitor's thread: a udev (or mount) event becomes a notification.
void onUdevEvent(void* user, const ZK_UdevEvent* event) {
    ZK_DeviceNotification n;
    std::memset(&n, 0, sizeof n);
    n.event = event->action == ZK_UDEV_ADD ? ZK_DETECT_ARRIVAL : ZK_DETECT_REMOVE_COMPLETE;
    ZK_Str_copy(sizeof n.subsystem, event->subsystem, n.subsystem, 0);
    ZK_Str_copy(sizeof n.devtype, event->devtype, n.devtype, 0);
    if (std::strcmp(event->subsystem, "hidraw") == 0 && event->hasIds && event->devnode[0]) {
        if (!ZK_Hid_formatPath(event->devnode, event->vendorId, event->productId, n.path,
                               sizeof n.path))
            n.path[0] = '\0';
    } else {
        ZK_Str_copy(sizeof n.path, event->devnode[0] ? event->devnode : event->syspath, n.path, 0);
    }
    deliverTo(static_cast<ZK_DetectRegistration*>(user), &n);
}

int normalizedIsDiskForm(const char* vendor) {
    char text[ZK_STORAGE_TEXT_CAPACITY];
    ZK_Detect_normalizeVendor(vendor, text, sizeof text);
    return strcasecmp(text, kDiskFormVendor) == 0;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isPrintable(unsigned char c) {
    return c >= 0x20 && c < 0x7F;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

ZK_DetectRegistration* ZK_Detect_registerNotifications(ZK_DetectReceiver receiver, void* user,
                                                       int followSystem, int* udevResult) {
    if (udevResult)
        *udevResult = ZK_UDEV_OK;
    if (!receiver)
        return nullptr;
    auto* registration =
        static_cast<ZK_DetectRegistration*>(ZK_Mem_calloc(1, sizeof(ZK_DetectRegistration)));
    if (!registration) {
        if (udevResult)
            *udevResult = ZK_UDEV_ERR_NO_MEMORY;
        return nullptr;
    }
    registration->receiver = receiver;
    registration->user = user;
    {
        // Live before the monitor starts, so that its first event is not lost.
        std::lock_guard<std::mutex> guard(g_registrations);
        registration->next = g_first;
        g_first = registration;
    }
    if (followSystem) {
        int rc = ZK_UDEV_OK;
        ZK_UdevMonitor* monitor = ZK_UdevMonitor_start(onUdevEvent, registration, &rc);
        if (!monitor) {
            ZK_LOG("device changes cannot be followed (monitor %d)", rc);
            if (udevResult)
                *udevResult = rc;
            ZK_Detect_unregisterNotifications(registration);
            return nullptr;
        }
        std::lock_guard<std::mutex> guard(g_registrations);
        registration->monitor = monitor;
    }
    return registration;
}

void ZK_Detect_unregisterNotifications(ZK_DetectRegistration* registration) {
    if (!registration)
        return;
    ZK_UdevMonitor* monitor;
    {
        std::lock_guard<std::mutex> guard(g_registrations);
        for (ZK_DetectRegistration** p = &g_first; *p; p = &(*p)->next) {
            if (*p == registration) {
                *p = registration->next;
                break;
            }
        }
        monitor = registration->monitor;
        registration->monitor = nullptr;
    }
    // Outside the lock: the monitor thread may be waiting for it to deliver.
    ZK_UdevMonitor_stop(monitor);
    ZK_Mem_free(registration);
}

void ZK_Detect_deliver(const ZK_DeviceNotification* notification) {
    if (!notification)
        return;
    std::lock_guard<std::mutex> guard(g_registrations);
    for (ZK_DetectRegistration* r = g_first; r; r = r->next)
        r->receiver(r->user, notification);
}

void ZK_Detect_simHotplug(void*, const char* path, bool arrived) {
    ZK_DeviceNotification n;
    std::memset(&n, 0, sizeof n);
    n.event = arrived ? ZK_DETECT_ARRIVAL : ZK_DETECT_REMOVE_COMPLETE;
    ZK_Str_copy(sizeof n.subsystem, "hidraw", n.subsystem, 0);
    ZK_Str_copy(sizeof n.path, path ? path : "", n.path, 0);
    ZK_Detect_deliver(&n);
}

int ZK_Detect_classifyInterface(const ZK_DeviceNotification* notification) {
    if (!notification)
        return ZK_CLASS_VOLUME;
    const char* subsystem = notification->subsystem;
    if (std::strcmp(subsystem, "usb") == 0)
        return ZK_CLASS_USB_DEVICE;
    if (std::strcmp(subsystem, "block") == 0)
        return std::strcmp(notification->devtype, "disk") == 0 ? ZK_CLASS_DISK : ZK_CLASS_VOLUME;
    if (std::strcmp(subsystem, "hidraw") == 0)
        return ZK_CLASS_HID;
    if (std::strcmp(subsystem, "net") == 0)
        return ZK_CLASS_NET;
    return ZK_CLASS_VOLUME;
}

// The link's attach uses the same test; one implementation serves both.
int ZK_Detect_matchHidPath(const char* path) {
    return ZK_Link_matchHidPath(path) ? 1 : 0;
}

int ZK_Detect_attachPath(DeviceLink* link, const char* path, int* hidResult) {
    if (hidResult)
        *hidResult = ZK_HID_OK;
    if (!link || !link->channel || !path || !*path)
        return ZK_ATTACH_NO_DEVICE;
    return ZK_Link_attach(link, path, hidResult);
}

int ZK_Detect_findHidDevice(DeviceLink* link, int* hidResult) {
    if (hidResult)
        *hidResult = ZK_HID_OK;
    if (!link || !link->channel)
        return ZK_ATTACH_NO_DEVICE;
    auto* list =
        static_cast<ZK_HidDeviceInfo*>(ZK_Mem_calloc(kHidCapacity, sizeof(ZK_HidDeviceInfo)));
    if (!list)
        return ZK_ATTACH_NO_DEVICE;
    int n = ZK_Hid_enumerate(ZK_DEVICE_VENDOR_ID, ZK_DEVICE_PRODUCT_ID, list, kHidCapacity);
    int rc = ZK_ATTACH_NO_DEVICE;
    if (n < 0 && hidResult)
        *hidResult = n;
    for (int i = 0; i < n && i < kHidCapacity; ++i) {
        if (ZK_Detect_matchHidPath(list[i].path)) {
            // The walk ends at the first match whatever the attach gives.
            rc = ZK_Detect_attachPath(link, list[i].path, hidResult);
            break;
        }
    }
    ZK_Mem_free(list);
    return rc;
}

void ZK_Detect_detach(DeviceLink* link) {
    ZK_Link_detach(link);
}

void ZK_Detect_normalizeVendor(const char* text, char* out, size_t capacity) {
    if (!out || capacity == 0)
        return;
    std::memset(out, 0, capacity);
    if (!text)
        return;
    // Hexadecimal form.
    size_t at = 0;
    bool hex = true, stopped = false;
    int high = -1;
    for (const char* p = text; *p; ++p) {
        char c = (char)std::tolower((unsigned char)*p);
        if (isBlank(c))
            c = '0';
        int digit = hexDigit(c);
        if (digit < 0) {
            hex = false;
            break;
        }
        if (high < 0) {
            high = digit;
            continue;
        }
        unsigned char byte = (unsigned char)(high * 16 + digit);
        high = -1;
        if (byte != 0 && !isPrintable(byte)) {
            hex = false;
            break;
        }
        // A 0 byte ends the text; the rest must still be valid digits.
        if (byte == 0)
            stopped = true;
        if (!stopped && at + 1 < capacity)
            out[at++] = (char)byte;
    }
    if (!hex) {
        // Plain form.
        std::memset(out, 0, capacity);
        const char* p = text;
        while (*p && isPrintable((unsigned char)*p))
            ++p;
        if (*p == '\0')
            ZK_Str_copy(capacity, text, out, 0);
    }
    ZK_Str_trimLeft(out);
    ZK_Str_trimRight(out);
}

int ZK_Detect_isDiskFormVendor(const char* text) {
    return normalizedIsDiskForm(text);
}

int ZK_Detect_probeUsbDisk() {
    return ZK_Detect_probeUsbDiskAt("/", nullptr, nullptr);
}

int ZK_Detect_probeUsbDiskAt(const char* root, const ZK_StorageOps* ops, ZK_DiskProbe* probe) {
    if (!ops)
        ops = ZK_Storage_systemOps();
    ZK_DiskForm* forms =
        static_cast<ZK_DiskForm*>(ZK_Mem_calloc(ZK_STORAGE_MAX_DISKS, sizeof(ZK_DiskForm)));
    if (!forms)
        return 0;
    int n = ZK_Detect_listDiskForms(root, ops, forms, ZK_STORAGE_MAX_DISKS);
    int found = 0;
    for (int i = 0; i < n && !found; ++i) {
        ZK_DiskForm& form = forms[i];
        if (!form.mounted) {
            ZK_LOG("disk form %s is not mounted: next disk", form.disk.name);
            continue;
        }
        found = 1;
        int marker = ops->writeFile(ops->user, root, form.mount.mountPoint, ZK_DETECT_MARKER_NAME,
                                    ZK_DETECT_MARKER_BYTES, ZK_DETECT_MARKER_LENGTH);
        if (marker != ZK_STORAGE_OK)
            ZK_LOG("cannot write the marker on %s (%s): %s", form.disk.name, form.mount.mountPoint,
                   ZK_Storage_describe(marker));
        int eject = ops->eject(ops->user, &form.disk, &form.mount);
        if (eject != ZK_STORAGE_OK)
            ZK_LOG("eject of %s: %s", form.disk.devnode, ZK_Storage_describe(eject));
        if (probe) {
            probe->disk = form.disk;
            probe->mount = form.mount;
            probe->markerResult = marker;
            probe->ejectResult = eject;
        }
    }
    ZK_Mem_free(forms);
    return found;
}

int ZK_Detect_listDiskForms(const char* root, const ZK_StorageOps* ops, ZK_DiskForm* out,
                            int capacity) {
    if (!out || capacity < 0)
        return ZK_STORAGE_ERR_INVALID;
    if (!ops)
        ops = ZK_Storage_systemOps();
    auto* disks =
        static_cast<ZK_BlockDisk*>(ZK_Mem_calloc(ZK_STORAGE_MAX_DISKS, sizeof(ZK_BlockDisk)));
    if (!disks)
        return ZK_STORAGE_ERR_IO;
    int n = ops->listDisks(ops->user, root, disks, ZK_STORAGE_MAX_DISKS);
    int stored = 0;
    for (int i = 0; i < n && i < ZK_STORAGE_MAX_DISKS && stored < capacity; ++i) {
        const ZK_BlockDisk& disk = disks[i];
        if (!disk.removable || !disk.hasVendor || !normalizedIsDiskForm(disk.vendor))
            continue;
        ZK_DiskForm& form = out[stored++];
        std::memset(&form, 0, sizeof form);
        form.disk = disk;
        form.mounted = ops->findMount(ops->user, root, disk.name, &form.mount) == ZK_STORAGE_OK;
    }
    ZK_Mem_free(disks);
    return n < 0 ? n : stored;
}
