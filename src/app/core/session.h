// The device for a front-end: the real one or the simulator, attached to a
// fresh link, and the process-wide set-up that must precede every thread.
//
// Qt-free. Results are codes; each front-end words them.
#pragma once

#include "device/link.h"
#include "sim.h"
#include "support/log.h"

#include <string>
#include <vector>

// Once per process, before any thread starts: the log sink (none: no
// diagnostics), the simulator's HID backend and its hotplug notifications
// into discovery.
// The timer service is started by whoever follows devices (ZK_Timer_start).
void ZK_App_initProcess(ZK_LogSink sink, void* sinkUser);

struct SessionOptions {
    bool simulate = false;
    std::string simFlashFile; // empty: the simulated flash lives in memory only
    std::string simProfile = "new-502";
    std::vector<std::string> simFaults; // "KIND[:CODE[:SKIP]]" or "disconnect:REPORTS"
    std::string devicePath;             // empty: the simulated device, or the first match
    ZK_ProgressCallback progress = nullptr;
    void* progressUser = nullptr;
};

enum ZK_SessionResult {
    ZK_SESSION_OK = 0,
    ZK_SESSION_BAD_SIMULATOR = 1, // bad profile, fault text or flash file (see `error`)
    ZK_SESSION_NO_LINK = 2,       // out of memory
    ZK_SESSION_NO_DEVICE = 3,     // no matching HID interface, or it could not be opened
    ZK_SESSION_ACCESS = 4,        // no permission on the node (udev rule), see hidResult
    ZK_SESSION_BUSY = 5,          // another tool has the device
    ZK_SESSION_REFUSED = 6,       // attached, but the device belongs to another client
};

struct AppSession {
    SimDevice* sim = nullptr;
    DeviceLink* link = nullptr;
    int hidResult = 0;
    std::string error; // why the simulator could not start or its flash file not be saved
    AppSession() = default;
    AppSession(const AppSession&) = delete;
    AppSession& operator=(const AppSession&) = delete;
    ~AppSession(); // ZK_Session_close
};

// Parses a --sim-fault text. False for one that does not parse.
[[nodiscard]] bool ZK_Session_parseFault(const std::string& text, SimFault* fault);
// Creates and plugs the simulated device of `options` (profile, flash file,
// faults). None with *why set.
[[nodiscard]] SimDevice* ZK_Session_startSimulator(const SessionOptions& options, std::string* why);
// Opens the device of `options` into `session` (link created with the
// client check and the progress sink). ZK_SessionResult; the link and the
// simulator stay in the session whatever the result, for the caller to close.
[[nodiscard]] int ZK_Session_open(const SessionOptions& options, AppSession* session);
// Releases the link, then the simulator. 1, or 0 when the simulated flash
// file missed a change (session->error says why): the run must then fail.
int ZK_Session_close(AppSession* session);
