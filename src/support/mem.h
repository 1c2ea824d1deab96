// Counted allocation and bounds-checked access to outside bytes.
//
// Every heap block of the C-style modules goes through ZK_Mem_alloc/ZK_Mem_free
// so that the live-block counter can be inspected when hunting leaks. Every
// read of bytes that came from a file or a device goes through the ZK_Bytes_*
// helpers, which refuse instead of reading past the buffer.
#pragma once

#include <cstddef>
#include <cstdint>

// Returns a new block, or none for size 0 or when memory is exhausted.
// The block is uninitialised; the caller frees it with ZK_Mem_free.
[[nodiscard]] void* ZK_Mem_alloc(size_t size);
// Returns a new zero-filled block (count * size, overflow refused), or none.
[[nodiscard]] void* ZK_Mem_calloc(size_t count, size_t size);
// Frees a block from ZK_Mem_alloc; none does nothing.
void ZK_Mem_free(void* block);
// Number of live blocks (approximate under concurrency).
int32_t ZK_Mem_liveBlocks();
// Number of blocks ever handed out, to count the allocations of an operation.
uint64_t ZK_Mem_totalAllocations();

// True when [offset, offset + count) lies inside a buffer of `size` bytes.
constexpr bool ZK_Bytes_inRange(size_t size, size_t offset, size_t count) {
    return offset <= size && count <= size - offset;
}

// Little-endian and big-endian reads; 0 (and *out untouched) when out of range.
[[nodiscard]] int ZK_Bytes_readU32LE(const uint8_t* buf, size_t size, size_t offset, uint32_t* out);
[[nodiscard]] int ZK_Bytes_readU16LE(const uint8_t* buf, size_t size, size_t offset, uint16_t* out);
[[nodiscard]] int ZK_Bytes_readU32BE(const uint8_t* buf, size_t size, size_t offset, uint32_t* out);
// Copies `count` bytes from buf[offset..] to dst; 0 when out of range.
[[nodiscard]] int ZK_Bytes_copyOut(const uint8_t* buf, size_t size, size_t offset, void* dst,
                                   size_t count);
// Stores a little-endian word; 0 when out of range.
[[nodiscard]] int ZK_Bytes_writeU32LE(uint8_t* buf, size_t size, size_t offset, uint32_t value);

// Unchecked forms for buffers whose size the caller has just established.
inline uint32_t ZK_Bytes_u32le(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline void ZK_Bytes_putU32le(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

// 32-bit sum of the unsigned byte values.
uint32_t ZK_Bytes_sum(const uint8_t* buf, size_t size);
