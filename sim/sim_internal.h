// Inside the simulator: the device state shared by the public API, the report
// engine and the HID backend.
#pragma once

#include "sim.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

constexpr size_t kReportSize = 65;
constexpr size_t kPayloadSize = 64;
constexpr size_t kBlockSize = 27;
constexpr uint8_t kHeaderLength = 0x17;
constexpr uint32_t kSignature = 0x43444948u; // "HIDC"
constexpr uint32_t kFixedParamA = 0x12345678u;
constexpr uint32_t kFixedParamB = 0xABCDEF01u;
constexpr uint32_t kSectorSize = 4096;
constexpr uint32_t kPageSize = 256;

// Status words (SimStatus) under shorter names.
constexpr uint32_t kStatusOk = SIM_STATUS_OK, kStatusBadBlock = SIM_STATUS_BAD_BLOCK,
                   kStatusUnknownCode = SIM_STATUS_UNKNOWN_CODE, kStatusRange = SIM_STATUS_RANGE,
                   kStatusChecksum = SIM_STATUS_CHECKSUM, kStatusBadParams = SIM_STATUS_BAD_PARAMS,
                   kStatusInjected = SIM_STATUS_INJECTED, kStatusPending = SIM_STATUS_PENDING;

// The 27-byte block in both directions.
struct Block {
    uint8_t code = 0;
    uint8_t headerLength = kHeaderLength;
    uint32_t paramA = 0, paramB = 0, paramC = 0;
    uint8_t mode = 0;
    uint32_t paramD = 0;
    uint32_t signature = kSignature;
    uint32_t checksum = 0;
};

void encodeBlock(const Block& block, uint8_t out[kBlockSize]); // checksum filled in
Block decodeBlock(const uint8_t in[kBlockSize]);
uint32_t blockSum(const uint8_t in[kBlockSize]); // of bytes 0..22
// Running-XOR descramble in place, from the seed state.
void descramble(uint8_t* data, size_t length);

// One input report waiting for the tool; `bytes` holds what is delivered
// (report id included), shorter than 65 for a short report.
struct InputReport {
    std::vector<uint8_t> bytes;
    Clock::time_point readyAt; // set when queued
    uint32_t delayMs = 0;      // SIM_FAULT_DELAY: held this long once queued
    bool late = false;         // SIM_FAULT_LATE_REPLY: survives the next command
};

struct Core {
    std::string name;
    uint32_t bootVersion = 0;
    uint32_t flashSize = 0;
    std::string flashFile;
    // The flash file, held open and locked for the device's whole life so
    // that two processes never share one simulated device; every completed
    // erase and write is written through at once.
    int flashFd = -1;
    bool flashReadOnly = false;
    int flashSaveErrno = 0; // first failure to write the file through; 0 none

    mutable std::mutex lock;
    std::condition_variable changed; // input queued, unplugged, handle closed
    std::mutex plugLock;             // orders plug and unplug of this device

    std::vector<uint8_t> flash;
    bool plugged = false;
    uint64_t generation = 0; // bumped on every plug and unplug; handles keep theirs

    // Write data phase.
    bool writing = false;
    uint64_t writeAddress = 0, writeLength = 0, writeReceived = 0;
    uint32_t writeParamC = 0, writeChecksum = 0, writeStatus = 0;
    uint8_t writeCode = 0;
    std::vector<uint8_t> writeData;
    // Read data phase: produced on demand, the reply after the last report.
    uint64_t readAddress = 0, readRemaining = 0;
    std::optional<InputReport> readReply;

    std::deque<InputReport> output;
    size_t trafficIndex = 0; // entry of the command being served
    std::vector<SimTraffic> traffic;

    std::deque<SimFault> faults;
    std::optional<SimFault> active; // fault of the command being served
    size_t shortNext = SIZE_MAX;    // SIM_FAULT_SHORT_REPORT armed: count of the next input
    int disconnectIn = -1;          // reports still allowed before the unplug; -1 none

    std::vector<uint8_t> raw; // 65 bytes per captured output report
    size_t rawLimit = 65536;
};

// Engine, called with core.lock held. Each returns true when an injected
// disconnect fired: the caller must then finish the unplug without the lock.
bool receiveLocked(Core& core, const uint8_t payload[kPayloadSize], Clock::time_point now);
// Takes the next input report. False with *wakeAt set when one is queued but
// not due yet (delay fault), false with *wakeAt = max when none waits.
bool takeLocked(Core& core, std::vector<uint8_t>* report, Clock::time_point now,
                Clock::time_point* wakeAt, bool* disconnected);
// Drops every exchange in progress (unplug, disconnect fault).
void resetExchangeLocked(Core& core);

void plugCore(const std::shared_ptr<Core>& core);
// Marks the device unplugged, then (without its lock) hides it from the
// backend and fires the hotplug callback.
void unplugCore(const std::shared_ptr<Core>& core);
// The second half of an unplug the engine already marked (disconnect fault).
void finishUnplug(const std::shared_ptr<Core>& core);

// Backend side (sim_backend.cpp).
void backendRegister();
void backendAdd(const std::shared_ptr<Core>& core);    // now visible
void backendRemove(const std::shared_ptr<Core>& core); // hidden
bool backendNameInUse(const std::string& name);        // by a live device
void backendTrack(const std::shared_ptr<Core>& core);  // live from create to destroy
void backendUntrack(const Core* core);
void fireHotplug(const std::string& path, bool arrived);
std::string pathOf(const std::string& name);

// Profiles (profiles.cpp): fills an erased image; false for an unknown name.
bool buildProfile(const std::string& name, std::vector<uint8_t>& flash);
// Writes flash[address, address + length) through to the flash file (core
// locked). False, with flashSaveErrno set, when it could not.
bool storeLocked(Core& core, uint64_t address, uint64_t length);
std::vector<std::string> profileNames();

} // namespace sim

struct SimDevice {
    std::shared_ptr<sim::Core> core;
};
