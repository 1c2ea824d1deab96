#include "package/merge.h"

#include "package/keys.h"
#include "package/package.h"
#include "support/mem.h"

#include <cstring>

namespace {

constexpr int kSortStack = 30;

uint32_t rotr(uint32_t v, int n) {
    return (v >> n) | (v << (32 - n));
}
uint32_t rotl(uint32_t v, int n) {
    return (v << n) | (v >> (32 - n));
}

// Swaps two records through a small buffer; records are usually 16 bytes.
void swapRecords(uint8_t* a, uint8_t* b, size_t size) {
    if (a == b)
        return;
    uint8_t tmp[64];
    while (size) {
        size_t n = size < sizeof tmp ? size : sizeof tmp;
        std::memcpy(tmp, a, n);
        std::memcpy(a, b, n);
        std::memcpy(b, tmp, n);
        a += n;
        b += n;
        size -= n;
    }
}

bool asciiCaseEqual(const char* a, const char* b, size_t capacity) {
    for (size_t i = 0; i < capacity; ++i) {
        unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
        if (x >= 'A' && x <= 'Z')
            x = (unsigned char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = (unsigned char)(y - 'A' + 'a');
        if (x != y)
            return false;
        if (x == 0)
            return true;
    }
    return true;
}

} // namespace

uint32_t ZK_Province_sortKey(const uint8_t* record) {
    uint32_t a = rotr(ZK_Bytes_u32le(record), 6);
    uint32_t b = rotl(ZK_Bytes_u32le(record + 4), 6);
    const uint8_t* m = ZK_PROVINCE_RECORD_MASK;
    // Of the reordered bytes u = (t3 t2 t5 t7 t1 t4 t0 t6), K = u4..u7 big-endian
    // = t1 t4 t0 t6, and only K's low 20 bits count: t6, t0 and t4's low nibble.
    uint32_t t0 = (a & 0xFF) ^ m[0];
    uint32_t t4 = (b & 0xFF) ^ m[4];
    uint32_t t6 = ((b >> 16) & 0xFF) ^ m[6];
    return 10u * (((t4 & 0x0F) << 16) | (t0 << 8) | t6);
}

void ZK_Province_sortRecords(uint8_t* records, size_t count, size_t size) {
    // The key takes the first 8 bytes of a record: a smaller one has no key.
    if (count < 2 || size < 8 || !records)
        return;
    // Record indices, signed: the scans may step one record past either end
    // of a range before their bound stops them.
    auto at = [&](ptrdiff_t i) { return records + (size_t)i * size; };
    auto key = [&](ptrdiff_t i) { return ZK_Province_sortKey(at(i)); };
    auto swap = [&](ptrdiff_t i, ptrdiff_t j) { swapRecords(at(i), at(j), size); };

    ptrdiff_t loStack[kSortStack], hiStack[kSortStack];
    int depth = 0;
    ptrdiff_t lo = 0, hi = (ptrdiff_t)count - 1;
    for (;;) {
        ptrdiff_t n = hi - lo + 1;
        if (n <= 8) {
            while (hi > lo) {
                ptrdiff_t max = lo;
                uint32_t maxKey = key(lo);
                for (ptrdiff_t p = lo + 1; p <= hi; ++p) {
                    uint32_t k = key(p);
                    if (k > maxKey) {
                        max = p;
                        maxKey = k;
                    }
                }
                swap(max, hi);
                --hi;
            }
        } else {
            ptrdiff_t mid = lo + n / 2;
            if (key(lo) > key(mid))
                swap(lo, mid);
            if (key(lo) > key(hi))
                swap(lo, hi);
            if (key(mid) > key(hi))
                swap(mid, hi);
            ptrdiff_t left = lo, right = hi;
            for (;;) {
                uint32_t midKey = key(mid);
                if (mid > left) {
                    do
                        ++left;
                    while (left < mid && key(left) <= midKey);
                }
                if (mid <= left) {
                    do
                        ++left;
                    while (left <= hi && key(left) <= midKey);
                }
                do
                    --right;
                while (right > mid && key(right) > midKey);
                if (right < left)
                    break;
                swap(left, right);
                if (mid == right)
                    mid = left;
            }
            ++right;
            uint32_t midKey = key(mid);
            if (mid < right) {
                do
                    --right;
                while (right > mid && key(right) == midKey);
            }
            if (mid >= right) {
                do
                    --right;
                while (right > lo && key(right) == midKey);
            }
            if (right - lo >= hi - left) {
                if (lo < right) {
                    loStack[depth] = lo;
                    hiStack[depth] = right;
                    ++depth;
                }
                if (left < hi) {
                    lo = left;
                    continue;
                }
            } else {
                if (left < hi) {
                    loStack[depth] = left;
                    hiStack[depth] = hi;
                    ++depth;
                }
                if (lo < right) {
                    hi = right;
                    continue;
                }
            }
        }
        if (depth == 0)
            return;
        --depth;
        lo = loStack[depth];
        hi = hiStack[depth];
    }
}

int ZK_Package_findProvince(const UpdatePackage* package, int index) {
    if (!package || index < 0 || index >= ZK_PROVINCE_COUNT || !package->province.provinces)
        return -1;
    for (uint32_t i = 0; i < package->province.provinceCount; ++i)
        if (asciiCaseEqual(package->province.provinces[i].name, ProvinceTable[index],
                           sizeof ProvinceTable[index]))
            return (int)i;
    return -1;
}

int ZK_Package_mergeProvinces(UpdatePackage* package, const int32_t* selection) {
    if (!package)
        return 0;
    PackageRegion& merged = package->provinceMerged;
    ZK_Mem_free(merged.data);
    merged.data = nullptr;
    merged.size = 0;
    merged.scrambled = 0;

    const auto& region = package->province;
    bool hasRegion = region.provinces && region.provinceCount > 0;
    if (hasRegion && region.recordSize < 8)
        return 0; // no key can be taken from such records
    uint64_t total = 0;
    int found[ZK_PROVINCE_COUNT];
    for (int i = 0; i < ZK_PROVINCE_COUNT; ++i) {
        found[i] =
            (selection && selection[i] && hasRegion) ? ZK_Package_findProvince(package, i) : -1;
        if (found[i] >= 0 && region.provinces[found[i]].records)
            total += region.provinces[found[i]].recordCount;
    }
    uint64_t bytes = 16 + total * (hasRegion ? region.recordSize : 0);
    if (bytes > 0xFFFFFFFFu)
        return 0;
    uint8_t* buffer = static_cast<uint8_t*>(ZK_Mem_alloc((size_t)bytes));
    if (!buffer)
        return 0;
    ZK_Bytes_putU32le(buffer, region.dateWord);
    ZK_Bytes_putU32le(buffer + 4, region.headerWord);
    ZK_Bytes_putU32le(buffer + 8, region.recordSize);
    ZK_Bytes_putU32le(buffer + 12, (uint32_t)total);
    size_t at = 16;
    for (int i = 0; i < ZK_PROVINCE_COUNT; ++i) {
        if (found[i] < 0)
            continue;
        const ProvinceEntry& e = region.provinces[found[i]];
        if (!e.records)
            continue;
        size_t n = (size_t)e.recordCount * region.recordSize;
        std::memcpy(buffer + at, e.records, n);
        at += n;
    }
    if (total)
        ZK_Province_sortRecords(buffer + 16, (size_t)total, region.recordSize);
    merged.data = buffer;
    merged.size = (uint32_t)bytes;
    merged.scrambled = 0;
    ZK_Date_fromSeconds(region.dateWord, &merged.date);
    ZK_Date_fromSeconds(region.dateWord, &package->province.date);
    return 1;
}
