#include "support/timer.h"

#include "support/clock.h"
#include "support/mem.h"
#include "support/thread.h"

#include <mutex>

struct ZK_Timer {
    ZK_Timer* next;
    uint32_t due;
    ZK_TimerFn callback;
    void* arg;
};

namespace {

struct TimerService {
    ZK_Timer* head = nullptr;
    ZK_Lock* lock = nullptr;
    ZK_Cond* cond = nullptr;
    ZK_Pool* pool = nullptr;
    ZK_Thread* thread = nullptr;
    // The quit request is a flag, not a timer with period 0, so that no user
    // timer can ever be taken for it.
    bool quitting = false;
};

// Guards creating and tearing down the service itself.
std::mutex g_lifecycle;
TimerService* g_service = nullptr;

// Due times are compared by signed difference, so the comparison holds across
// the 49.7-day wrap of the 32-bit tick.
bool dueBefore(uint32_t a, uint32_t b) {
    return (int32_t)(a - b) < 0;
}

// Called with the service lock held.
void insertSorted(TimerService* s, ZK_Timer* t) {
    ZK_Timer** link = &s->head;
    while (*link && !dueBefore(t->due, (*link)->due))
        link = &(*link)->next;
    t->next = *link;
    *link = t;
}

// Runs on a pool thread; every timer runs once. The pool owns the record from
// the hand-over and frees it after the run (or unrun, when it is stopped).
void runTimer(void* p) {
    ZK_Timer* t = static_cast<ZK_Timer*>(p);
    t->callback(t->arg);
}

void timerThread(ZK_Thread*, void* arg) {
    TimerService* s = static_cast<TimerService*>(arg);
    ZK_Lock_enter(s->lock);
    for (;;) {
        if (s->quitting)
            break;
        ZK_Timer* first = s->head;
        if (!first) {
            ZK_Cond_wait(s->cond, s->lock, ZK_WAIT_FOREVER);
            continue;
        }
        uint32_t now = ZK_Clock_tickMs();
        if (dueBefore(now, first->due)) {
            ZK_Cond_wait(s->cond, s->lock, first->due - now);
            continue;
        }
        s->head = first->next;
        // A refused item is not run: the timer is lost, as the pool refuses it.
        if (ZK_Pool_submit(s->pool, runTimer, nullptr, first, 1) != 0)
            ZK_Mem_free(first);
    }
    ZK_Lock_leave(s->lock);
}

void destroyService(TimerService* s) {
    ZK_Pool_destroy(s->pool);
    while (s->head) {
        ZK_Timer* t = s->head;
        s->head = t->next;
        ZK_Mem_free(t);
    }
    ZK_Cond_destroy(s->cond);
    ZK_Lock_destroy(s->lock);
    delete s;
}

TimerService* startLocked() {
    if (g_service)
        return nullptr;
    TimerService* s = new TimerService();
    s->lock = ZK_Lock_create();
    s->cond = ZK_Cond_create();
    s->pool = ZK_Pool_create();
    if (s->lock && s->cond && s->pool)
        s->thread = ZK_Thread_create(timerThread, s);
    if (!s->thread) {
        destroyService(s);
        return nullptr;
    }
    g_service = s;
    return s;
}

} // namespace

int ZK_Timer_start() {
    std::lock_guard<std::mutex> g(g_lifecycle);
    return startLocked() ? 1 : 0;
}

ZK_Timer* ZK_Timer_after(ZK_TimerFn callback, uint32_t delayMs, void* arg) {
    if (!callback || delayMs == 0)
        return nullptr;
    std::lock_guard<std::mutex> g(g_lifecycle);
    if (!g_service && !startLocked())
        return nullptr;
    TimerService* s = g_service;
    ZK_Timer* t = static_cast<ZK_Timer*>(ZK_Mem_calloc(1, sizeof(ZK_Timer)));
    if (!t)
        return nullptr;
    t->callback = callback;
    t->arg = arg;
    ZK_Lock_enter(s->lock);
    t->due = ZK_Clock_tickMs() + delayMs;
    insertSorted(s, t);
    ZK_Lock_leave(s->lock);
    ZK_Cond_signal(s->cond);
    return t;
}

void ZK_Timer_shutdown() {
    TimerService* s;
    {
        // Let go of the lifecycle lock before waiting for callbacks, so that
        // a callback that schedules again cannot deadlock the shutdown.
        std::lock_guard<std::mutex> g(g_lifecycle);
        s = g_service;
        g_service = nullptr;
    }
    if (!s)
        return;
    ZK_Lock_enter(s->lock);
    s->quitting = true;
    ZK_Lock_leave(s->lock);
    ZK_Cond_signal(s->cond);
    if (!ZK_Thread_destroy(s->thread, 1))
        return; // still running after 5000 ms: leak the service rather than free it under it
    destroyService(s);
}

int ZK_Timer_pendingCount() {
    std::lock_guard<std::mutex> g(g_lifecycle);
    if (!g_service)
        return 0;
    int n = 0;
    ZK_Lock_enter(g_service->lock);
    for (ZK_Timer* t = g_service->head; t; t = t->next)
        ++n;
    ZK_Lock_leave(g_service->lock);
    return n;
}

int ZK_Timer_pendingArgs(void** out, int capacity) {
    std::lock_guard<std::mutex> g(g_lifecycle);
    if (!g_service || !out)
        return 0;
    int n = 0;
    ZK_Lock_enter(g_service->lock);
    for (ZK_Timer* t = g_service->head; t && n < capacity; t = t->next)
        out[n++] = t->arg;
    ZK_Lock_leave(g_service->lock);
    return n;
}
