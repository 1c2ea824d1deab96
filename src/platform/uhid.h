// A virtual HID device through the kernel's /dev/uhid, so that the simulator
// can stand behind a real hidraw node (the kernel-path test).
//
// One thread uses a device at a time. Errors are ZK_HidResult codes.
#pragma once

#include <cstddef>
#include <cstdint>

struct ZK_UhidDevice;

struct ZK_UhidConfig {
    const char* name; // also the device's unique id
    uint16_t vendorId;
    uint16_t productId;
    const uint8_t* descriptor; // HID report descriptor
    size_t descriptorSize;
};

enum ZK_UhidEventKind {
    ZK_UHID_NONE = 0,   // nothing arrived within the wait
    ZK_UHID_OUTPUT = 1, // an output report for the device: data, size
    ZK_UHID_STATE = 2,  // start, stop, open or close: name says which
    ZK_UHID_OTHER = 3,  // anything else (feature requests are refused inside)
};

struct ZK_UhidEvent {
    int kind;
    const char* name;    // "start", "stop", "open", "close", or "event"
    const uint8_t* data; // ZK_UHID_OUTPUT: borrowed until the next poll
    size_t size;
};

// Creates the device (USB bus, version 0x0100). ZK_HID_OK with *device set;
// ZK_HID_ERR_ACCESS without permission on /dev/uhid, ZK_HID_ERR_NO_DEVICE
// without uhid support.
[[nodiscard]] int ZK_Uhid_create(const ZK_UhidConfig* config, ZK_UhidDevice** device);
// Waits at most timeoutMs for one event. ZK_HID_OK with *event filled
// (ZK_UHID_NONE after the wait or a signal), or ZK_HID_ERR_IO.
[[nodiscard]] int ZK_Uhid_poll(ZK_UhidDevice* device, int timeoutMs, ZK_UhidEvent* event);
// Sends one input report of `size` payload bytes (no report id). ZK_HID_OK / ZK_HID_ERR_IO.
[[nodiscard]] int ZK_Uhid_sendInput(ZK_UhidDevice* device, const uint8_t* payload, size_t size);
// Destroys the device (the kernel sends the removal) and frees it. Safe on none.
void ZK_Uhid_destroy(ZK_UhidDevice* device);
