// Byte streams over files and memory blocks, behind one operation table.
//
// Whoever opens a stream releases it. A file stream owns its file; a memory
// stream over a caller's block never frees it; a growing memory stream (opened
// without a block) owns its buffer. Every wrapper below does nothing and
// returns its failure value on a null stream, a stream without handle, or a
// stream without the operation it needs. Nothing here is locked.
#pragma once

#include <cstddef>
#include <cstdint>

enum ZK_StreamMode : uint8_t {
    ZK_STREAM_READ = 0,
    ZK_STREAM_WRITE = 1,
    ZK_STREAM_APPEND = 2,
    // Written to a temporary file beside the path; ZK_Stream_commit renames
    // it into place, a release without commit removes it. A failure never
    // leaves a partial file or touches an existing one.
    ZK_STREAM_REPLACE = 3,
};

struct ByteStream {
    uint8_t refCount;
    uint8_t mode;
    void* handle;
    void (*close)(void* handle);
    int (*seek)(void* handle, int64_t position);
    int64_t (*tell)(void* handle);
    int64_t (*read)(void* handle, void* buffer, size_t count);
    int64_t (*write)(void* handle, const void* buffer, size_t count);
    int64_t (*size)(void* handle);
    void (*flush)(void* handle);
    int (*atEnd)(void* handle);
    // Set for records from ZK_Stream_create, which release frees; records the
    // caller embeds (on the stack, in another record) are left to the caller.
    uint8_t heapRecord;
    // ZK_STREAM_REPLACE: the temporary file and the final path (counted
    // allocations, freed by commit or release).
    char* replaceTemp;
    char* replacePath;
};

// The handle of a memory stream.
struct MemoryBlock {
    int owned;
    uint8_t* base;
    uint8_t* cursor;
    uint8_t* end;
};

// Opens `path` in `mode` ("wb" for 1, "ab" for 2, "rb" otherwise; 3 see
// ZK_STREAM_REPLACE). Only regular files (or, for writing, absent paths) are
// taken: a FIFO, device node or directory fails at once with errno EINVAL or
// EISDIR instead of blocking or reading without end. 1 / 0 with errno set.
[[nodiscard]] int ZK_Stream_openFile(ByteStream* stream, const char* path, int mode);
// Allocates and opens a file stream; none on failure. Release with ZK_Stream_release.
[[nodiscard]] ByteStream* ZK_Stream_create(const char* path, int mode);
// Wraps `block` (not owned), or with none starts an owned buffer of 1024
// bytes that grows by doubling. 1 / 0.
[[nodiscard]] int ZK_Stream_openMemory(ByteStream* stream, void* block, size_t length);
// ZK_STREAM_REPLACE: flushes, syncs and renames the temporary file over the
// path. 1 done; 0 when any write, the flush, the sync or the rename failed
// (errno set, the temporary file removed, the path untouched). The stream
// stays open for release; any other stream returns 0.
[[nodiscard]] int ZK_Stream_commit(ByteStream* stream);
// Drops one reference; at zero flushes a write stream, closes the handle and,
// for a stream from ZK_Stream_create, frees the record.
void ZK_Stream_release(ByteStream* stream);

// Byte count moved, or -1 (none buffer, count 0, nothing moved from a file).
[[nodiscard]] int64_t ZK_Stream_read(ByteStream* stream, size_t count, void* buffer);
[[nodiscard]] int64_t ZK_Stream_write(ByteStream* stream, size_t count, const void* buffer);
// Absolute seek; 1 / 0.
[[nodiscard]] int ZK_Stream_seek(ByteStream* stream, int64_t position);
int64_t ZK_Stream_tell(ByteStream* stream);
// File length or bytes held by a memory stream; -1 on the null cases.
int64_t ZK_Stream_size(ByteStream* stream);
int ZK_Stream_atEnd(ByteStream* stream);
// 1 when exactly one byte was read.
[[nodiscard]] int ZK_Stream_readByte(ByteStream* stream, uint8_t* out);
// Reads one byte and seeks back. 1 / 0.
[[nodiscard]] int ZK_Stream_peekByte(ByteStream* stream, uint8_t* out);
// Reads one line (LF, CR or CR LF) into `buffer`, at most capacity - 1
// characters, terminator stripped. Returns the bytes consumed (a CR LF pair
// counts as one), or -1 when nothing could be read.
int64_t ZK_Stream_readLine(char* buffer, ByteStream* stream, size_t capacity);
// printf into the stream with one write, no terminator. The write's result,
// or -1 for an empty text or a failed allocation.
int64_t ZK_Stream_printf(ByteStream* stream, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The bytes a growing memory stream holds (borrowed), or none.
const uint8_t* ZK_Stream_memoryData(ByteStream* stream);
