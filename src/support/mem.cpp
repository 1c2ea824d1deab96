#include "support/mem.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {
// Relaxed atomics: the counter is only a leak-hunting aid, but a data race
// would still be undefined behaviour and noise under ThreadSanitizer.
std::atomic<int32_t> g_liveBlocks{0};
std::atomic<uint64_t> g_totalBlocks{0};
} // namespace

void* ZK_Mem_alloc(size_t size) {
    if (size == 0)
        return nullptr;
    void* block = std::malloc(size);
    if (block) {
        g_liveBlocks.fetch_add(1, std::memory_order_relaxed);
        g_totalBlocks.fetch_add(1, std::memory_order_relaxed);
    }
    return block;
}

void* ZK_Mem_calloc(size_t count, size_t size) {
    if (count == 0 || size == 0 || count > SIZE_MAX / size)
        return nullptr;
    void* block = std::calloc(count, size);
    if (block) {
        g_liveBlocks.fetch_add(1, std::memory_order_relaxed);
        g_totalBlocks.fetch_add(1, std::memory_order_relaxed);
    }
    return block;
}

void ZK_Mem_free(void* block) {
    if (!block)
        return;
    std::free(block);
    g_liveBlocks.fetch_sub(1, std::memory_order_relaxed);
}

int32_t ZK_Mem_liveBlocks() {
    return g_liveBlocks.load(std::memory_order_relaxed);
}

uint64_t ZK_Mem_totalAllocations() {
    return g_totalBlocks.load(std::memory_order_relaxed);
}

int ZK_Bytes_readU32LE(const uint8_t* buf, size_t size, size_t offset, uint32_t* out) {
    if (!buf || !out || !ZK_Bytes_inRange(size, offset, 4))
        return 0;
    *out = ZK_Bytes_u32le(buf + offset);
    return 1;
}

int ZK_Bytes_readU16LE(const uint8_t* buf, size_t size, size_t offset, uint16_t* out) {
    if (!buf || !out || !ZK_Bytes_inRange(size, offset, 2))
        return 0;
    *out = (uint16_t)(buf[offset] | (buf[offset + 1] << 8));
    return 1;
}

int ZK_Bytes_readU32BE(const uint8_t* buf, size_t size, size_t offset, uint32_t* out) {
    if (!buf || !out || !ZK_Bytes_inRange(size, offset, 4))
        return 0;
    const uint8_t* p = buf + offset;
    *out = ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
    return 1;
}

int ZK_Bytes_copyOut(const uint8_t* buf, size_t size, size_t offset, void* dst, size_t count) {
    if (!buf || !dst || !ZK_Bytes_inRange(size, offset, count))
        return 0;
    if (count)
        std::memcpy(dst, buf + offset, count);
    return 1;
}

int ZK_Bytes_writeU32LE(uint8_t* buf, size_t size, size_t offset, uint32_t value) {
    if (!buf || !ZK_Bytes_inRange(size, offset, 4))
        return 0;
    ZK_Bytes_putU32le(buf + offset, value);
    return 1;
}

uint32_t ZK_Bytes_sum(const uint8_t* buf, size_t size) {
    uint32_t sum = 0;
    if (!buf)
        return 0;
    for (size_t i = 0; i < size; ++i)
        sum += buf[i];
    return sum;
}
