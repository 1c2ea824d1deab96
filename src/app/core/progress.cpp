#include "app/core/progress.h"

#include "support/clock.h"

#include <cstdio>

ProgressEvent ZK_Progress_event(const DeviceLink* link, int kind, uint32_t value,
                                uint32_t startTick) {
    ProgressEvent e{};
    e.kind = kind;
    e.value = value > 10000 ? 10000 : value;
    e.startTick = startTick;
    e.nowTick = ZK_Clock_tickMs();
    if (link) {
        e.step = link->stepText;
        e.bytesTotal = link->progress.total;
        e.bytesDone = link->progress.done > link->progress.total && link->progress.total
                          ? link->progress.total
                          : link->progress.done;
        if (link->progress.region)
            e.region = link->progress.region;
    }
    return e;
}

std::string ZK_Progress_causeText(const DeviceLink* link) {
    if (!link || !link->channel)
        return {};
    const CommandChannel* c = link->channel;
    std::string what;
    switch (c->lastCause) {
    case ZK_CAUSE_TIMEOUT:
        what = "the device did not answer within 1000 ms";
        break;
    case ZK_CAUSE_REMOVED:
        what = "the device was unplugged";
        break;
    case ZK_CAUSE_BAD_REPLY:
        what = "the device's reply was damaged or cut short";
        break;
    case ZK_CAUSE_REFUSED: {
        char text[64];
        std::snprintf(text, sizeof text, "the device refused the command (status 0x%X)",
                      c->lastStatus);
        what = text;
        break;
    }
    case ZK_CAUSE_IO:
        what = "a report could not be sent to the device";
        break;
    case ZK_CAUSE_CANCELLED:
        what = "the run was stopped";
        break;
    default:
        return {};
    }
    if (link->progress.region)
        what += std::string(" during the ") + link->progress.region + " write";
    return what;
}
