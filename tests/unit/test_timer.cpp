// Threads, acknowledged conditions, the worker pool and the timer service.
#include "support/clock.h"
#include "support/thread.h"
#include "support/timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Recorder {
    std::mutex mutex;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::vector<uint32_t> ticks;
    ZK_Sem* done = ZK_Sem_create();
    ~Recorder() { ZK_Sem_destroy(done); }
};

struct Tagged {
    Recorder* rec;
    int tag;
};

void record(void* p) {
    auto* t = static_cast<Tagged*>(p);
    {
        std::lock_guard<std::mutex> g(t->rec->mutex);
        t->rec->order.push_back(t->tag);
        t->rec->threads.push_back(std::this_thread::get_id());
        t->rec->ticks.push_back(ZK_Clock_tickMs());
    }
    ZK_Sem_post(t->rec->done);
}

class TimerTest : public ::testing::Test {
  protected:
    void TearDown() override { ZK_Timer_shutdown(); }
};

TEST_F(TimerTest, StartIsIdempotentAndBadRequestsAreRefused) {
    EXPECT_EQ(ZK_Timer_start(), 1);
    EXPECT_EQ(ZK_Timer_start(), 0);
    Recorder rec;
    Tagged t{&rec, 1};
    EXPECT_EQ(ZK_Timer_after(record, 0, &t), nullptr);
    EXPECT_EQ(ZK_Timer_after(nullptr, 10, &t), nullptr);
    ZK_Timer_shutdown();
    EXPECT_EQ(ZK_Timer_start(), 1); // startable again after a shutdown
}

TEST_F(TimerTest, EqualDueTimesKeepSchedulingOrder) {
    Recorder rec;
    Tagged a{&rec, 1}, b{&rec, 2}, c{&rec, 3}, first{&rec, 0};
    // Equal delays scheduled one after the other have equal or later dues, so
    // each goes behind the ones already waiting; a shorter one goes in front.
    ASSERT_NE(ZK_Timer_after(record, 60000, &a), nullptr);
    ASSERT_NE(ZK_Timer_after(record, 60000, &b), nullptr);
    ASSERT_NE(ZK_Timer_after(record, 60000, &c), nullptr);
    ASSERT_NE(ZK_Timer_after(record, 30000, &first), nullptr);
    void* args[8];
    ASSERT_EQ(ZK_Timer_pendingArgs(args, 8), 4);
    EXPECT_EQ(args[0], &first);
    EXPECT_EQ(args[1], &a);
    EXPECT_EQ(args[2], &b);
    EXPECT_EQ(args[3], &c);
}

TEST_F(TimerTest, DueOrderIsKeptForTimersScheduledOutOfOrder) {
    Recorder rec;
    Tagged late{&rec, 2}, early{&rec, 1};
    ASSERT_NE(ZK_Timer_after(record, 400, &late), nullptr);
    ASSERT_NE(ZK_Timer_after(record, 100, &early), nullptr);
    ASSERT_EQ(ZK_Sem_wait(rec.done, 5000), 1);
    ASSERT_EQ(ZK_Sem_wait(rec.done, 5000), 1);
    EXPECT_EQ(rec.order, (std::vector<int>{1, 2}));
}

TEST_F(TimerTest, TwoSecondTimerRunsOnceOnAPoolThreadNotEarly) {
    Recorder rec;
    Tagged t{&rec, 7};
    uint32_t start = ZK_Clock_tickMs();
    ASSERT_NE(ZK_Timer_after(record, 2000, &t), nullptr);
    ASSERT_EQ(ZK_Sem_wait(rec.done, 10000), 1);
    EXPECT_GE(rec.ticks[0] - start, 2000u);
    EXPECT_NE(rec.threads[0], std::this_thread::get_id());
    EXPECT_EQ(ZK_Sem_wait(rec.done, 300), 0); // once only
    EXPECT_EQ(ZK_Timer_pendingCount(), 0);
}

TEST_F(TimerTest, ShutdownDropsPendingTimers) {
    Recorder rec;
    Tagged t{&rec, 1};
    ASSERT_NE(ZK_Timer_after(record, 60000, &t), nullptr);
    EXPECT_EQ(ZK_Timer_pendingCount(), 1);
    // Returns without waiting out the 60 s timer (a hang fails the run's time-out).
    ZK_Timer_shutdown();
    EXPECT_TRUE(rec.order.empty());
}

TEST(Cond, ZeroWaitTimesOutAtOnceAndSignalIsAcknowledged) {
    ZK_Lock* lock = ZK_Lock_create();
    ZK_Cond* cond = ZK_Cond_create();
    ZK_Lock_enter(lock);
    EXPECT_EQ(ZK_Cond_wait(cond, lock, 0), 0);
    ZK_Lock_leave(lock);
    EXPECT_EQ(ZK_Cond_signal(cond), 0); // nobody waits

    std::atomic<int> woke{0};
    std::vector<std::thread> waiters;
    std::atomic<int> ready{0};
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            ZK_Lock_enter(lock);
            ++ready;
            if (ZK_Cond_wait(cond, lock, ZK_WAIT_FOREVER))
                ++woke;
            ZK_Lock_leave(lock);
        });
    // A waiter counts itself under the lock before it leaves it, so once all
    // three have said ready and we can take the lock, all three are counted.
    while (ready < 3)
        std::this_thread::yield();
    ZK_Lock_enter(lock);
    ZK_Lock_leave(lock);
    EXPECT_EQ(ZK_Cond_signal(cond), 1);
    EXPECT_EQ(ZK_Cond_broadcast(cond), 1);
    for (auto& w : waiters)
        w.join();
    EXPECT_EQ(woke, 3);
    ZK_Cond_destroy(cond);
    ZK_Lock_destroy(lock);
}

TEST(Thread, StopSignalEndsAWaitingThread) {
    std::atomic<bool> sawStop{false};
    ZK_Thread* t = ZK_Thread_create(
        [](ZK_Thread* self, void* arg) {
            if (ZK_Sem_wait(ZK_Thread_stopSignal(self), ZK_WAIT_FOREVER))
                static_cast<std::atomic<bool>*>(arg)->store(true);
        },
        &sawStop);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(ZK_Thread_destroy(t, 1), 1);
    EXPECT_TRUE(sawStop);
}

TEST(Pool, RunsItemsAndShrinksToItsSpareWorkers) {
    ZK_Pool* pool = ZK_Pool_create();
    ASSERT_NE(pool, nullptr);
    ZK_Sem* done = ZK_Sem_create();
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(
            ZK_Pool_submit(
                pool, [](void* s) { ZK_Sem_post(static_cast<ZK_Sem*>(s)); }, nullptr, done, 0),
            0);
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(ZK_Sem_wait(done, 5000), 1);
    EXPECT_GE(ZK_Pool_workerCount(pool), 1);
    ZK_Pool_destroy(pool);
    ZK_Sem_destroy(done);
}

} // namespace
