// HID report I/O behind a small operation table.
//
// Two backends stand behind it: "hidraw" (the real device through hidapi's
// hidraw backend) and "sim" (the device simulator, registered by sim/). Each
// open device keeps the table it was opened with, so both kinds coexist in one
// process. Paths carry "vid_%04x&pid_%04x" so that discovery can match them:
// "/dev/hidraw3#vid_0416&pid_b500" or "sim:NAME#vid_0416&pid_b500".
//
// Errors are mapped to ZK_HidResult at the backend edge; nothing is kept in a
// global "last error".
#pragma once

#include <cstddef>
#include <cstdint>

enum ZK_HidResult {
    ZK_HID_OK = 0,
    ZK_HID_ERR_IO = -1,        // the transfer failed (device gone, short write)
    ZK_HID_ERR_TIMEOUT = -2,   // nothing arrived within the bound
    ZK_HID_ERR_ACCESS = -3,    // permission denied opening the node (udev rule missing)
    ZK_HID_ERR_NO_DEVICE = -4, // no such path, or the device went away
    ZK_HID_ERR_NO_MEMORY = -5,
    ZK_HID_ERR_INVALID = -6, // bad argument, unknown backend in the path
    ZK_HID_ERR_BUSY = -7,    // another process has the device open (its lock is held)
};

constexpr size_t ZK_HID_REPORT_SIZE = 65; // report id byte + 64 payload bytes
constexpr size_t ZK_HID_PATH_CAPACITY = 512;

struct ZK_HidDeviceInfo {
    char path[ZK_HID_PATH_CAPACITY];
    char backend[16]; // "hidraw" or "sim"
    uint16_t vendorId;
    uint16_t productId;
};

// One backend. Every operation returns a ZK_HidResult (or a count >= 0 where
// said). `handle` is the backend's own open-device state.
struct ZK_HidBackend {
    const char* name;
    // Fills up to `capacity` entries for matching devices; returns how many
    // matched in all (may exceed capacity), or a negative ZK_HidResult.
    int (*enumerate)(uint16_t vendorId, uint16_t productId, ZK_HidDeviceInfo* out, int capacity);
    // True when this backend owns the path's form (prefix test only).
    bool (*ownsPath)(const char* path);
    int (*open)(const char* path, void** handle);
    // Sends one report (report[0] is the report id); *count = bytes sent,
    // report-id byte included.
    int (*write)(void* handle, const uint8_t* report, size_t length, size_t* count);
    // Waits at most timeoutMs for one report; *count = bytes, report-id byte
    // included (so count - 1 is the payload).
    int (*read)(void* handle, uint8_t* report, size_t capacity, int timeoutMs, size_t* count);
    void (*close)(void* handle);
};

struct ZK_HidDevice {
    const ZK_HidBackend* backend;
    void* handle;
};

// Backends known to enumerate/open. hidraw is always registered; the
// simulator registers itself when a simulated device is created. Returns 0
// when the registry (8 entries) is full.
int ZK_Hid_registerBackend(const ZK_HidBackend* backend);
void ZK_Hid_unregisterBackend(const ZK_HidBackend* backend);
const ZK_HidBackend* ZK_Hid_hidrawBackend();

// Lists matching interfaces of every registered backend, simulated ones
// first. Returns the count found (entries beyond capacity are not stored) or a
// negative ZK_HidResult.
[[nodiscard]] int ZK_Hid_enumerate(uint16_t vendorId, uint16_t productId, ZK_HidDeviceInfo* out,
                                   int capacity);
// Opens `path` with the backend that owns its form. *device is filled on OK.
// A permission failure on hidraw is retried for about a second (udev may not
// have applied the uaccess rule yet) before ZK_HID_ERR_ACCESS is returned.
// hidraw holds an exclusive lock per device node (a lock file in the user's
// private runtime directory) until close; ZK_HID_ERR_BUSY when another open
// holds it. A path whose node is no hidraw device gives ZK_HID_ERR_INVALID.
[[nodiscard]] int ZK_Hid_open(const char* path, ZK_HidDevice* device);
// One report each way; see the backend operations. One call at a time per
// device. Both backends let ZK_Hid_close (or an unplug) on another thread end
// a running read or write (it returns ZK_HID_ERR_NO_DEVICE) without freeing
// anything under it; the caller still must not close the record while another
// thread is about to start a call with it. A read gives ZK_HID_ERR_TIMEOUT
// when nothing arrived within timeoutMs (negative: no bound).
[[nodiscard]] int ZK_Hid_write(ZK_HidDevice* device, const uint8_t* report, size_t length,
                               size_t* count);
[[nodiscard]] int ZK_Hid_read(ZK_HidDevice* device, uint8_t* report, size_t capacity, int timeoutMs,
                              size_t* count);
// Closes the device (safe on a closed or zeroed record).
void ZK_Hid_close(ZK_HidDevice* device);
// A one-line description for the user, e.g. the udev hint for ACCESS.
const char* ZK_Hid_describe(int result);

// Path helpers shared by the backends and discovery.
// Writes "<node>#vid_%04x&pid_%04x" (lower-case hex). Returns 1, or 0 (out
// emptied) when it does not fit `capacity`.
[[nodiscard]] int ZK_Hid_formatPath(const char* node, uint16_t vendorId, uint16_t productId,
                                    char* out, size_t capacity);
// Copies the part of `path` before the first '#' (the whole path when it has
// none). Returns 1, or 0 (out emptied) when it is empty or does not fit.
[[nodiscard]] int ZK_Hid_pathNode(const char* path, char* out, size_t capacity);
// Finds "vid_XXXX&pid_XXXX" (any case) in `path`. Returns 1 and the ids, or 0.
[[nodiscard]] int ZK_Hid_pathIds(const char* path, uint16_t* vendorId, uint16_t* productId);
