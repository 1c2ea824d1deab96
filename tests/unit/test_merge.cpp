// Province merge: lookup, table order, header, and the quicksort's order.
#include "package/keys.h"
#include "package/merge.h"
#include "package/package.h"
#include "support/mem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The key exactly as the format describes it, step by step, to check the
// shortcut the library takes.
uint32_t referenceKey(const uint8_t* r) {
    uint32_t a = (uint32_t)r[0] | (uint32_t)r[1] << 8 | (uint32_t)r[2] << 16 | (uint32_t)r[3] << 24;
    uint32_t b = (uint32_t)r[4] | (uint32_t)r[5] << 8 | (uint32_t)r[6] << 16 | (uint32_t)r[7] << 24;
    a = (a >> 6) | (a << 26);
    b = (b << 6) | (b >> 26);
    uint8_t t[8];
    for (int j = 0; j < 4; ++j) {
        t[j] = (uint8_t)(a >> (8 * j));
        t[4 + j] = (uint8_t)(b >> (8 * j));
    }
    for (int j = 0; j < 8; ++j)
        t[j] ^= ZK_PROVINCE_RECORD_MASK[j];
    uint8_t u[8] = {t[3], t[2], t[5], t[7], t[1], t[4], t[0], t[6]};
    uint32_t k = (uint32_t)u[4] << 24 | (uint32_t)u[5] << 16 | (uint32_t)u[6] << 8 | u[7];
    return 10u * (k % (1u << 20));
}

// A 16-byte record whose key is 10 x k (k < 2^20), with `tag` in byte 8 and
// `high` in the key bits above bit 19 (which must not count).
std::vector<uint8_t> recordWithKey(uint32_t k, uint8_t tag, uint8_t high = 0) {
    uint8_t t[8] = {};
    t[6] = (uint8_t)(k & 0xFF);
    t[0] = (uint8_t)((k >> 8) & 0xFF);
    t[4] = (uint8_t)(((k >> 16) & 0x0F) | (high << 4));
    t[1] = high; // K's top byte
    for (int j = 0; j < 8; ++j)
        t[j] ^= ZK_PROVINCE_RECORD_MASK[j];
    uint32_t a = (uint32_t)t[0] | (uint32_t)t[1] << 8 | (uint32_t)t[2] << 16 | (uint32_t)t[3] << 24;
    uint32_t b = (uint32_t)t[4] | (uint32_t)t[5] << 8 | (uint32_t)t[6] << 16 | (uint32_t)t[7] << 24;
    a = (a << 6) | (a >> 26);
    b = (b >> 6) | (b << 26);
    std::vector<uint8_t> r(16, 0);
    for (int j = 0; j < 4; ++j) {
        r[j] = (uint8_t)(a >> (8 * j));
        r[4 + j] = (uint8_t)(b >> (8 * j));
    }
    r[8] = tag;
    return r;
}

std::vector<uint8_t> tagsOf(const uint8_t* records, size_t count) {
    std::vector<uint8_t> tags;
    for (size_t i = 0; i < count; ++i)
        tags.push_back(records[i * 16 + 8]);
    return tags;
}

std::vector<uint8_t> concat(const std::vector<std::vector<uint8_t>>& records) {
    std::vector<uint8_t> out;
    for (const auto& r : records)
        out.insert(out.end(), r.begin(), r.end());
    return out;
}

TEST(ProvinceKey, MatchesTheStepByStepDefinition) {
    uint8_t r[16];
    for (uint32_t seed = 1; seed < 2000; ++seed) {
        for (int i = 0; i < 16; ++i)
            r[i] = (uint8_t)((seed * 2654435761u) >> (i % 4 * 8)) ^ (uint8_t)(i * 37);
        ASSERT_EQ(ZK_Province_sortKey(r), referenceKey(r)) << seed;
    }
    EXPECT_EQ(ZK_Province_sortKey(recordWithKey(12345, 0).data()), 123450u);
    // Keys that differ only above bit 19 of K are equal.
    EXPECT_EQ(ZK_Province_sortKey(recordWithKey(77, 1, 0x0).data()),
              ZK_Province_sortKey(recordWithKey(77, 2, 0xF).data()));
}

TEST(ProvinceSort, SmallRangesUseTheSelectionPass) {
    // Keys 5 5 3 1 (tags 0..3). Hand trace: the greatest of [5a 5b 3 1] is 5a
    // (a later equal key does not replace it), swapped with the last:
    // [1 5b 3 5a]; the greatest of [1 5b 3] is 5b: [1 3 5b 5a]; then [1 3]
    // stays. So the equal keys come out reversed.
    auto data = concat(
        {recordWithKey(5, 0), recordWithKey(5, 1), recordWithKey(3, 2), recordWithKey(1, 3)});
    ZK_Province_sortRecords(data.data(), 4, 16);
    EXPECT_EQ(tagsOf(data.data(), 4), (std::vector<uint8_t>{3, 2, 1, 0}));
}

TEST(ProvinceSort, NineEqualKeysStayInPlace) {
    // Hand trace of the partition with every key equal: left runs past hi,
    // right runs down to lo, nothing is swapped or pushed.
    std::vector<std::vector<uint8_t>> recs;
    for (uint8_t i = 0; i < 9; ++i)
        recs.push_back(recordWithKey(42, i));
    auto data = concat(recs);
    ZK_Province_sortRecords(data.data(), 9, 16);
    EXPECT_EQ(tagsOf(data.data(), 9), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(ProvinceSort, PartitionOrdersEqualKeysAsTheFixedQuicksortDoes) {
    // Eleven records, keys 3 1 3 2 3 1 3 2 3 1 3 (tags 0..10): more than eight,
    // so the partition runs (median of lo, mid, hi; the scans; the runs of keys
    // equal to mid) before the selection pass. The expected order comes from a
    // separate, line-by-line transcription of the algorithm in another language.
    const uint32_t keys[] = {3, 1, 3, 2, 3, 1, 3, 2, 3, 1, 3};
    std::vector<std::vector<uint8_t>> recs;
    for (uint8_t i = 0; i < 11; ++i)
        recs.push_back(recordWithKey(keys[i], i));
    auto data = concat(recs);
    ZK_Province_sortRecords(data.data(), 11, 16);
    EXPECT_EQ(tagsOf(data.data(), 11), (std::vector<uint8_t>{5, 1, 9, 7, 3, 6, 2, 8, 0, 4, 10}));
}

TEST(ProvinceSort, LargeInputsEndSortedAndKeepEveryRecord) {
    for (size_t count : {9u, 10u, 33u, 1000u, 20000u}) {
        std::vector<std::vector<uint8_t>> recs;
        uint32_t x = 12345;
        for (size_t i = 0; i < count; ++i) {
            x = x * 1103515245u + 12345u;
            // Few distinct keys so that equal keys are common.
            recs.push_back(recordWithKey((x >> 8) % 50, (uint8_t)i));
            recs.back()[9] = (uint8_t)(i >> 8);
        }
        auto data = concat(recs);
        ZK_Province_sortRecords(data.data(), count, 16);
        std::vector<int> seen(count, 0);
        for (size_t i = 0; i < count; ++i) {
            if (i) {
                ASSERT_LE(ZK_Province_sortKey(&data[(i - 1) * 16]),
                          ZK_Province_sortKey(&data[i * 16]));
            }
            ++seen[data[i * 16 + 8] | (size_t)data[i * 16 + 9] << 8];
        }
        for (size_t i = 0; i < count; ++i)
            ASSERT_EQ(seen[i], 1) << i;
    }
}

// A package with a `province` region built in memory, freed by ZK_Package_close.
struct ProvinceFixture {
    UpdatePackage* pkg;
    explicit ProvinceFixture(uint32_t recordSize = 16) {
        pkg = static_cast<UpdatePackage*>(ZK_Mem_calloc(1, sizeof(UpdatePackage)));
        pkg->province.dateWord = 951782400; // 2000-02-29
        pkg->province.headerWord = 0xA1B2C3D4;
        pkg->province.recordSize = recordSize;
    }
    ~ProvinceFixture() { ZK_Package_close(pkg); }
    // Adds an entry; `name` is GBK bytes.
    void add(const char* name, const std::vector<std::vector<uint8_t>>& records) {
        auto& r = pkg->province;
        auto* grown =
            static_cast<ProvinceEntry*>(ZK_Mem_calloc(r.provinceCount + 1, sizeof(ProvinceEntry)));
        if (r.provinces)
            std::memcpy(grown, r.provinces, r.provinceCount * sizeof(ProvinceEntry));
        ZK_Mem_free(r.provinces);
        r.provinces = grown;
        ProvinceEntry& e = r.provinces[r.provinceCount++];
        std::strncpy(e.name, name, sizeof e.name - 1);
        e.recordCount = (uint32_t)records.size();
        if (!records.empty()) {
            auto bytes = concat(records);
            e.records = static_cast<uint8_t*>(ZK_Mem_alloc(bytes.size()));
            std::memcpy(e.records, bytes.data(), bytes.size());
        }
    }
    std::vector<uint8_t> merged() const {
        const auto& m = pkg->provinceMerged;
        return std::vector<uint8_t>(m.data, m.data + m.size);
    }
};

const char* kGuangdong = ProvinceTable[27];
const char* kBeijing = ProvinceTable[0];

TEST(ProvinceMerge, NothingChosenGivesTheBareHeader) {
    ProvinceFixture f;
    f.add(kBeijing, {recordWithKey(1, 1)});
    int32_t sel[ZK_PROVINCE_COUNT] = {};
    ASSERT_EQ(ZK_Package_mergeProvinces(f.pkg, sel), 1);
    auto m = f.merged();
    ASSERT_EQ(m.size(), 16u);
    EXPECT_EQ(ZK_Bytes_u32le(&m[0]), 951782400u);
    EXPECT_EQ(ZK_Bytes_u32le(&m[4]), 0xA1B2C3D4u);
    EXPECT_EQ(ZK_Bytes_u32le(&m[8]), 16u);
    EXPECT_EQ(ZK_Bytes_u32le(&m[12]), 0u);
    EXPECT_EQ(f.pkg->provinceMerged.scrambled, 0u);
    EXPECT_EQ(f.pkg->provinceMerged.date.year, 2000);
    EXPECT_EQ(f.pkg->provinceMerged.date.month, 2);
    EXPECT_EQ(f.pkg->provinceMerged.date.day, 29);

    UpdatePackage* empty = static_cast<UpdatePackage*>(ZK_Mem_calloc(1, sizeof(UpdatePackage)));
    int32_t all[ZK_PROVINCE_COUNT];
    for (auto& s : all)
        s = 1;
    EXPECT_EQ(ZK_Package_mergeProvinces(empty, all), 1); // no province region at all
    EXPECT_EQ(empty->provinceMerged.size, 16u);
    ZK_Package_close(empty);
}

TEST(ProvinceMerge, TableOrderFirstEntryWinsMissingIsSkipped) {
    ProvinceFixture f;
    // Equal keys, so the sort's selection pass order shows the concatenation
    // order: Guangdong is listed first in the package but Beijing (index 0)
    // comes first in table order.
    f.add(kGuangdong, {recordWithKey(9, 27)});
    f.add(kBeijing, {recordWithKey(9, 1)});
    f.add(kBeijing, {recordWithKey(9, 99), recordWithKey(9, 98)}); // duplicate: ignored
    int32_t sel[ZK_PROVINCE_COUNT] = {};
    sel[0] = sel[27] = 1;
    sel[5] = 1; // Jilin is not in the package
    ASSERT_EQ(ZK_Package_mergeProvinces(f.pkg, sel), 1);
    auto m = f.merged();
    ASSERT_EQ(m.size(), 16u + 2 * 16);
    EXPECT_EQ(ZK_Bytes_u32le(&m[12]), 2u);
    // Two equal records [Beijing, Guangdong]: the selection pass swaps the
    // first greatest (Beijing) to the end.
    EXPECT_EQ(tagsOf(&m[16], 2), (std::vector<uint8_t>{27, 1}));

    // A second merge replaces the buffer.
    sel[27] = 0;
    ASSERT_EQ(ZK_Package_mergeProvinces(f.pkg, sel), 1);
    EXPECT_EQ(f.pkg->provinceMerged.size, 32u);
}

TEST(ProvinceMerge, AsciiCaseIsFoldedOnly) {
    ProvinceFixture f;
    f.add("\xb1\xb1\xbe\xa9", {recordWithKey(3, 3)}); // Beijing in GBK
    EXPECT_EQ(ZK_Package_findProvince(f.pkg, 0), 0);
    EXPECT_EQ(ZK_Package_findProvince(f.pkg, 1), -1);
    EXPECT_EQ(ZK_Package_findProvince(f.pkg, 34), -1);
}

TEST(ProvinceMerge, RecordSizeBelowEightIsRefused) {
    ProvinceFixture f(4);
    f.add(kBeijing, {});
    int32_t sel[ZK_PROVINCE_COUNT] = {1};
    EXPECT_EQ(ZK_Package_mergeProvinces(f.pkg, sel), 0);
    EXPECT_EQ(f.pkg->provinceMerged.size, 0u);
    EXPECT_EQ(f.pkg->provinceMerged.data, nullptr);
}

} // namespace
