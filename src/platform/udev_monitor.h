// Device-change events of the system: a libudev monitor (subsystems usb,
// block, hidraw, net, as processed by udevd) and the mount table, watched on
// one thread of their own.
//
// A volume becomes usable only when it is mounted, and mounting sends no
// udev event, so a new entry in the mount table is reported as an event of
// its own ("mount" subsystem), as the arrival of a volume.
#pragma once

#include <cstddef>
#include <cstdint>

enum ZK_UdevAction {
    ZK_UDEV_ADD = 1,
    ZK_UDEV_REMOVE = 2,
};

constexpr size_t ZK_UDEV_NAME_CAPACITY = 32;
constexpr size_t ZK_UDEV_NODE_CAPACITY = 256;

struct ZK_UdevEvent {
    int action;                            // ZK_UdevAction
    char subsystem[ZK_UDEV_NAME_CAPACITY]; // "usb", "block", "hidraw", "net", "mount"
    char devtype[ZK_UDEV_NAME_CAPACITY];   // "disk", "partition", "usb_device", ... or empty
    char devnode[ZK_UDEV_NODE_CAPACITY]; // "/dev/hidraw0"; the interface name for net; may be empty
    char syspath[ZK_UDEV_NODE_CAPACITY]; // may be empty (mount events)
    int hasIds;                          // vendorId/productId known (hidraw, usb)
    uint16_t vendorId;
    uint16_t productId;
};

// Called on the monitor thread for each event; keep it short (hand the event
// to your own thread). The record is valid during the call only.
typedef void (*ZK_UdevEventFn)(void* user, const ZK_UdevEvent* event);

struct ZK_UdevMonitor;

enum ZK_UdevResult {
    ZK_UDEV_OK = 0,
    ZK_UDEV_ERR_MONITOR = -1, // libudev would not give a monitor (no netlink here?)
    ZK_UDEV_ERR_THREAD = -2,  // no wake-up descriptor or no thread
    ZK_UDEV_ERR_NO_MEMORY = -3,
};

// Starts the monitor and its thread; events reach `fn` until
// ZK_UdevMonitor_stop. The ids of the hidraw devices present now are learned
// at once, so that a later removal (whose parent is gone by then) still
// carries them. None on failure with *result (optional) the reason.
[[nodiscard]] ZK_UdevMonitor* ZK_UdevMonitor_start(ZK_UdevEventFn fn, void* user,
                                                   int* result = nullptr);
// Wakes the thread, waits for it to end and frees everything. After it
// returns `fn` is not called again. Safe on none; must not be called from `fn`.
void ZK_UdevMonitor_stop(ZK_UdevMonitor* monitor);
