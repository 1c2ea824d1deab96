// Threads, locks, semaphores, acknowledged conditions and the worker pool.
//
// The standard library stands behind these records; what callers rely on is
// kept: a lock may be taken again by the thread that holds it, a condition
// signal returns only after the woken waiter has acknowledged, a thread stop
// waits at most 5000 ms, and the pool keeps its limits.
#pragma once

#include <cstdint>

inline constexpr uint32_t ZK_WAIT_FOREVER = 0xFFFFFFFFu;

struct ZK_Lock;
struct ZK_Sem;
struct ZK_Cond;
struct ZK_Thread;
struct ZK_Pool;

// Recursive lock. None when out of memory.
[[nodiscard]] ZK_Lock* ZK_Lock_create();
void ZK_Lock_enter(ZK_Lock* lock);
void ZK_Lock_leave(ZK_Lock* lock);
void ZK_Lock_destroy(ZK_Lock* lock);

// Counting semaphore: initial count 0, at most 0x8000 pending posts.
[[nodiscard]] ZK_Sem* ZK_Sem_create();
// 1 posted, 0 when the maximum count is reached.
int ZK_Sem_post(ZK_Sem* sem);
// 1 when a post was taken within `ms` (ZK_WAIT_FOREVER: no bound), 0 on time-out.
int ZK_Sem_wait(ZK_Sem* sem, uint32_t ms);
void ZK_Sem_destroy(ZK_Sem* sem);

// Condition used with a ZK_Lock.
[[nodiscard]] ZK_Cond* ZK_Cond_create();
void ZK_Cond_destroy(ZK_Cond* cond);
// Releases one waiter and returns after it acknowledged: 1, or 0 when none waited.
int ZK_Cond_signal(ZK_Cond* cond);
// Releases every current waiter, returns after all acknowledged; 0 when none waited.
int ZK_Cond_broadcast(ZK_Cond* cond);
// Leaves `held` while waiting, takes it again before returning.
// 1 when signalled, 0 on time-out (0 ms: returns at once).
int ZK_Cond_wait(ZK_Cond* cond, ZK_Lock* held, uint32_t ms);

typedef void (*ZK_ThreadProc)(ZK_Thread* self, void* arg);
// Starts `proc(self, arg)` at once. None on failure.
[[nodiscard]] ZK_Thread* ZK_Thread_create(ZK_ThreadProc proc, void* arg);
// The thread's stop signal; a procedure polls it to end early.
ZK_Sem* ZK_Thread_stopSignal(ZK_Thread* thread);
// Posts the stop signal; with `wait` waits up to 5000 ms for the thread to end.
// A thread that has not ended by then is detached (it cannot be killed
// safely) and its record lives on until the procedure returns. Returns 1 when
// the thread had ended, 0 when it was left running.
int ZK_Thread_destroy(ZK_Thread* thread, int wait);

typedef void (*ZK_WorkFn)(void* arg);
// Worker pool: 10 workers at start, at most 500 busy, at most 5000 queued.
[[nodiscard]] ZK_Pool* ZK_Pool_create();
// 0 queued; -1 queue full (more than 5000 items); -2 no memory or stopping.
// `done` (may be none) runs after `fn`; `arg` is freed with ZK_Mem_free
// afterwards when `ownsArg`.
int ZK_Pool_submit(ZK_Pool* pool, ZK_WorkFn fn, ZK_WorkFn done, void* arg, int ownsArg);
// Stops the workers after their current item, drops the queued items, frees all.
void ZK_Pool_destroy(ZK_Pool* pool);
// Workers alive (busy + idle), for tests.
int ZK_Pool_workerCount(ZK_Pool* pool);
