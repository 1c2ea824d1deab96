#include "support/clock.h"

#include <ctime>

uint32_t ZK_Clock_tickMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

void ZK_Clock_sleepMs(uint32_t ms) {
    struct timespec ts {
        (time_t)(ms / 1000), (long)(ms % 1000) * 1000000L
    };
    while (nanosleep(&ts, &ts) != 0) {
    }
}
