// Conversions between the GBK bytes that packages and the device store and
// the UTF-8 that the terminal, JSON and the window show.
#pragma once

#include <cstddef>
#include <string>

// Converts `length` bytes (or up to the first zero byte when `length` is
// SIZE_MAX) from GBK to UTF-8. A byte sequence that is not GBK becomes '?',
// so the result is always shown whole.
std::string ZK_Text_gbkToUtf8(const char* text, size_t length = (size_t)-1);
// Converts GBK to UTF-8 only when every byte is GBK. False (and *out empty) otherwise.
[[nodiscard]] bool ZK_Text_gbkToUtf8Exact(const std::string& text, std::string* out);
// Converts UTF-8 to GBK. False (and *out empty) when a character has no GBK form.
[[nodiscard]] bool ZK_Text_utf8ToGbk(const std::string& text, std::string* out);
// Stored text (GBK or ASCII, up to the first zero or `capacity` bytes) for
// display: UTF-8, with bytes that are not GBK shown as \xNN.
std::string ZK_Text_display(const void* bytes, size_t capacity);
