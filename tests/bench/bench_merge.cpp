// Province merge and sort of a national data set, beside glibc qsort with
// the same key on the same records.
#include "package/merge.h"
#include "package/package.h"
#include "support/mem.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kRecords = 2000000;
constexpr uint32_t kRecordSize = 16;

// 34 provinces sharing 2,000,000 pseudo-random 16-byte records.
UpdatePackage* makePackage() {
    auto* pkg = static_cast<UpdatePackage*>(ZK_Mem_calloc(1, sizeof(UpdatePackage)));
    auto& r = pkg->province;
    r.recordSize = kRecordSize;
    r.provinceCount = ZK_PROVINCE_COUNT;
    r.provinces =
        static_cast<ProvinceEntry*>(ZK_Mem_calloc(ZK_PROVINCE_COUNT, sizeof(ProvinceEntry)));
    uint64_t x = 0x9E3779B97F4A7C15ull;
    uint32_t left = kRecords;
    for (int i = 0; i < ZK_PROVINCE_COUNT; ++i) {
        ProvinceEntry& e = r.provinces[i];
        std::memcpy(e.name, ProvinceTable[i], sizeof ProvinceTable[i]);
        e.recordCount = i == ZK_PROVINCE_COUNT - 1 ? left : kRecords / ZK_PROVINCE_COUNT;
        left -= e.recordCount;
        e.records = static_cast<uint8_t*>(ZK_Mem_alloc((size_t)e.recordCount * kRecordSize));
        for (size_t b = 0; b < (size_t)e.recordCount * kRecordSize; b += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(e.records + b, &x, 8);
        }
    }
    return pkg;
}

int compareKeys(const void* a, const void* b) {
    uint32_t ka = ZK_Province_sortKey(static_cast<const uint8_t*>(a));
    uint32_t kb = ZK_Province_sortKey(static_cast<const uint8_t*>(b));
    return ka < kb ? -1 : ka > kb ? 1 : 0;
}

void BM_MergeAllProvinces(benchmark::State& state) {
    UpdatePackage* pkg = makePackage();
    int32_t all[ZK_PROVINCE_COUNT];
    for (auto& s : all)
        s = 1;
    uint64_t allocations = 0;
    for (auto _ : state) {
        uint64_t before = ZK_Mem_totalAllocations();
        if (!ZK_Package_mergeProvinces(pkg, all))
            state.SkipWithError("merge failed");
        allocations = ZK_Mem_totalAllocations() - before;
    }
    state.counters["allocations"] = (double)allocations;
    state.counters["records"] = kRecords;
    ZK_Package_close(pkg);
}
BENCHMARK(BM_MergeAllProvinces)->Unit(benchmark::kMillisecond)->Iterations(5);

// The same concatenation, then glibc qsort with the same key.
void BM_ConcatThenQsort(benchmark::State& state) {
    UpdatePackage* pkg = makePackage();
    std::vector<uint8_t> buffer(16 + (size_t)kRecords * kRecordSize);
    for (auto _ : state) {
        size_t at = 16;
        for (int i = 0; i < ZK_PROVINCE_COUNT; ++i) {
            const ProvinceEntry& e = pkg->province.provinces[i];
            std::memcpy(buffer.data() + at, e.records, (size_t)e.recordCount * kRecordSize);
            at += (size_t)e.recordCount * kRecordSize;
        }
        qsort(buffer.data() + 16, kRecords, kRecordSize, compareKeys);
        benchmark::DoNotOptimize(buffer.data());
    }
    ZK_Package_close(pkg);
}
BENCHMARK(BM_ConcatThenQsort)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace
