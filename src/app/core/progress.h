// Progress and failure causes as both front-ends consume them: one event
// for every progress report of the link, and one sentence for why a device
// command failed.
//
// Qt-free. The window turns an event into its progress bar messages and
// text; the terminal into a bar or lines.
#pragma once

#include "device/link.h"

#include <cstdint>
#include <string>

struct ProgressEvent {
    int kind;            // ZK_ProgressKind: started, value or step text
    uint32_t value;      // hundredths of a percent, 0..10000
    std::string step;    // the link's step text (e.g. "Load "); may be empty
    uint32_t startTick;  // ZK_Clock_tickMs when the transfer or run started
    uint32_t nowTick;    // ZK_Clock_tickMs when the event was made
    uint64_t bytesDone;  // of the whole operation
    uint64_t bytesTotal; // 0 when unknown
    std::string region;  // what is being written ("gps", "voice", ...); empty when none
};

// The event for a progress report of `link` (the arguments of the link's
// progress callback).
ProgressEvent ZK_Progress_event(const DeviceLink* link, int kind, uint32_t value,
                                uint32_t startTick);

// Why the last command on the link's channel failed, as one clause, e.g.
// "the device was unplugged during the gps write" or "the device refused the
// command (status 0xEE)"; empty when the channel knows no cause.
std::string ZK_Progress_causeText(const DeviceLink* link);
