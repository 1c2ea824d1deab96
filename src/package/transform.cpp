#include "package/transform.h"

#include "package/keys.h"
#include "support/mem.h"
#include "support/str.h"

#include <cstring>

namespace {

constexpr uint32_t kDelta = 0x9E3779B9u;
constexpr uint32_t kDecipherSum = 0xC6EF3720u; // kDelta * 32
constexpr uint32_t k0 = ZK_PACKAGE_TEA_KEY[0], k1 = ZK_PACKAGE_TEA_KEY[1],
                   k2 = ZK_PACKAGE_TEA_KEY[2], k3 = ZK_PACKAGE_TEA_KEY[3];

inline uint32_t loadBE(const uint8_t* p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}
inline void storeBE(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

// Blocks are independent, so many of them run side by side in vector lanes
// (two vectors, so that two chains are in flight): one block's 32 cycles are a
// serial chain, the lanes keep the pipeline busy. With AVX2 a step takes 16
// blocks, otherwise 8 in SSE2 registers.
typedef uint32_t Lanes4 __attribute__((vector_size(16)));
typedef uint32_t Lanes8 __attribute__((vector_size(32)));

template <typename V, int W, bool Decipher> [[gnu::always_inline]] inline void teaStep(uint8_t* p) {
    V y0, z0, y1, z1;
    for (int i = 0; i < W; ++i) {
        y0[i] = loadBE(p + 8 * i);
        z0[i] = loadBE(p + 8 * i + 4);
        y1[i] = loadBE(p + 8 * (W + i));
        z1[i] = loadBE(p + 8 * (W + i) + 4);
    }
    if (Decipher) {
        uint32_t sum = kDecipherSum;
        for (int round = 0; round < 32; ++round) {
            z0 -= ((y0 << 4) + k2) ^ (y0 + sum) ^ ((y0 >> 5) + k3);
            z1 -= ((y1 << 4) + k2) ^ (y1 + sum) ^ ((y1 >> 5) + k3);
            y0 -= ((z0 << 4) + k0) ^ (z0 + sum) ^ ((z0 >> 5) + k1);
            y1 -= ((z1 << 4) + k0) ^ (z1 + sum) ^ ((z1 >> 5) + k1);
            sum -= kDelta;
        }
    } else {
        uint32_t sum = 0;
        for (int round = 0; round < 32; ++round) {
            sum += kDelta;
            y0 += ((z0 << 4) + k0) ^ (z0 + sum) ^ ((z0 >> 5) + k1);
            y1 += ((z1 << 4) + k0) ^ (z1 + sum) ^ ((z1 >> 5) + k1);
            z0 += ((y0 << 4) + k2) ^ (y0 + sum) ^ ((y0 >> 5) + k3);
            z1 += ((y1 << 4) + k2) ^ (y1 + sum) ^ ((y1 >> 5) + k3);
        }
    }
    for (int i = 0; i < W; ++i) {
        storeBE(p + 8 * i, y0[i]);
        storeBE(p + 8 * i + 4, z0[i]);
        storeBE(p + 8 * (W + i), y1[i]);
        storeBE(p + 8 * (W + i) + 4, z1[i]);
    }
}

// Runs whole steps over the buffer; returns the blocks done.
template <bool Decipher> size_t teaStepsBasic(uint8_t* p, size_t blocks) {
    size_t done = 0;
    for (; done + 8 <= blocks; done += 8)
        teaStep<Lanes4, 4, Decipher>(p + 8 * done);
    return done;
}

#if defined(__x86_64__) || defined(__i386__)
template <bool Decipher>
__attribute__((target("avx2"))) size_t teaStepsAvx2(uint8_t* p, size_t blocks) {
    size_t done = 0;
    for (; done + 16 <= blocks; done += 16)
        teaStep<Lanes8, 8, Decipher>(p + 8 * done);
    return done;
}
bool haveAvx2() {
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}
template <bool Decipher> size_t teaSteps(uint8_t* p, size_t blocks) {
    size_t done = haveAvx2() ? teaStepsAvx2<Decipher>(p, blocks) : 0;
    return done + teaStepsBasic<Decipher>(p + 8 * done, blocks - done);
}
#else
template <bool Decipher> size_t teaSteps(uint8_t* p, size_t blocks) {
    return teaStepsBasic<Decipher>(p, blocks);
}
#endif

void decipher1(uint8_t* p) {
    uint32_t y = loadBE(p), z = loadBE(p + 4), sum = kDecipherSum;
    for (int round = 0; round < 32; ++round) {
        z -= ((y << 4) + k2) ^ (y + sum) ^ ((y >> 5) + k3);
        y -= ((z << 4) + k0) ^ (z + sum) ^ ((z >> 5) + k1);
        sum -= kDelta;
    }
    storeBE(p, y);
    storeBE(p + 4, z);
}

void encipher1(uint8_t* p) {
    uint32_t y = loadBE(p), z = loadBE(p + 4), sum = 0;
    for (int round = 0; round < 32; ++round) {
        sum += kDelta;
        y += ((z << 4) + k0) ^ (z + sum) ^ ((z >> 5) + k1);
        z += ((y << 4) + k2) ^ (y + sum) ^ ((y >> 5) + k3);
    }
    storeBE(p, y);
    storeBE(p + 4, z);
}

template <bool Decipher, void (*Blocks1)(uint8_t*)> void teaBuffer(uint8_t* buffer, size_t length) {
    if (!buffer)
        return;
    size_t whole = length / 8, i = teaSteps<Decipher>(buffer, whole);
    for (; i < whole; ++i)
        Blocks1(buffer + 8 * i);
    size_t rest = length % 8;
    if (rest) {
        uint8_t block[8] = {0};
        std::memcpy(block, buffer + 8 * whole, rest);
        Blocks1(block);
        std::memcpy(buffer + 8 * whole, block, rest);
    }
}

// Step 1 of a group (b2 ^= b0, b3 ^= b1) on the little-endian word; an involution.
inline uint32_t foldHalves(uint32_t w) {
    return w ^ (w << 16);
}

bool isLeap(uint32_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}
uint32_t monthDays(uint32_t year, uint32_t month) {
    static const uint8_t days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeap(year) ? 29 : days[month - 1];
}

} // namespace

void ZK_Data_unmaskTrailer(uint8_t* buffer, size_t length) {
    if (!buffer)
        return;
    for (size_t i = 0; i < length; ++i)
        buffer[i] ^= (uint8_t)ZK_TRAILER_KEY[i % 8];
}

void ZK_Data_decipher(uint8_t* buffer, size_t length) {
    teaBuffer<true, decipher1>(buffer, length);
}

void ZK_Data_encipher(uint8_t* buffer, size_t length) {
    teaBuffer<false, encipher1>(buffer, length);
}

namespace {

// Walks the whole words of `data` from the seed state and hands each
// descrambled word to `take(position, word)`; the key is fixed inside a
// 256-byte block and the sum of its descrambled words becomes the next key.
template <class Take> void descrambleWords(const uint8_t* data, size_t length, Take take) {
    uint32_t key = ZK_DESCRAMBLE_SEED;
    size_t words = length / 4;
    const uint8_t* p = data;
    for (; words >= 64; words -= 64) {
        uint32_t sum = 0;
        for (int i = 0; i < 64; ++i, p += 4) {
            uint32_t w = foldHalves(ZK_Bytes_u32le(p)) ^ key;
            take(p, w);
            sum += w;
        }
        key = sum;
    }
    for (; words; --words, p += 4)
        take(p, foldHalves(ZK_Bytes_u32le(p)) ^ key);
}

} // namespace

void ZK_Data_descramble(size_t length, uint8_t* buffer) {
    if (!buffer)
        return;
    // Each word is read before it is replaced, so the walk may write in place.
    descrambleWords(buffer, length, [buffer](const uint8_t* p, uint32_t w) {
        ZK_Bytes_putU32le(buffer + (p - buffer), w);
    });
}

uint32_t ZK_Data_descrambledSum(const uint8_t* data, size_t length) {
    if (!data)
        return 0;
    uint32_t bytes = 0;
    descrambleWords(data, length, [&bytes](const uint8_t*, uint32_t w) {
        bytes += (w & 0xFF) + ((w >> 8) & 0xFF) + ((w >> 16) & 0xFF) + (w >> 24);
    });
    for (size_t i = length & ~(size_t)3; i < length; ++i)
        bytes += data[i];
    return bytes;
}

void ZK_Data_scramble(size_t length, uint8_t* buffer) {
    if (!buffer)
        return;
    uint32_t key = ZK_DESCRAMBLE_SEED;
    size_t words = length / 4;
    uint8_t* p = buffer;
    for (; words >= 64; words -= 64) {
        uint32_t sum = 0;
        for (int i = 0; i < 64; ++i, p += 4) {
            uint32_t w = ZK_Bytes_u32le(p);
            sum += w;
            ZK_Bytes_putU32le(p, foldHalves(w ^ key));
        }
        key = sum;
    }
    for (; words; --words, p += 4)
        ZK_Bytes_putU32le(p, foldHalves(ZK_Bytes_u32le(p) ^ key));
}

void ZK_Date_fromSeconds(uint32_t seconds, RegionDate* date) {
    if (!date)
        return;
    uint32_t rest = seconds, year = 1970, month = 1;
    for (;;) {
        uint32_t length = isLeap(year) ? 31622400u : 31536000u;
        if (rest < length)
            break;
        rest -= length;
        ++year;
    }
    for (;;) {
        uint32_t length = monthDays(year, month) * 86400u;
        if (rest < length || month == 12)
            break;
        rest -= length;
        ++month;
    }
    date->year = (uint16_t)year;
    date->month = (uint8_t)month;
    date->day = (uint8_t)(rest / 86400u + 1);
    date->hour = (uint8_t)(rest % 86400u / 3600u);
    date->minute = (uint8_t)(rest % 3600u / 60u);
    date->second = (uint8_t)(rest % 60u);
}

int ZK_Date_toSeconds(const RegionDate* date, uint32_t* seconds) {
    if (!date || !seconds || date->year < 1970 || date->month < 1 || date->month > 12 ||
        date->day < 1 || date->day > monthDays(date->year, date->month) || date->hour > 23 ||
        date->minute > 59 || date->second > 59)
        return 0;
    uint64_t total = 0;
    for (uint32_t y = 1970; y < date->year; ++y)
        total += isLeap(y) ? 31622400u : 31536000u;
    for (uint32_t m = 1; m < date->month; ++m)
        total += monthDays(date->year, m) * 86400u;
    total +=
        (uint64_t)(date->day - 1) * 86400u + date->hour * 3600u + date->minute * 60u + date->second;
    if (total > UINT32_MAX)
        return 0;
    *seconds = (uint32_t)total;
    return 1;
}

void ZK_Date_format(const RegionDate* date, char* buffer, size_t capacity) {
    if (!buffer || !capacity)
        return;
    buffer[0] = 0;
    if (!date || (!date->year && !date->month && !date->day && !date->hour && !date->minute &&
                  !date->second))
        return;
    ZK_Str_format(buffer, capacity, "%d-%02d-%02d %02d:%02d:%02d", date->year, date->month,
                  date->day, date->hour, date->minute, date->second);
}
