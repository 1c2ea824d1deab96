#include "support/thread.h"

#include "support/mem.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

struct ZK_Lock {
    std::recursive_mutex mutex;
};

struct ZK_Sem {
    std::mutex mutex;
    std::condition_variable cv;
    uint32_t count = 0;
};

struct ZK_Cond {
    std::mutex own;
    int waiters = 0;
    int signals = 0; // handed out, not yet taken
    ZK_Sem* wake = nullptr;
    ZK_Sem* ack = nullptr;
};

namespace {
constexpr uint32_t kSemMax = 0x8000;
constexpr uint32_t kThreadStopMs = 5000;

template <class T> T* makeRecord() {
    return new (std::nothrow) T();
}
} // namespace

ZK_Lock* ZK_Lock_create() {
    return makeRecord<ZK_Lock>();
}
void ZK_Lock_enter(ZK_Lock* lock) {
    if (lock)
        lock->mutex.lock();
}
void ZK_Lock_leave(ZK_Lock* lock) {
    if (lock)
        lock->mutex.unlock();
}
void ZK_Lock_destroy(ZK_Lock* lock) {
    delete lock;
}

ZK_Sem* ZK_Sem_create() {
    return makeRecord<ZK_Sem>();
}

int ZK_Sem_post(ZK_Sem* sem) {
    if (!sem)
        return 0;
    // Notify under the lock: a waiter may destroy the semaphore as soon as
    // it returns, and it cannot return before we let go of the mutex.
    std::lock_guard<std::mutex> g(sem->mutex);
    if (sem->count >= kSemMax)
        return 0;
    ++sem->count;
    sem->cv.notify_one();
    return 1;
}

int ZK_Sem_wait(ZK_Sem* sem, uint32_t ms) {
    if (!sem)
        return 0;
    std::unique_lock<std::mutex> g(sem->mutex);
    auto ready = [sem] { return sem->count > 0; };
    if (ms == ZK_WAIT_FOREVER)
        sem->cv.wait(g, ready);
    else if (!sem->cv.wait_for(g, std::chrono::milliseconds(ms), ready))
        return 0;
    --sem->count;
    return 1;
}

void ZK_Sem_destroy(ZK_Sem* sem) {
    delete sem;
}

ZK_Cond* ZK_Cond_create() {
    ZK_Cond* c = makeRecord<ZK_Cond>();
    if (!c)
        return nullptr;
    c->wake = ZK_Sem_create();
    c->ack = ZK_Sem_create();
    if (!c->wake || !c->ack) {
        ZK_Cond_destroy(c);
        return nullptr;
    }
    return c;
}

void ZK_Cond_destroy(ZK_Cond* cond) {
    if (!cond)
        return;
    ZK_Sem_destroy(cond->wake);
    ZK_Sem_destroy(cond->ack);
    delete cond;
}

int ZK_Cond_wait(ZK_Cond* cond, ZK_Lock* held, uint32_t ms) {
    if (!cond)
        return 0;
    {
        std::lock_guard<std::mutex> g(cond->own);
        ++cond->waiters;
    }
    ZK_Lock_leave(held);
    int woke = ZK_Sem_wait(cond->wake, ms);
    int signalled = 0;
    {
        std::lock_guard<std::mutex> g(cond->own);
        if (cond->signals > 0) {
            // A signal raced with our time-out: its post is ours, take it so
            // that the next waiter does not wake on a stale post.
            if (!woke)
                (void)ZK_Sem_wait(cond->wake, ZK_WAIT_FOREVER);
            ZK_Sem_post(cond->ack);
            --cond->signals;
            signalled = 1;
        }
        --cond->waiters;
    }
    ZK_Lock_enter(held);
    return signalled;
}

int ZK_Cond_signal(ZK_Cond* cond) {
    if (!cond)
        return 0;
    bool released = false;
    {
        std::lock_guard<std::mutex> g(cond->own);
        if (cond->waiters > cond->signals) {
            ++cond->signals;
            ZK_Sem_post(cond->wake);
            released = true;
        }
    }
    if (!released)
        return 0;
    ZK_Sem_wait(cond->ack, ZK_WAIT_FOREVER);
    return 1;
}

int ZK_Cond_broadcast(ZK_Cond* cond) {
    if (!cond)
        return 0;
    int released = 0;
    {
        std::lock_guard<std::mutex> g(cond->own);
        while (cond->waiters > cond->signals) {
            ++cond->signals;
            ZK_Sem_post(cond->wake);
            ++released;
        }
    }
    for (int i = 0; i < released; ++i)
        ZK_Sem_wait(cond->ack, ZK_WAIT_FOREVER);
    return released ? 1 : 0;
}

// The record is shared by the creator and the running procedure, so that a
// thread left running after the stop time-out never touches freed memory.
struct ZK_Thread {
    ZK_ThreadProc proc = nullptr;
    void* arg = nullptr;
    ZK_Sem* stop = nullptr;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable endedCv;
    bool ended = false;
    std::atomic<int> refs{2};
};

namespace {
void releaseThread(ZK_Thread* t) {
    if (t->refs.fetch_sub(1) == 1) {
        ZK_Sem_destroy(t->stop);
        delete t;
    }
}
} // namespace

ZK_Thread* ZK_Thread_create(ZK_ThreadProc proc, void* arg) {
    if (!proc)
        return nullptr;
    ZK_Thread* t = makeRecord<ZK_Thread>();
    if (!t)
        return nullptr;
    t->proc = proc;
    t->arg = arg;
    t->stop = ZK_Sem_create();
    if (!t->stop) {
        delete t;
        return nullptr;
    }
    try {
        t->thread = std::thread([t] {
            t->proc(t, t->arg);
            {
                std::lock_guard<std::mutex> g(t->mutex);
                t->ended = true;
            }
            t->endedCv.notify_all();
            releaseThread(t);
        });
    } catch (...) {
        ZK_Sem_destroy(t->stop);
        delete t;
        return nullptr;
    }
    return t;
}

ZK_Sem* ZK_Thread_stopSignal(ZK_Thread* thread) {
    return thread ? thread->stop : nullptr;
}

int ZK_Thread_destroy(ZK_Thread* thread, int wait) {
    if (!thread)
        return 1;
    ZK_Sem_post(thread->stop);
    bool ended;
    {
        std::unique_lock<std::mutex> g(thread->mutex);
        if (wait)
            thread->endedCv.wait_for(g, std::chrono::milliseconds(kThreadStopMs),
                                     [thread] { return thread->ended; });
        ended = thread->ended;
    }
    if (ended && thread->thread.joinable())
        thread->thread.join();
    else if (thread->thread.joinable())
        thread->thread.detach();
    releaseThread(thread);
    return ended ? 1 : 0;
}

// --- worker pool ---

namespace {
constexpr int kPoolStartWorkers = 10;
constexpr int kPoolSpareWorkers = 10;
constexpr int kPoolMaxBusy = 500;
constexpr size_t kPoolMaxQueued = 5000;

struct WorkItem {
    ZK_WorkFn fn;
    ZK_WorkFn done;
    void* arg;
    int ownsArg;
};
} // namespace

struct ZK_Pool {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<WorkItem> queue;
    int busy = 0;
    int idle = 0;
    bool stopping = false;
    ZK_Sem* ended = nullptr;
};

namespace {

void finishItem(const WorkItem& item) {
    if (item.fn)
        item.fn(item.arg);
    if (item.done)
        item.done(item.arg);
    if (item.ownsArg)
        ZK_Mem_free(item.arg);
}

void workerMain(ZK_Pool* pool) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::unique_lock<std::mutex> g(pool->mutex);
    for (;;) {
        if (!pool->queue.empty() && !pool->stopping) {
            WorkItem item = pool->queue.front();
            pool->queue.pop_front();
            g.unlock();
            finishItem(item);
            g.lock();
            continue;
        }
        --pool->busy;
        if (pool->stopping || pool->busy + pool->idle > kPoolSpareWorkers)
            break;
        ++pool->idle;
        pool->cv.wait(g, [pool] { return pool->stopping || !pool->queue.empty(); });
        --pool->idle;
        ++pool->busy;
    }
    bool last = pool->busy + pool->idle == 0;
    ZK_Sem* ended = pool->ended;
    g.unlock();
    if (last)
        ZK_Sem_post(ended);
}

// Called with the pool lock held; the new worker counts as busy at once.
bool startWorker(ZK_Pool* pool) {
    try {
        std::thread(workerMain, pool).detach();
    } catch (...) {
        return false;
    }
    ++pool->busy;
    return true;
}

} // namespace

ZK_Pool* ZK_Pool_create() {
    ZK_Pool* pool = makeRecord<ZK_Pool>();
    if (!pool)
        return nullptr;
    pool->ended = ZK_Sem_create();
    if (!pool->ended) {
        delete pool;
        return nullptr;
    }
    std::lock_guard<std::mutex> g(pool->mutex);
    for (int i = 0; i < kPoolStartWorkers; ++i)
        startWorker(pool);
    return pool;
}

int ZK_Pool_submit(ZK_Pool* pool, ZK_WorkFn fn, ZK_WorkFn done, void* arg, int ownsArg) {
    if (!pool)
        return -2;
    {
        std::lock_guard<std::mutex> g(pool->mutex);
        if (pool->stopping)
            return -2;
        if (pool->queue.size() > kPoolMaxQueued)
            return -1;
        try {
            pool->queue.push_back({fn, done, arg, ownsArg});
        } catch (...) {
            return -2;
        }
        if (pool->idle == 0 && pool->busy < kPoolMaxBusy)
            startWorker(pool);
    }
    pool->cv.notify_one();
    return 0;
}

int ZK_Pool_workerCount(ZK_Pool* pool) {
    if (!pool)
        return 0;
    std::lock_guard<std::mutex> g(pool->mutex);
    return pool->busy + pool->idle;
}

void ZK_Pool_destroy(ZK_Pool* pool) {
    if (!pool)
        return;
    bool anyWorker;
    {
        std::lock_guard<std::mutex> g(pool->mutex);
        pool->stopping = true;
        anyWorker = pool->busy + pool->idle > 0;
    }
    pool->cv.notify_all();
    if (anyWorker)
        ZK_Sem_wait(pool->ended, ZK_WAIT_FOREVER);
    // The last worker has left the pool's lock before posting, so no one
    // touches the record from here on.
    {
        std::lock_guard<std::mutex> g(pool->mutex);
        for (const WorkItem& item : pool->queue)
            if (item.ownsArg)
                ZK_Mem_free(item.arg);
        pool->queue.clear();
    }
    ZK_Sem_destroy(pool->ended);
    delete pool;
}
