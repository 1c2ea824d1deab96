#include "support/str.h"

#include "support/mem.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool privateDirOk(const char* dir) {
    struct stat st;
    if (lstat(dir, &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

// Creates (or accepts) <base>/korvana-<uid>; 1 on success.
bool makePrivateDir(const char* base, char* out, size_t cap) {
    if (!base || !*base)
        return false;
    int n = std::snprintf(out, cap, "%s%skorvana-%u", base,
                          base[std::strlen(base) - 1] == '/' ? "" : "/", (unsigned)geteuid());
    if (n <= 0 || (size_t)n >= cap)
        return false;
    if (mkdir(out, 0700) != 0 && errno != EEXIST)
        return false;
    return privateDirOk(out);
}
} // namespace

void ZK_Str_copy(size_t capacity, const char* source, char* destination, int length) {
    if (!source || !destination || capacity == 0)
        return;
    std::memset(destination, 0, capacity);
    size_t limit = capacity - 1;
    if (length > 0 && (size_t)length < limit)
        limit = (size_t)length;
    size_t i = 0;
    for (; i < limit && source[i]; ++i)
        destination[i] = source[i];
    destination[i] = '\0';
}

int ZK_Str_append(const char* source, size_t capacity, char* destination) {
    if (!source || !destination || capacity == 0)
        return 0;
    size_t used = strnlen(destination, capacity);
    if (used >= capacity) {
        destination[capacity - 1] = '\0';
        return 1;
    }
    size_t i = 0;
    while (used + 1 < capacity && source[i])
        destination[used++] = source[i++];
    destination[used] = '\0';
    return 1;
}

char* ZK_Str_dup(const char* text) {
    if (!text)
        return nullptr;
    size_t n = std::strlen(text) + 1;
    char* copy = static_cast<char*>(ZK_Mem_alloc(n));
    if (copy)
        std::memcpy(copy, text, n);
    return copy;
}

void ZK_Str_format(char* buffer, size_t capacity, const char* format, ...) {
    if (!buffer || capacity == 0)
        return;
    std::memset(buffer, 0, capacity);
    if (!format)
        return;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buffer, capacity, format, ap);
    va_end(ap);
}

void ZK_Str_trimLeft(char* text) {
    if (!text)
        return;
    size_t skip = 0;
    while (text[skip] && isBlank(text[skip]))
        ++skip;
    if (skip)
        std::memmove(text, text + skip, std::strlen(text + skip) + 1);
}

void ZK_Str_trimRight(char* text) {
    if (!text)
        return;
    size_t n = std::strlen(text);
    while (n > 0 && isBlank(text[n - 1]))
        text[--n] = '\0';
}

int32_t ZK_Str_toInt(const char* text) {
    if (!text)
        return 0;
    while (*text && isBlank(*text))
        ++text;
    bool negative = false;
    if (*text == '-' || *text == '+')
        negative = *text++ == '-';
    uint32_t value = 0; // unsigned so that overflow wraps instead of being undefined
    while (*text >= '0' && *text <= '9')
        value = value * 10u + (uint32_t)(*text++ - '0');
    return (int32_t)(negative ? 0u - value : value);
}

int ZK_Str_split(const char** starts, int* lengths, const char* text, int length) {
    if (!starts || !lengths || !text)
        return 0;
    size_t limit = length > 0 ? (size_t)length : std::strlen(text);
    if (limit == 0 || !text[0])
        return 0;
    int fields = 0;
    const char* fieldStart = text;
    size_t i = 0;
    for (; i < limit && text[i]; ++i) {
        if (text[i] != ',')
            continue;
        if (fields + 1 >= ZK_STR_MAX_FIELDS)
            return 0;
        starts[fields] = fieldStart;
        lengths[fields] = (int)(text + i - fieldStart);
        ++fields;
        fieldStart = text + i + 1;
    }
    starts[fields] = fieldStart;
    lengths[fields] = (int)(text + i - fieldStart);
    ++fields;
    for (int f = 0; f < fields; ++f) {
        while (lengths[f] > 0 && isBlank(*starts[f])) {
            ++starts[f];
            --lengths[f];
        }
        while (lengths[f] > 0 && isBlank(starts[f][lengths[f] - 1]))
            --lengths[f];
    }
    return fields;
}

int ZK_Path_temp(char* output, const char* name) {
    if (!output)
        return 0;
    std::memset(output, 0, ZK_PATH_TEMP_CAPACITY);
    char dir[ZK_PATH_TEMP_CAPACITY];
    // The runtime directory is already private to the user; TMPDIR or /tmp
    // get a private subdirectory of their own.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    bool ok = false;
    if (runtime && *runtime && privateDirOk(runtime))
        ok = makePrivateDir(runtime, dir, sizeof dir);
    if (!ok)
        ok = makePrivateDir(std::getenv("TMPDIR"), dir, sizeof dir);
    if (!ok)
        ok = makePrivateDir("/tmp", dir, sizeof dir);
    if (!ok)
        return 0;
    ZK_Str_copy(ZK_PATH_TEMP_CAPACITY, dir, output, 0);
    ZK_Str_append("/", ZK_PATH_TEMP_CAPACITY, output);
    if (name)
        ZK_Str_append(name, ZK_PATH_TEMP_CAPACITY, output);
    return 1;
}
