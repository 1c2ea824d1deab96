// Bounded 8-bit string helpers and the private temporary directory.
//
// A blank is a space, tab, carriage return or line feed. Fixed buffers are
// cleared before use and always terminated; copies stop at capacity - 1.
#pragma once

#include <cstddef>
#include <cstdint>

// Copies at most min(length, capacity - 1) characters (length <= 0: all).
void ZK_Str_copy(size_t capacity, const char* source, char* destination, int length);
// Appends so that the result holds at most capacity - 1 characters. 1 / 0.
int ZK_Str_append(const char* source, size_t capacity, char* destination);
// A new counted block holding a copy of `text`, or none. Free with ZK_Mem_free.
[[nodiscard]] char* ZK_Str_dup(const char* text);
// Clears the buffer, then formats into at most capacity - 1 characters.
void ZK_Str_format(char* buffer, size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void ZK_Str_trimLeft(char* text);
void ZK_Str_trimRight(char* text);
// Optional sign and decimal digits after leading blanks; wraps on overflow.
int32_t ZK_Str_toInt(const char* text);
// Splits at commas into at most 20 trimmed fields (start, length); returns
// the field count, or 0 for no text, an empty text or a 20th comma.
int ZK_Str_split(const char** starts, int* lengths, const char* text, int length);
constexpr int ZK_STR_MAX_FIELDS = 20;

// Fills `output` (1024 bytes) with the user's private temporary directory,
// ending in '/', followed by `name` (none: just the directory). The directory
// is created on first use with mode 0700 and must be owned by the user and not
// be a link, so no other user can plant files there. Returns 1, or 0 with an
// empty output when no such directory can be had.
[[nodiscard]] int ZK_Path_temp(char* output, const char* name);
constexpr size_t ZK_PATH_TEMP_CAPACITY = 1024;
