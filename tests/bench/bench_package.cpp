// Package transforms and reader: throughput, open time against the plain
// cost of reading and deciphering, and the reader's peak memory.
//
//   build-pkg/tests/korvana_bench --benchmark_filter=Package
#include "package/builder.h"
#include "package/keys.h"
#include "package/package.h"
#include "support/log.h"
#include "support/str.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr size_t kMiB = 1024 * 1024;
const char* const kChildVariable = "KORVANA_BENCH_OPEN_CHILD";

// Peak resident set of this process image, from /proc (VmHWM, in KiB). The
// kernel's getrusage maximum survives exec and so includes the parent's pages
// for a spawned child; VmHWM belongs to the new image alone.
long peakKiB() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1)
            break;
    std::fclose(f);
    return kib;
}

// In the child started by the memory benchmark: open the package named by the
// variable (or nothing, for the baseline), close it, report the peak on
// stdout and exit before main.
struct ChildMode {
    ChildMode() {
        const char* path = std::getenv(kChildVariable);
        if (!path)
            return;
        ZK_Log_setSink(nullptr, nullptr);
        int ok = 1;
        if (*path) {
            UpdatePackage* p = ZK_Package_open(path);
            ok = p != nullptr;
            ZK_Package_close(p);
        }
        std::printf("%ld\n", peakKiB());
        std::fflush(stdout);
        _exit(ok ? 0 : 1);
    }
} g_childMode;

// A 16 MiB package whose regions are all cipher regions, built once.
struct CipheredPackage {
    std::string path;
    PackageLayout layout{};
    std::vector<PackageSlot> ciphered;

    CipheredPackage() {
        char dir[ZK_PATH_TEMP_CAPACITY];
        if (!ZK_Path_temp(dir, "bench-package-16m.dzk"))
            std::abort();
        path = dir;
        std::vector<uint8_t> radar(768 * 1024), gps(4 * kMiB), gps2(4 * kMiB), gps3(4 * kMiB);
        ZK_Builder_fillPattern(radar.data(), radar.size(), 1);
        ZK_Builder_fillPattern(gps.data(), gps.size(), 2);
        ZK_Builder_fillPattern(gps2.data(), gps2.size(), 3);
        ZK_Builder_fillPattern(gps3.data(), gps3.size(), 4);
        // Province records fill the rest up to 16 MiB: 34 provinces of 16-byte records.
        size_t recordBytes = 16 * kMiB - radar.size() - 3 * 4 * kMiB - 16 - 34 * 54 - 520;
        uint32_t perProvince = (uint32_t)(recordBytes / 16 / 34);
        std::vector<uint8_t> records((size_t)perProvince * 16 * 34);
        ZK_Builder_fillPattern(records.data(), records.size(), 5);
        BuildProvince provinces[34] = {};
        for (int i = 0; i < 34; ++i) {
            std::snprintf(provinces[i].name, sizeof provinces[i].name, "P%02d", i);
            provinces[i].recordCount = perProvince;
            provinces[i].records = records.data() + (size_t)i * perProvince * 16;
        }
        PackageBuilder b;
        ZK_Builder_init(&b, ZK_TRAILER_520);
        b.magic = ZK_MAGIC_CIPHER;
        ZK_Builder_setTitle(&b, "TAVO bench");
        b.regions[ZK_SLOT_RADAR_MUTE] = {radar.data(), (uint32_t)radar.size(), 0, 0, 0};
        b.regions[ZK_SLOT_GPS] = {gps.data(), (uint32_t)gps.size(), 1, 0, 0};
        b.regions[ZK_SLOT_GPS2] = {gps2.data(), (uint32_t)gps2.size(), 1, 0, 0};
        b.regions[ZK_SLOT_GPS3] = {gps3.data(), (uint32_t)gps3.size(), 0, 0, 0};
        b.province = {1, 0, 1, 16, 34, provinces};
        if (!ZK_Builder_write(&b, path.c_str(), &layout))
            std::abort();
        for (int slot = 1; slot <= ZK_SLOT_COUNT; ++slot)
            if (layout.slots[slot].size && ZK_Package_slotInfo(slot)->cipher)
                ciphered.push_back(layout.slots[slot]);
        ZK_Log_setSink(nullptr, nullptr);
    }
    ~CipheredPackage() { std::remove(path.c_str()); }
};

const CipheredPackage& package16() {
    static CipheredPackage p;
    return p;
}

// What any reader must do at least: read the file and decipher its cipher regions.
void readAndDecipher(const CipheredPackage& pkg) {
    FILE* f = std::fopen(pkg.path.c_str(), "rb");
    if (!f)
        std::abort();
    std::vector<uint8_t> bytes(pkg.layout.fileSize);
    if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size())
        std::abort();
    std::fclose(f);
    for (const PackageSlot& s : pkg.ciphered)
        ZK_Data_decipher(bytes.data() + s.offset, s.size);
    benchmark::DoNotOptimize(bytes.data());
}

void BM_PackageDescramble(benchmark::State& state) {
    std::vector<uint8_t> buf((size_t)state.range(0));
    ZK_Builder_fillPattern(buf.data(), buf.size(), 1);
    for (auto _ : state) {
        ZK_Data_descramble(buf.size(), buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)buf.size());
}
BENCHMARK(BM_PackageDescramble)->Arg(256 * 1024)->Arg(16 * kMiB);

void BM_PackageDecipher(benchmark::State& state) {
    std::vector<uint8_t> buf((size_t)state.range(0));
    ZK_Builder_fillPattern(buf.data(), buf.size(), 1);
    for (auto _ : state) {
        ZK_Data_decipher(buf.data(), buf.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)buf.size());
}
BENCHMARK(BM_PackageDecipher)->Arg(256 * 1024)->Arg(16 * kMiB);

void BM_PackageOpen16MiB(benchmark::State& state) {
    const CipheredPackage& pkg = package16();
    for (auto _ : state) {
        UpdatePackage* p = ZK_Package_open(pkg.path.c_str());
        if (!p)
            state.SkipWithError("open failed");
        ZK_Package_close(p);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)pkg.layout.fileSize);
}
BENCHMARK(BM_PackageOpen16MiB)->Unit(benchmark::kMillisecond);

void BM_PackageReadPlusDecipher16MiB(benchmark::State& state) {
    const CipheredPackage& pkg = package16();
    for (auto _ : state)
        readAndDecipher(pkg);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)pkg.layout.fileSize);
}
BENCHMARK(BM_PackageReadPlusDecipher16MiB)->Unit(benchmark::kMillisecond);

// The two side by side, alternating, so both see the same machine state; the
// counter `ratio` is open time / (read + decipher) time (target: at most 2).
void BM_PackageOpenVsReadDecipher(benchmark::State& state) {
    const CipheredPackage& pkg = package16();
    using Clock = std::chrono::steady_clock;
    double openSeconds = 0, baseSeconds = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        UpdatePackage* p = ZK_Package_open(pkg.path.c_str());
        ZK_Package_close(p);
        auto t1 = Clock::now();
        readAndDecipher(pkg);
        auto t2 = Clock::now();
        openSeconds += std::chrono::duration<double>(t1 - t0).count();
        baseSeconds += std::chrono::duration<double>(t2 - t1).count();
    }
    double n = (double)state.iterations();
    state.counters["open_ms"] = 1000 * openSeconds / n;
    state.counters["read_decipher_ms"] = 1000 * baseSeconds / n;
    state.counters["ratio"] = openSeconds / baseSeconds;
}
BENCHMARK(BM_PackageOpenVsReadDecipher)->Unit(benchmark::kMillisecond)->Iterations(20);

// Peak resident memory of a fresh process that opens the package, against the
// same process that opens nothing (target: open adds at most file size + 8 MiB).
long childPeakKiB(const std::string& value) {
    std::string assignment = std::string(kChildVariable) + "=" + value;
    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, kChildVariable, std::strlen(kChildVariable)) != 0)
            env.push_back(*e);
    env.push_back(assignment.data());
    env.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    pid_t pid;
    int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return -1;
    }
    char text[64] = {0};
    ssize_t got = read(fds[0], text, sizeof text - 1);
    close(fds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        got <= 0)
        return -1;
    return std::atol(text);
}

void BM_PackageOpenPeakRss(benchmark::State& state) {
    const CipheredPackage& pkg = package16();
    long withOpen = 0, baseline = 0;
    for (auto _ : state) {
        withOpen = childPeakKiB(pkg.path);
        baseline = childPeakKiB("");
    }
    if (withOpen < 0 || baseline < 0) {
        state.SkipWithError("child failed");
        return;
    }
    state.counters["file_MiB"] = (double)pkg.layout.fileSize / kMiB;
    state.counters["peak_rss_MiB"] = (double)withOpen / 1024;
    state.counters["process_base_MiB"] = (double)baseline / 1024;
    state.counters["open_adds_MiB"] = (double)(withOpen - baseline) / 1024;
    // This benchmark process itself (it built the package), for comparison.
    struct rusage self;
    if (getrusage(RUSAGE_SELF, &self) == 0)
        state.counters["bench_maxrss_MiB"] = (double)self.ru_maxrss / 1024;
}
BENCHMARK(BM_PackageOpenPeakRss)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
