// The device simulator: the GPS warner as the tool relies on it.
//
// It answers 65-byte reports exactly as the device does (27-byte block with
// "HIDC" and the byte sum; commands 0xF1 0xF2 0xF3 0xF4 0xF7 0xF9 0xFB),
// keeps a flash image, records the traffic and injects faults. It has its own
// encoder and decoder and never calls the tool's protocol code, so that the
// two check each other.
//
// A simulated device is reached through the HID layer (platform/hid.h) with
// the path "sim:NAME#vid_0416&pid_b500" once it is plugged. All functions are
// thread-safe; the device may be unplugged or destroyed while a transfer runs
// on another thread (the transfer then fails with ZK_HID_ERR_NO_DEVICE).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SimDevice;

struct SimConfig {
    const char* name = "korvana0";   // path becomes "sim:<name>#vid_0416&pid_b500"
    uint32_t bootVersion = 1046;     // answer of 0xF7
    uint32_t flashSize = 0x800000;   // bytes; answer of 0xFB and the image size
    const char* flashFile = nullptr; // when set, the image is loaded from and saved to it
    const char* profile = "new-502"; // see ZK_Sim_profileNames(); "blank" = all 0xFF
    int lockWaitMs = 2000;           // how long to wait for another user of the flash file
};

// Status words the device answers with (the reply's first parameter).
enum SimStatus : uint32_t {
    SIM_STATUS_OK = 0,
    SIM_STATUS_BAD_BLOCK = 1,         // wrong header length, signature or byte sum
    SIM_STATUS_UNKNOWN_CODE = 2,      // not a command of this device
    SIM_STATUS_RANGE = 3,             // address + length beyond the flash
    SIM_STATUS_CHECKSUM = 4,          // written data does not match its checksum
    SIM_STATUS_BAD_PARAMS = 5,        // fixed-command words, mode > 1, paramC > length
    SIM_STATUS_STORAGE = 6,           // the flash file could not take the change
    SIM_STATUS_INJECTED = 0xEE,       // SIM_FAULT_STATUS
    SIM_STATUS_PENDING = 0xFFFFFFFFu, // data phase not finished (or device gone first)
};

// One command the device received, in arrival order.
struct SimTraffic {
    uint8_t code;
    uint32_t paramA, paramB, paramC;
    uint8_t mode;
    uint32_t paramD;
    uint32_t dataLength; // data bytes moved in the data phase (either direction)
    uint32_t status;     // status word the device answered with (0 = success)
};

enum SimFaultKind {
    SIM_FAULT_NONE = 0,
    SIM_FAULT_NO_REPLY,      // swallow the reply report (the tool's read times out)
    SIM_FAULT_BAD_SIGNATURE, // reply with a wrong "HIDC"
    SIM_FAULT_BAD_HEADER,    // reply with header length != 0x17
    SIM_FAULT_BAD_CHECKSUM,  // reply with a wrong byte sum
    SIM_FAULT_STATUS,        // reply with a nonzero status word
    SIM_FAULT_SHORT_REPORT,  // cut the next input report to `shortCount` bytes (the rest is lost)
    SIM_FAULT_DELAY,         // hold the reply `delayMs` (past the 1000 ms bound by default)
    SIM_FAULT_DISCONNECT,    // unplug after `afterReports` further reports (either direction)
    SIM_FAULT_LATE_REPLY,    // as DELAY, but the reply stays queued past the next command,
                             // as hidraw keeps a report that came after the tool gave up
};

struct SimFault {
    SimFaultKind kind = SIM_FAULT_NONE;
    int onCode = 0;          // apply to the next command with this code (0: any command)
    int skipCommands = 0;    // let this many matching commands pass first
    uint32_t delayMs = 1500; // SIM_FAULT_DELAY
    size_t shortCount = 20;  // SIM_FAULT_SHORT_REPORT: bytes reported, report id included
    int afterReports = 0;    // SIM_FAULT_DISCONNECT
};

// Names accepted in SimConfig::profile (images in profiles.cpp):
//   "new-502"         GHW7, main setting at 0x1E000, parameter form 5 at
//                     0x19000, client "TAVO GPS Warner GHW7" at 0x1F000
//   "new-legacy"      TQMB, main setting at 0x16000, parameter form 2 at
//                     0x11000, client "TAVO GPS Warner TQMB" at 0x18000
//   "no-main-setting" no valid slot; TQMB only in a form 4 record at 0x11000,
//                     dates at the default region places
//   "refused-client"  new-502 with the client "Kelvoran" (a listed, refused one)
//   "blank"           all 0xFF
std::vector<std::string> ZK_Sim_profileNames();

// Creates a device (not yet plugged). A flash file of the right size is
// loaded (and the profile not applied); an absent one is written from the
// profile at once. None on a bad name (in use by a live device), flash size
// (a nonzero multiple of 4096, at most 256 MiB), profile or flash file, with
// the reason in *why (optional).
//
// The flash file is one device: it stays open and locked (flock) until
// destroy, and a second device on the same file, in this or another process,
// waits up to `lockWaitMs` for it and then fails. Every completed erase and
// write goes straight into the file (in place: a symlink and the file's mode
// are kept); a change the file cannot take is answered with
// SIM_STATUS_STORAGE, as a device whose flash failed. A file that cannot be
// opened for writing is used read-only until something is written.
//
// The device stores written bytes as given (no descramble) and ignores the
// mode byte; erase sets 0xFF. Strict checks answer a nonzero status and leave
// the flash alone: bad block, unknown code, wrong fixed-command words, mode
// above 1, paramC above the length, a range beyond the flash, a wrong data
// checksum. A refused write still takes its data phase.
[[nodiscard]] SimDevice* ZK_Sim_create(const SimConfig& config, std::string* why = nullptr);
// Unplugs, syncs and unlocks the flash file if any, frees. 1, or 0 when the
// file missed a change or the sync failed (the reason is logged and in
// *why, optional): the file then does not hold what the device held.
int ZK_Sim_destroy(SimDevice* device, std::string* why = nullptr);

// Makes the device visible to ZK_Hid_enumerate/ZK_Hid_open (and fires the
// hotplug callback with arrival); unplug hides it, fails open handles and
// fires removal.
void ZK_Sim_plug(SimDevice* device);
void ZK_Sim_unplug(SimDevice* device);
bool ZK_Sim_isPlugged(const SimDevice* device);
std::string ZK_Sim_path(const SimDevice* device);

// Makes simulated devices reachable through the HID layer. Done by the first
// ZK_Sim_create too; a front-end calls it at start-up, before its threads.
void ZK_Sim_registerBackend();

// Hotplug notifications of every simulated device: arrived = true on plug.
typedef void (*SimHotplugCallback)(void* user, const char* path, bool arrived);
void ZK_Sim_setHotplugCallback(SimHotplugCallback callback, void* user);

// Flash access for test set-up and checks (no traffic is recorded).
uint32_t ZK_Sim_flashSize(const SimDevice* device);
std::vector<uint8_t> ZK_Sim_readFlash(const SimDevice* device, uint32_t address, uint32_t length);
void ZK_Sim_writeFlash(SimDevice* device, uint32_t address, const void* data, uint32_t length);
// Writes the whole image to the flash file and syncs it (changes are
// written through anyway). 1 / 0.
int ZK_Sim_saveFlash(SimDevice* device);

// Input reports queued and due now (none of them read yet).
size_t ZK_Sim_pendingInputs(const SimDevice* device);

std::vector<SimTraffic> ZK_Sim_traffic(const SimDevice* device);
void ZK_Sim_clearTraffic(SimDevice* device);
// Raw reports the tool sent, in order (for byte-level checks); cleared with the traffic.
std::vector<std::vector<uint8_t>> ZK_Sim_rawReports(const SimDevice* device);

// Queues a fault; faults apply once each, in the order queued: a command
// takes the first queued fault whose onCode matches (0 matches any); while
// that fault's skipCommands is above 0 it is counted down instead. A failing
// erase or write (SIM_FAULT_STATUS) leaves the flash as it was; a read still
// sends its data. SIM_FAULT_DISCONNECT counts the reports after the command
// (0: the command report itself fails). A new command drops any reply still
// unread from the last one (e.g. one held by SIM_FAULT_DELAY).
void ZK_Sim_injectFault(SimDevice* device, const SimFault& fault);
void ZK_Sim_clearFaults(SimDevice* device);

// Keeps at most `reports` raw reports (default 65536, about 4 MiB) so that
// long transfers do not grow memory without end; traffic is always recorded.
void ZK_Sim_setRawCaptureLimit(SimDevice* device, size_t reports);

// The report engine itself, for bridges (uhid), plugged or not: feed one
// output report (65 bytes with the report id first; fewer than 65 are taken
// as payload without report id) and take the input reports it produced, each
// with the report id first (65 bytes; a short-report fault gives fewer).
// `take` returns false when none is due; `wait` waits up to timeoutMs.
void ZK_Sim_receiveReport(SimDevice* device, const uint8_t* report, size_t length);
bool ZK_Sim_takeReport(SimDevice* device, std::vector<uint8_t>* report);
bool ZK_Sim_waitReport(SimDevice* device, std::vector<uint8_t>* report, int timeoutMs);
