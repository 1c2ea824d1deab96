// Software timers: one process-wide service with a sorted list, a timer
// thread that sleeps exactly until the next due time, and a worker pool on
// which the callbacks run (outside every lock, possibly in parallel).
#pragma once

#include <cstdint>

struct ZK_Timer;
typedef void (*ZK_TimerFn)(void* arg);

// Creates the service: 1 when it did, 0 when it was already running (or
// could not be created).
int ZK_Timer_start();
// Schedules one call of callback(arg) `delayMs` from now on a pool thread,
// starting the service if needed. Timers due at the same tick run in the
// order they were scheduled. Refuses (none) a missing callback and a zero
// delay. The returned record belongs to the service and is freed after the
// call: do not keep it. `arg` stays the caller's.
ZK_Timer* ZK_Timer_after(ZK_TimerFn callback, uint32_t delayMs, void* arg);
// Stops the timer thread and the pool; pending timers are dropped unrun.
// Waits for callbacks already running. The service may be started again.
void ZK_Timer_shutdown();
// Timers waiting in the list (for tests).
int ZK_Timer_pendingCount();
// The args of the waiting timers in list order, up to `capacity` (for tests);
// returns how many were stored.
int ZK_Timer_pendingArgs(void** out, int capacity);
