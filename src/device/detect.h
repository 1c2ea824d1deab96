// Device discovery: the device's HID interface and its disk form, attach and
// detach of the link's port, and the device-change notifications that tell
// the window (or the CLI's watch) when either comes or goes.
//
// The system's events come from platform/udev_monitor.h (udev and the mount
// table) and the simulator's plug/unplug from ZK_Detect_simHotplug; both turn
// into the same ZK_DeviceNotification, classified by the udev subsystem.
#pragma once

#include "device/link.h"
#include "platform/hid.h"
#include "platform/storage.h"

#include <cstddef>
#include <cstdint>

enum ZK_DetectEvent : uint32_t {
    ZK_DETECT_ARRIVAL = 0x8000,         // a device interface arrived
    ZK_DETECT_REMOVE_COMPLETE = 0x8004, // a device interface is gone
};

// Values of ZK_Detect_classifyInterface.
enum ZK_DetectClass {
    ZK_CLASS_USB_DEVICE = 1, // udev "usb"
    ZK_CLASS_VOLUME = 2,     // "block" partition, a new mount, and anything not listed here
    ZK_CLASS_DISK = 3,       // "block" disk
    ZK_CLASS_HID = 4,        // "hidraw"
    ZK_CLASS_NET = 5,        // "net"
};

constexpr size_t ZK_DETECT_NAME_CAPACITY = 32;

struct ZK_DeviceNotification {
    uint32_t event;                          // ZK_DetectEvent
    char subsystem[ZK_DETECT_NAME_CAPACITY]; // udev subsystem, or "mount"
    char devtype[ZK_DETECT_NAME_CAPACITY];   // udev devtype, may be empty
    // The interface path. For HID the form ZK_Hid_enumerate lists
    // ("/dev/hidraw0#vid_0416&pid_b500", "sim:NAME#vid_0416&pid_b500"); a
    // hidraw node whose ids are unknown has the bare node, which never matches.
    char path[ZK_HID_PATH_CAPACITY];
};

// Receives each notification, on the monitor's thread or on the thread that
// plugged a simulated device; deliveries are serialised (never two at once).
// Keep it short (hand the record to your own thread; it is valid during the
// call only) and do not register, unregister or deliver from inside it.
typedef void (*ZK_DetectReceiver)(void* user, const ZK_DeviceNotification* notification);

struct ZK_DetectRegistration;

// Registers `receiver` for device-change notifications: the system's (udev
// and the mount table, on a thread of their own) when `followSystem` is
// nonzero, and always those given to ZK_Detect_deliver (the simulator's).
// Returns the registration, or none (*udevResult, optional, says why: a
// ZK_UdevResult) when the system's events cannot be followed.
[[nodiscard]] ZK_DetectRegistration* ZK_Detect_registerNotifications(ZK_DetectReceiver receiver,
                                                                     void* user, int followSystem,
                                                                     int* udevResult = nullptr);
// Stops the registration's monitor thread and frees it; once this returns the
// receiver is not called again. Safe on none.
void ZK_Detect_unregisterNotifications(ZK_DetectRegistration* registration);
// Hands a notification from another source to every registration.
void ZK_Detect_deliver(const ZK_DeviceNotification* notification);
// A SimHotplugCallback (sim/sim.h): pass it to ZK_Sim_setHotplugCallback so
// that plugging and unplugging a simulated device are delivered as HID
// arrivals and removals with the device's path. `user` is not used.
void ZK_Detect_simHotplug(void* user, const char* path, bool arrived);

// The class (1-5, ZK_DetectClass) of a notification: by subsystem usb,
// block partition, block disk, hidraw, net; anything else, a block device of
// another type and a missing record give 2 (a volume).
int ZK_Detect_classifyInterface(const ZK_DeviceNotification* notification);
// 1 when the lower-cased path contains "vid_0416&pid_b500", else 0 (also for none).
int ZK_Detect_matchHidPath(const char* path);

// Looks for the device among the HID interfaces and attaches the first whose
// path matches (see ZK_Detect_attachPath). When none matches the link is left
// as it was. Returns the ZK_AttachResult; *hidResult (optional) gets the HID
// layer's code of the enumerate or the open, so that a permission failure can
// be told to the user.
int ZK_Detect_findHidDevice(DeviceLink* link, int* hidResult = nullptr);
// Attaches the interface at `path`: closes the link's port if it has one,
// opens `path` and, when that worked, reads the device information (bounded
// by the 1000 ms report wait). Nothing happens without a link or channel.
// Returns the ZK_AttachResult.
int ZK_Detect_attachPath(DeviceLink* link, const char* path, int* hidResult = nullptr);
// Removal: closes the link's port (a command running on another thread ends
// with its failure code). DeviceInfo keeps its values. Safe on none.
void ZK_Detect_detach(DeviceLink* link);

// The vendor text of a disk as the device's disk form is recognised by:
// the hexadecimal form when the whole text is hexadecimal digits (blank, tab,
// CR and LF counting as '0') of bytes that are 0 or printable (a last
// unpaired digit dropped), else the text itself up to its end when all of it
// is printable (else empty); then trimmed. Writes at most capacity - 1
// characters, always terminated.
void ZK_Detect_normalizeVendor(const char* text, char* out, size_t capacity);
// 1 when the normalised vendor text is "korvtag", ignoring case.
int ZK_Detect_isDiskFormVendor(const char* text);

// The marker the device looks for after its disk form was ejected.
inline constexpr char ZK_DETECT_MARKER_NAME[] = "1.txt";
inline constexpr char ZK_DETECT_MARKER_BYTES[] = "abcdefd"; // written without the terminator
constexpr size_t ZK_DETECT_MARKER_LENGTH = 7;

// What a probe found and did.
struct ZK_DiskProbe {
    ZK_BlockDisk disk;   // the matching disk
    ZK_MountEntry mount; // where it was mounted
    int markerResult;    // ZK_StorageResult of the marker write
    int ejectResult;     // ZK_StorageResult of the eject
};

// Looks for the disk form among the removable disks of the system ("/").
// 1 found (marker written where possible, eject requested), 0 not found.
[[nodiscard]] int ZK_Detect_probeUsbDisk();
// The same on a given root and operation table (none: the system's). Disks
// are tried in name order: not removable, no vendor text, another vendor, or
// not mounted moves on to the next disk. The first match gets the marker
// "1.txt" in the root of its file system and is then ejected (marker first:
// after the eject the file could not land); neither result changes the
// answer. *probe (optional) is filled on 1.
[[nodiscard]] int ZK_Detect_probeUsbDiskAt(const char* root, const ZK_StorageOps* ops,
                                           ZK_DiskProbe* probe);

// A disk in the device's disk form, for listing (nothing is written).
struct ZK_DiskForm {
    ZK_BlockDisk disk;
    int mounted; // mount is valid
    ZK_MountEntry mount;
};
// Lists the removable disks whose vendor text is the disk form's, in name
// order. Returns how many were stored (at most capacity), or a negative
// ZK_StorageResult when the disks cannot be listed.
[[nodiscard]] int ZK_Detect_listDiskForms(const char* root, const ZK_StorageOps* ops,
                                          ZK_DiskForm* out, int capacity);
