// Cost of the tool's side of the report transport: a 2 MiB ZK_Flash_write and
// an 8 MiB ZK_Flash_read.
//
// Three views, all on the calling thread's CPU clock, reported per report:
// - Sim/...:      the whole path through the HID layer and the simulator;
// - SimEngine/..: the simulator's engine alone, fed the same report stream
//                 with ZK_Sim_receiveReport/takeReport;
// - Tool/...:     the tool's code alone, against a do-nothing backend that
//                 accepts every report and answers with prepared ones.
// Tool cost ~= Sim - SimEngine, and Tool measures it directly.
#include "device/cmd.h"
#include "platform/hid.h"
#include "sim.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <vector>

namespace {

constexpr uint32_t WRITE_BYTES = 2u << 20;
constexpr uint32_t READ_BYTES = 8u << 20;

double threadCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

void putBlock(uint8_t* out, uint8_t code, uint32_t a, uint32_t b, uint32_t c, uint8_t mode,
              uint32_t d) {
    auto put = [&](int at, uint32_t v) { std::memcpy(out + at, &v, 4); };
    out[0] = code;
    out[1] = 0x17;
    put(2, a);
    put(6, b);
    put(10, c);
    out[14] = mode;
    put(15, d);
    std::memcpy(out + 19, "HIDC", 4);
    uint32_t sum = 0;
    for (int i = 0; i < 23; ++i)
        sum += out[i];
    put(23, sum);
}

// The do-nothing device: a read command is answered by as many 64-byte data
// reports as it asked for, every command by a valid reply.
struct NullDevice {
    uint32_t dataReportsLeft = 0;
    bool replyDue = false;
    uint8_t data[65];
    uint8_t reply[65];
};
NullDevice g_null;

int nullEnumerate(uint16_t, uint16_t, ZK_HidDeviceInfo*, int) {
    return 0;
}
bool nullOwns(const char* path) {
    return std::strncmp(path, "null:", 5) == 0;
}
int nullOpen(const char*, void** handle) {
    *handle = &g_null;
    std::memset(g_null.data, 0xA5, sizeof g_null.data);
    g_null.data[0] = 0;
    std::memset(g_null.reply, 0xCC, sizeof g_null.reply);
    g_null.reply[0] = 0;
    putBlock(g_null.reply + 1, 0, 0, 0, 0, 0, 0);
    return ZK_HID_OK;
}
uint32_t g_writeDataLeft = 0;
int nullWrite(void* handle, const uint8_t* report, size_t length, size_t* count) {
    auto* d = (NullDevice*)handle;
    if (g_writeDataLeft) {
        if (--g_writeDataLeft == 0)
            d->replyDue = true;
    } else {
        uint32_t pages;
        std::memcpy(&pages, report + 7, 4);
        if (report[1] == 0xF2) {
            d->dataReportsLeft = pages * 4;
        } else if (report[1] == 0xF3) {
            g_writeDataLeft = pages * 4;
        }
        d->replyDue = g_writeDataLeft == 0;
    }
    *count = length;
    return ZK_HID_OK;
}
int nullRead(void* handle, uint8_t* report, size_t capacity, int, size_t* count) {
    auto* d = (NullDevice*)handle;
    if (d->dataReportsLeft) {
        std::memcpy(report, d->data, capacity);
        if (--d->dataReportsLeft == 0)
            d->replyDue = true;
    } else if (d->replyDue) {
        std::memcpy(report, d->reply, capacity);
        d->replyDue = false;
    } else {
        return ZK_HID_ERR_TIMEOUT;
    }
    *count = capacity;
    return ZK_HID_OK;
}
void nullClose(void*) {}

const ZK_HidBackend NULL_BACKEND = {
    .name = "null",
    .enumerate = nullEnumerate,
    .ownsPath = nullOwns,
    .open = nullOpen,
    .write = nullWrite,
    .read = nullRead,
    .close = nullClose,
};

CommandChannel* openChannel(const char* path) {
    CommandChannel* channel = ZK_Channel_create();
    ZK_Channel_attachPort(channel, ZK_Port_open(path));
    channel->deviceVersion = 1046;
    return channel;
}

void report(benchmark::State& state, double cpuNs, uint64_t reports) {
    state.counters["cpu_us_per_report"] = cpuNs / 1000.0 / (double)reports;
    state.counters["reports"] = (double)reports / (double)state.iterations();
}

// Times one flash transfer per iteration on `channel`; `after` (may be
// none) runs outside the timing, e.g. to drop the simulator's traffic log.
template <class After>
void timeTransfers(benchmark::State& state, CommandChannel* channel, bool write, After after) {
    uint32_t bytes = write ? WRITE_BYTES : READ_BYTES;
    std::vector<uint8_t> buffer(bytes, 0x3C);
    double cpu = 0;
    uint64_t reports = 0;
    for (auto _ : state) {
        double t0 = threadCpuNs();
        int ok = write ? ZK_Flash_write(channel, 0x100000, buffer.data(), bytes, 0, 0)
                       : ZK_Flash_read(channel, 0, buffer.data(), bytes, 0);
        cpu += threadCpuNs() - t0;
        if (!ok)
            state.SkipWithError("transfer failed");
        reports += bytes / 64 + 2;
        after();
    }
    report(state, cpu, reports);
}

void flashThroughSim(benchmark::State& state, bool write) {
    SimConfig config;
    config.name = "bench";
    config.profile = "blank";
    SimDevice* sim = ZK_Sim_create(config);
    ZK_Sim_setRawCaptureLimit(sim, 0);
    ZK_Sim_plug(sim);
    CommandChannel* channel = openChannel(ZK_Sim_path(sim).c_str());
    timeTransfers(state, channel, write, [sim] { ZK_Sim_clearTraffic(sim); });
    ZK_Channel_destroy(channel);
    ZK_Sim_destroy(sim);
}

// The same stream straight into the engine: command, data, reply.
void flashEngineOnly(benchmark::State& state, bool write) {
    SimConfig config;
    config.name = "bench-engine";
    config.profile = "blank";
    SimDevice* sim = ZK_Sim_create(config);
    ZK_Sim_setRawCaptureLimit(sim, 0);
    uint32_t bytes = write ? WRITE_BYTES : READ_BYTES;
    uint8_t command[65], dataReport[65];
    std::memset(command, 0xCC, sizeof command);
    command[0] = 0;
    uint32_t sum = 0x3Cu * bytes; // every data byte is 0x3C, no fill
    putBlock(command + 1, write ? 0xF3 : 0xF2, (write ? 0x100000u : 0u) / 256, bytes / 256, 0, 0,
             write ? sum : 0);
    std::memset(dataReport, 0x3C, sizeof dataReport);
    dataReport[0] = 0;
    std::vector<uint8_t> in;
    in.reserve(65);
    double cpu = 0;
    uint64_t reports = 0;
    for (auto _ : state) {
        double t0 = threadCpuNs();
        ZK_Sim_receiveReport(sim, command, sizeof command);
        if (write) {
            for (uint32_t i = 0; i < bytes / 64; ++i)
                ZK_Sim_receiveReport(sim, dataReport, sizeof dataReport);
        }
        uint32_t taken = 0;
        while (ZK_Sim_takeReport(sim, &in))
            ++taken;
        cpu += threadCpuNs() - t0;
        if (taken != (write ? 1u : bytes / 64 + 1))
            state.SkipWithError("unexpected report count");
        reports += bytes / 64 + 2;
        ZK_Sim_clearTraffic(sim);
    }
    report(state, cpu, reports);
    ZK_Sim_destroy(sim);
}

void flashTool(benchmark::State& state, bool write) {
    ZK_Hid_registerBackend(&NULL_BACKEND);
    CommandChannel* channel = openChannel("null:0#vid_0416&pid_b500");
    timeTransfers(state, channel, write, [] {});
    ZK_Channel_destroy(channel);
    ZK_Hid_unregisterBackend(&NULL_BACKEND);
}

void BM_Sim_FlashWrite2MiB(benchmark::State& s) {
    flashThroughSim(s, true);
}
void BM_Sim_FlashRead8MiB(benchmark::State& s) {
    flashThroughSim(s, false);
}
void BM_SimEngine_Write2MiB(benchmark::State& s) {
    flashEngineOnly(s, true);
}
void BM_SimEngine_Read8MiB(benchmark::State& s) {
    flashEngineOnly(s, false);
}
void BM_Tool_FlashWrite2MiB(benchmark::State& s) {
    flashTool(s, true);
}
void BM_Tool_FlashRead8MiB(benchmark::State& s) {
    flashTool(s, false);
}

BENCHMARK(BM_Sim_FlashWrite2MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SimEngine_Write2MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Tool_FlashWrite2MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sim_FlashRead8MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SimEngine_Read8MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Tool_FlashRead8MiB)->Unit(benchmark::kMillisecond);

} // namespace
