// Report transport: one open HID interface and the command channel on it.
//
// A port may be closed by the removal handler on one thread while a command
// runs on another. So a port is reference counted: the channel holds one
// reference, every running command holds one more for its duration. Closing
// marks the port closed and drops the owner's reference; the running report
// operation finishes (bounded by the 1000 ms read wait), the command sees the
// mark at its next report and fails with its own code, and the last
// reference closes the HID device and frees the port.
#pragma once

#include "platform/hid.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

constexpr size_t ZK_REPORT_SIZE = 65;    // report id + 64 payload bytes
constexpr size_t ZK_REPORT_PAYLOAD = 64; // bytes a report carries after its id
constexpr size_t ZK_REPORT_RESERVE = 68; // room kept in the channel's buffer
constexpr int ZK_PORT_READ_TIMEOUT_MS = 1000;

struct HidPort {
    std::atomic<int32_t> refCount; // channel's reference + running commands
    std::atomic<int32_t> closed;   // set by ZK_Port_close; no new report starts
    ZK_HidDevice device;           // closed when the last reference goes
};

// Data-transfer events of the read and write commands.
enum ZK_TransferEvent {
    ZK_TRANSFER_START = 0,
    ZK_TRANSFER_CHUNK = 1,
    ZK_TRANSFER_END = 2,
};
typedef void (*ZK_TransferHook)(void* user, int event, uint32_t a, uint32_t b);

// Why the last command on a channel failed, as far as the transport knows.
enum ZK_Cause {
    ZK_CAUSE_NONE = 0,
    ZK_CAUSE_TIMEOUT = 1,   // nothing arrived within the 1000 ms bound
    ZK_CAUSE_REMOVED = 2,   // the device went away, or none is attached
    ZK_CAUSE_BAD_REPLY = 3, // a reply or data report that was damaged or cut short
    ZK_CAUSE_REFUSED = 4,   // the device answered with a nonzero status word
    ZK_CAUSE_IO = 5,        // the report could not be moved for another reason
    ZK_CAUSE_CANCELLED = 6, // the channel was cancelled: no new command is sent
};

struct CommandChannel {
    uint8_t report[ZK_REPORT_RESERVE];   // every report is built in and read into this
    ZK_TransferHook transferHook;        // may be absent
    void* transferUser;                  // first argument of transferHook
    std::atomic<HidPort*> port;          // absent: no device attached
    std::atomic<uint32_t> deviceVersion; // boot version once read; 1046+ checks status words
    std::mutex portLock;                 // makes "load port + take a reference" atomic
    // Set by every command: ZK_CAUSE_NONE, or why it failed (with the status
    // word the device refused it with). Read by the thread that ran it.
    int32_t lastCause;
    uint32_t lastStatus;
    // Set from any thread to stop an operation between commands: every later
    // command fails before it sends anything; the running one completes.
    std::atomic<int32_t> cancelled;
};

// Opens `path` through the HID layer. Returns a port holding one reference
// (the caller's), or none; *hidResult (optional) receives the HID layer's
// code so that a permission failure can be told to the user.
[[nodiscard]] HidPort* ZK_Port_open(const char* path, int* hidResult = nullptr);
// Marks the port closed and drops the caller's reference; the HID device is
// closed and the port freed when the last running operation has returned.
// Never waits. Safe on none.
void ZK_Port_close(HidPort* port);
// Takes / drops one reference (a running command's).
void ZK_Port_retain(HidPort* port);
void ZK_Port_releaseRef(HidPort* port);
// One 65-byte report each way. 1 on success with *count (optional) the bytes
// moved, report-id byte included; 0 with *count 0 on failure, on none, or on
// a closed port, *hidResult (optional) then saying why (ZK_HID_ERR_TIMEOUT,
// ZK_HID_ERR_NO_DEVICE for none or a closed port, ...). The read waits at
// most 1000 ms.
[[nodiscard]] int ZK_Port_readReport(HidPort* port, uint8_t* report, size_t* count,
                                     int* hidResult = nullptr);
[[nodiscard]] int ZK_Port_writeReport(HidPort* port, const uint8_t* report, size_t* count,
                                      int* hidResult = nullptr);
// The cause a failed HID transfer gives a command.
int ZK_Port_causeOf(int hidResult);
// Reads and drops every input report already waiting (0 ms reads), at most
// `limit` of them; returns how many. hidraw keeps a reply that came after the
// 1000 ms bound, and the next command would take it for its own.
int ZK_Port_drain(HidPort* port, uint8_t* scratch, int limit);

// Creates a zeroed channel (no port, no hook) or none. Free with ZK_Channel_destroy.
[[nodiscard]] CommandChannel* ZK_Channel_create();
// Detaches and closes the port, then frees the channel. Safe on none.
void ZK_Channel_destroy(CommandChannel* channel);
// Stores `port` (the channel takes over the caller's reference) and closes
// the port that was attached before, if any. `port` may be none (detach).
void ZK_Channel_attachPort(CommandChannel* channel, HidPort* port);
// Removal: detaches and closes the port without waiting for a running command.
// Always close an attached port through this (never ZK_Port_close on the
// channel's pointer), so that no command can pick it up half-closed.
void ZK_Channel_detachPort(CommandChannel* channel);
// The attached port with one extra reference for the caller (drop it with
// ZK_Port_releaseRef), or none when no device is attached.
[[nodiscard]] HidPort* ZK_Channel_acquirePort(CommandChannel* channel);
// True when a port is attached (the single "device attached" test).
bool ZK_Channel_hasPort(const CommandChannel* channel);
