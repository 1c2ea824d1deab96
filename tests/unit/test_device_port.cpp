// Report transport: ports closed or devices removed while a command runs on
// another thread. Run under ASan and TSan: a port freed too early or a racy
// swap shows up there.
#include "test_device_util.h"

#include "support/mem.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

using namespace devtest;

namespace {

constexpr uint32_t LONG_WRITE = 2 * 1024 * 1024;

// Pauses the writer inside its data phase until the other thread has acted.
struct Rendezvous {
    std::mutex m;
    std::condition_variable cv;
    uint32_t pauseAt = 64 * 100; // bytes sent when the writer stops
    bool reached = false, released = false, wait = true;
    std::vector<Event> events;
};

void pausingHook(void* user, int event, uint32_t a, uint32_t b) {
    auto* r = static_cast<Rendezvous*>(user);
    r->events.push_back({event, a, b});
    if (event != ZK_TRANSFER_CHUNK || b != r->pauseAt)
        return;
    std::unique_lock<std::mutex> lock(r->m);
    r->reached = true;
    r->cv.notify_all();
    if (r->wait)
        r->cv.wait(lock, [r] { return r->released; });
}

class PortRemoval : public SimChannel {
  protected:
    void SetUp() override {
        liveBefore = ZK_Mem_liveBlocks();
        SimChannel::SetUp();
        channel->transferHook = pausingHook;
        channel->transferUser = &rv;
        data.assign(LONG_WRITE, 0x5A);
    }
    void TearDown() override {
        SimChannel::TearDown();
        EXPECT_EQ(ZK_Mem_liveBlocks(), liveBefore) << "the port was freed exactly once";
    }
    // Runs a long write on a worker; `act` runs on this thread once the
    // writer is inside its data phase.
    template <class Act> int writeWhile(Act act) {
        int result = -100;
        std::thread writer(
            [&] { result = ZK_Flash_write(channel, 0x100000, data.data(), LONG_WRITE, 0, 0); });
        {
            std::unique_lock<std::mutex> lock(rv.m);
            rv.cv.wait(lock, [&] { return rv.reached; });
        }
        act();
        {
            std::lock_guard<std::mutex> lock(rv.m);
            rv.released = true;
        }
        rv.cv.notify_all();
        writer.join();
        return result;
    }
    int32_t liveBefore = 0;
    Rendezvous rv;
    std::vector<uint8_t> data;
};

// The removal handler closes the port while the writer holds it: the writer's
// next report fails, the end event still comes, and the port is freed after.
TEST_F(PortRemoval, CloseDuringLongWrite) {
    int result = writeWhile([&] {
        ZK_Channel_detachPort(channel);
        EXPECT_FALSE(ZK_Channel_hasPort(channel));
    });
    EXPECT_EQ(result, 0);
    ASSERT_FALSE(rv.events.empty());
    EXPECT_EQ(rv.events.back(), (Event{2, rv.pauseAt, rv.pauseAt}));
    auto t = ZK_Sim_traffic(sim);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].dataLength, rv.pauseAt) << "no report after the close";
    EXPECT_EQ(ZK_Cmd_complete(channel), 0);
}

// Unplugging the device itself fails the transfer the same way.
TEST_F(PortRemoval, UnplugDuringLongWrite) {
    int result = writeWhile([&] { ZK_Sim_unplug(sim); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(rv.events.back().event, 2);
    EXPECT_TRUE(ZK_Channel_hasPort(channel)) << "until the removal handler detaches it";
    ZK_Channel_detachPort(channel);
}

// Closing and re-attaching without pausing the writer: whatever report the
// close lands on, the write ends cleanly and nothing leaks.
TEST_F(PortRemoval, RacingCloseAndReattach) {
    rv.wait = false;
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        rv.reached = rv.released = false;
        rv.events.clear();
        int result = writeWhile([&] {
            ZK_Channel_detachPort(channel);
            ZK_Sim_unplug(sim);
            ZK_Sim_plug(sim);
            HidPort* port = ZK_Port_open(ZK_Sim_path(sim).c_str());
            ASSERT_NE(port, nullptr);
            ZK_Channel_attachPort(channel, port);
        });
        EXPECT_EQ(result, 0) << "a 2 MiB write cannot finish in the time of a close";
        EXPECT_EQ(rv.events.back().event, 2);
        EXPECT_EQ(ZK_Cmd_complete(channel), 1) << "the new port works";
        ZK_Sim_clearTraffic(sim);
    }
}

// A reply that never comes holds the writer in a blocking read; closing the
// port from outside does not wait for it, and the read ends within its bound.
TEST_F(PortRemoval, CloseDuringBlockedRead) {
    SimFault f;
    f.kind = SIM_FAULT_NO_REPLY;
    ZK_Sim_injectFault(sim, f);
    int result = -1;
    std::thread reader([&] { result = ZK_Cmd_complete(channel); });
    // Wait until the command report is out, so the reader is in its read.
    while (ZK_Sim_traffic(sim).empty())
        std::this_thread::yield();
    ZK_Channel_detachPort(channel);
    reader.join();
    EXPECT_EQ(result, 0);
}

TEST(Port, OpenAndCloseEdges) {
    int32_t live = ZK_Mem_liveBlocks();
    int rc = 0;
    EXPECT_EQ(ZK_Port_open("sim:absent#vid_0416&pid_b500", &rc), nullptr);
    EXPECT_NE(rc, ZK_HID_OK);
    EXPECT_EQ(ZK_Port_open(nullptr), nullptr);
    ZK_Port_close(nullptr);
    ZK_Channel_destroy(nullptr);
    uint8_t report[ZK_REPORT_RESERVE];
    size_t count = 99;
    EXPECT_EQ(ZK_Port_readReport(nullptr, report, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ZK_Mem_liveBlocks(), live) << "a failed open leaves nothing behind";
}

} // namespace
