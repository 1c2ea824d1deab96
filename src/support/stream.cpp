#include "support/stream.h"

#include "support/mem.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void fileClose(void* h) {
    std::fclose(static_cast<FILE*>(h));
}
int fileSeek(void* h, int64_t pos) {
    if (pos < 0)
        return 0;
    return fseeko(static_cast<FILE*>(h), (off_t)pos, SEEK_SET) == 0 ? 1 : 0;
}
int64_t fileTell(void* h) {
    return (int64_t)ftello(static_cast<FILE*>(h));
}
int64_t fileRead(void* h, void* buf, size_t n) {
    size_t got = std::fread(buf, 1, n, static_cast<FILE*>(h));
    return got == 0 ? -1 : (int64_t)got;
}
int64_t fileWrite(void* h, const void* buf, size_t n) {
    size_t put = std::fwrite(buf, 1, n, static_cast<FILE*>(h));
    return put == 0 ? -1 : (int64_t)put;
}
int64_t fileSize(void* h) {
    FILE* f = static_cast<FILE*>(h);
    off_t here = ftello(f);
    if (here < 0 || fseeko(f, 0, SEEK_END) != 0)
        return -1;
    off_t len = ftello(f);
    fseeko(f, here, SEEK_SET);
    return (int64_t)len;
}
void fileFlush(void* h) {
    std::fflush(static_cast<FILE*>(h));
}
int fileAtEnd(void* h) {
    return std::feof(static_cast<FILE*>(h));
}

void memClose(void* h) {
    MemoryBlock* m = static_cast<MemoryBlock*>(h);
    if (m->owned)
        ZK_Mem_free(m->base);
    ZK_Mem_free(m);
}
int memSeek(void* h, int64_t pos) {
    MemoryBlock* m = static_cast<MemoryBlock*>(h);
    if (pos < 0 || pos > (int64_t)(m->end - m->base))
        return 0;
    m->cursor = m->base + pos;
    return 1;
}
int64_t memTell(void* h) {
    MemoryBlock* m = static_cast<MemoryBlock*>(h);
    return (int64_t)(m->cursor - m->base);
}
int64_t memRead(void* h, void* buf, size_t n) {
    MemoryBlock* m = static_cast<MemoryBlock*>(h);
    size_t avail = (size_t)(m->end - m->cursor);
    size_t take = n < avail ? n : avail;
    if (take) {
        std::memcpy(buf, m->cursor, take);
        m->cursor += take;
    }
    return (int64_t)take;
}
void memGrow(MemoryBlock* m, size_t count) {
    size_t capacity = (size_t)(m->end - m->base);
    size_t used = (size_t)(m->cursor - m->base);
    if (count > SIZE_MAX - used || capacity >= used + count)
        return;
    size_t want = used + count;
    size_t next = capacity ? capacity : 1024;
    while (next < want) {
        size_t doubled = next * 2;
        if (doubled <= next)
            return; // the doubling wrapped: write without growth, cut at end
        next = doubled;
    }
    uint8_t* block = static_cast<uint8_t*>(ZK_Mem_alloc(next));
    if (!block)
        return;
    if (used)
        std::memcpy(block, m->base, used);
    ZK_Mem_free(m->base);
    m->base = block;
    m->cursor = block + used;
    m->end = block + next;
}
int64_t memWrite(void* h, const void* buf, size_t n) {
    MemoryBlock* m = static_cast<MemoryBlock*>(h);
    if (m->owned)
        memGrow(m, n);
    size_t avail = (size_t)(m->end - m->cursor);
    size_t put = n < avail ? n : avail;
    if (put) {
        std::memcpy(m->cursor, buf, put);
        m->cursor += put;
    }
    return (int64_t)put;
}
int64_t memSize(void* h) {
    return memTell(h);
}
void memFlush(void*) {}
int memAtEnd(void* h) {
    MemoryBlock* m = static_cast<MemoryBlock*>(h);
    return !m->base || m->cursor == m->end;
}

bool usable(ByteStream* s) {
    return s && s->handle;
}

char* dupCounted(const std::string& text) {
    char* copy = static_cast<char*>(ZK_Mem_alloc(text.size() + 1));
    if (copy)
        std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// A regular file opened for reading, or nothing: a FIFO would block the open
// and a device or directory would read without end or fail oddly later.
FILE* openRegularForRead(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    bool known = fstat(fd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        int why = !known ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = why;
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        (void)fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE* f = fdopen(fd, "rb");
    if (!f)
        close(fd);
    return f;
}

// True when `path` is absent or a regular file, so that writing it cannot
// block on a FIFO or pour bytes into a device.
bool writableKind(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0)
        return errno == ENOENT;
    if (S_ISREG(st.st_mode))
        return true;
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
}

// The temporary file of a replace stream: beside the path (same file
// system, so the rename is atomic), with the mode the final file would get.
FILE* openReplacement(ByteStream* stream, const char* path) {
    std::string full(path);
    size_t slash = full.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? full : full.substr(slash + 1);
    std::string temp = dir + "." + base + ".XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    mode_t mode;
    if (stat(path, &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    FILE* f = nullptr;
    if (fchmod(fd, mode) == 0)
        f = fdopen(fd, "wb");
    stream->replaceTemp = f ? dupCounted(temp) : nullptr;
    stream->replacePath = f ? dupCounted(full) : nullptr;
    if (!f || !stream->replaceTemp || !stream->replacePath) {
        int why = errno ? errno : ENOMEM;
        if (f)
            std::fclose(f);
        else
            close(fd);
        unlink(temp.c_str());
        ZK_Mem_free(stream->replaceTemp);
        ZK_Mem_free(stream->replacePath);
        stream->replaceTemp = stream->replacePath = nullptr;
        errno = why;
        return nullptr;
    }
    return f;
}

void dropReplacement(ByteStream* stream) {
    if (stream->replaceTemp)
        unlink(stream->replaceTemp);
    ZK_Mem_free(stream->replaceTemp);
    ZK_Mem_free(stream->replacePath);
    stream->replaceTemp = stream->replacePath = nullptr;
}

} // namespace

int ZK_Stream_openFile(ByteStream* stream, const char* path, int mode) {
    if (!stream)
        return 0;
    std::memset(stream, 0, sizeof *stream);
    stream->refCount = 1;
    stream->mode = (uint8_t)mode;
    if (!path)
        return 0;
    FILE* f = nullptr;
    if (mode == ZK_STREAM_READ || mode > ZK_STREAM_REPLACE)
        f = openRegularForRead(path);
    else if (writableKind(path))
        f = mode == ZK_STREAM_REPLACE ? openReplacement(stream, path)
                                      : std::fopen(path, mode == ZK_STREAM_WRITE ? "wbe" : "abe");
    if (!f)
        return 0;
    stream->handle = f;
    stream->close = fileClose;
    stream->seek = fileSeek;
    stream->tell = fileTell;
    stream->read = fileRead;
    stream->write = fileWrite;
    stream->size = fileSize;
    stream->flush = fileFlush;
    stream->atEnd = fileAtEnd;
    return 1;
}

ByteStream* ZK_Stream_create(const char* path, int mode) {
    ByteStream* stream = static_cast<ByteStream*>(ZK_Mem_alloc(sizeof(ByteStream)));
    if (!stream)
        return nullptr;
    if (!ZK_Stream_openFile(stream, path, mode)) {
        ZK_Mem_free(stream);
        return nullptr;
    }
    stream->heapRecord = 1;
    return stream;
}

int ZK_Stream_openMemory(ByteStream* stream, void* block, size_t length) {
    if (!stream)
        return 0;
    std::memset(stream, 0, sizeof *stream);
    stream->refCount = 1;
    stream->mode = ZK_STREAM_READ;
    MemoryBlock* m = static_cast<MemoryBlock*>(ZK_Mem_calloc(1, sizeof(MemoryBlock)));
    if (!m)
        return 0;
    if (block) {
        m->owned = 0;
        m->base = m->cursor = static_cast<uint8_t*>(block);
        m->end = m->base + length;
    } else {
        m->owned = 1;
        m->base = static_cast<uint8_t*>(ZK_Mem_alloc(1024));
        if (!m->base) {
            ZK_Mem_free(m);
            return 0;
        }
        m->cursor = m->base;
        m->end = m->base + 1024;
    }
    stream->handle = m;
    stream->close = memClose;
    stream->seek = memSeek;
    stream->tell = memTell;
    stream->read = memRead;
    stream->write = memWrite;
    stream->size = memSize;
    stream->flush = memFlush;
    stream->atEnd = memAtEnd;
    return 1;
}

void ZK_Stream_release(ByteStream* stream) {
    if (!stream)
        return;
    if (stream->refCount > 1) {
        --stream->refCount;
        return;
    }
    if (stream->handle) {
        if ((stream->mode == ZK_STREAM_WRITE || stream->mode == ZK_STREAM_APPEND) && stream->flush)
            stream->flush(stream->handle);
        if (stream->close)
            stream->close(stream->handle);
    }
    dropReplacement(stream);
    stream->handle = nullptr;
    stream->refCount = 0;
    if (stream->heapRecord)
        ZK_Mem_free(stream);
}

int ZK_Stream_commit(ByteStream* stream) {
    if (!usable(stream) || stream->mode != ZK_STREAM_REPLACE || !stream->replaceTemp ||
        stream->close != fileClose)
        return 0;
    FILE* f = static_cast<FILE*>(stream->handle);
    // A full disk shows at the flush or the sync, not at the buffered writes.
    bool ok = std::fflush(f) == 0 && !std::ferror(f) && fsync(fileno(f)) == 0 &&
              rename(stream->replaceTemp, stream->replacePath) == 0;
    int why = errno;
    if (ok) {
        ZK_Mem_free(stream->replaceTemp);
        stream->replaceTemp = nullptr;
    } else {
        dropReplacement(stream);
        errno = why ? why : EIO;
    }
    return ok ? 1 : 0;
}

int64_t ZK_Stream_read(ByteStream* stream, size_t count, void* buffer) {
    if (!usable(stream) || !stream->read || !buffer || count == 0)
        return -1;
    return stream->read(stream->handle, buffer, count);
}

int64_t ZK_Stream_write(ByteStream* stream, size_t count, const void* buffer) {
    if (!usable(stream) || !stream->write || !buffer || count == 0)
        return -1;
    return stream->write(stream->handle, buffer, count);
}

int ZK_Stream_seek(ByteStream* stream, int64_t position) {
    if (!usable(stream) || !stream->seek)
        return 0;
    return stream->seek(stream->handle, position);
}

int64_t ZK_Stream_tell(ByteStream* stream) {
    if (!usable(stream) || !stream->tell)
        return 0;
    return stream->tell(stream->handle);
}

int64_t ZK_Stream_size(ByteStream* stream) {
    if (!usable(stream) || !stream->size)
        return -1;
    return stream->size(stream->handle);
}

int ZK_Stream_atEnd(ByteStream* stream) {
    if (!usable(stream) || !stream->atEnd)
        return 1;
    return stream->atEnd(stream->handle);
}

int ZK_Stream_readByte(ByteStream* stream, uint8_t* out) {
    if (!out)
        return 0;
    return ZK_Stream_read(stream, 1, out) == 1 ? 1 : 0;
}

int ZK_Stream_peekByte(ByteStream* stream, uint8_t* out) {
    int64_t here = ZK_Stream_tell(stream);
    if (!ZK_Stream_readByte(stream, out))
        return 0;
    return ZK_Stream_seek(stream, here);
}

int64_t ZK_Stream_readLine(char* buffer, ByteStream* stream, size_t capacity) {
    if (!buffer || !stream)
        return -1;
    std::memset(buffer, 0, capacity);
    if (capacity == 0)
        return -1;
    size_t stored = 0;
    int64_t counted = 0;
    bool any = false;
    while (stored + 1 < capacity) {
        uint8_t c;
        if (!ZK_Stream_readByte(stream, &c))
            break;
        any = true;
        ++counted;
        buffer[stored++] = (char)c;
        if (c == '\n')
            break;
        if (c == '\r') {
            uint8_t next;
            if (ZK_Stream_peekByte(stream, &next) && next == '\n') {
                uint8_t skip;
                (void)ZK_Stream_readByte(stream, &skip);
            }
            break;
        }
    }
    if (stored > 0 && (buffer[stored - 1] == '\n' || buffer[stored - 1] == '\r'))
        buffer[stored - 1] = '\0';
    return any ? counted : -1;
}

int64_t ZK_Stream_printf(ByteStream* stream, const char* format, ...) {
    if (!stream || !format)
        return -1;
    char local[8192];
    va_list ap;
    va_start(ap, format);
    int need = std::vsnprintf(local, sizeof local, format, ap);
    va_end(ap);
    if (need <= 0)
        return -1;
    if ((size_t)need < sizeof local)
        return ZK_Stream_write(stream, (size_t)need, local);
    char* big = static_cast<char*>(ZK_Mem_alloc((size_t)need + 1));
    if (!big)
        return -1;
    va_start(ap, format);
    std::vsnprintf(big, (size_t)need + 1, format, ap);
    va_end(ap);
    int64_t result = ZK_Stream_write(stream, (size_t)need, big);
    ZK_Mem_free(big);
    return result;
}

const uint8_t* ZK_Stream_memoryData(ByteStream* stream) {
    if (!usable(stream) || stream->close != memClose)
        return nullptr;
    return static_cast<MemoryBlock*>(stream->handle)->base;
}
