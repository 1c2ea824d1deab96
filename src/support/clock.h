// Monotonic millisecond tick; wraps after about 49 days, so compare ticks by difference.
#pragma once

#include <cstdint>

// Milliseconds since an arbitrary start; wraps like a 32-bit tick count, so
// compare ticks by unsigned difference, never by '<'.
uint32_t ZK_Clock_tickMs();
// Sleeps at least `ms` milliseconds.
void ZK_Clock_sleepMs(uint32_t ms);
