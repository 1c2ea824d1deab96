#include "support/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>

namespace {

// Runs iconv over the whole input; with `lenient` an unconvertible byte
// becomes '?' and the walk goes on, else the conversion fails.
bool convert(const char* to, const char* from, const char* text, size_t length, bool lenient,
             std::string* out) {
    out->clear();
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1)
        return false;
    char* in = const_cast<char*>(text);
    size_t inLeft = length;
    char buf[512];
    bool ok = true;
    while (inLeft > 0) {
        char* o = buf;
        size_t oLeft = sizeof buf;
        size_t rc = iconv(cd, &in, &inLeft, &o, &oLeft);
        out->append(buf, (size_t)(o - buf));
        if (rc != (size_t)-1 || errno == E2BIG)
            continue;
        if (!lenient) {
            ok = false;
            break;
        }
        out->push_back('?');
        ++in;
        --inLeft;
    }
    iconv_close(cd);
    if (!ok)
        out->clear();
    return ok;
}

} // namespace

std::string ZK_Text_gbkToUtf8(const char* text, size_t length) {
    std::string out;
    if (!text)
        return out;
    if (length == (size_t)-1)
        length = std::strlen(text);
    else
        length = strnlen(text, length);
    convert("UTF-8", "GBK", text, length, true, &out);
    return out;
}

bool ZK_Text_gbkToUtf8Exact(const std::string& text, std::string* out) {
    return convert("UTF-8", "GBK", text.data(), text.size(), false, out);
}

bool ZK_Text_utf8ToGbk(const std::string& text, std::string* out) {
    return convert("GBK", "UTF-8", text.data(), text.size(), false, out);
}

std::string ZK_Text_display(const void* bytes, size_t capacity) {
    std::string raw(static_cast<const char*>(bytes),
                    strnlen(static_cast<const char*>(bytes), capacity));
    std::string utf8;
    bool printable = true;
    for (unsigned char c : raw)
        printable = printable && (c >= 0x20 && c != 0x7F);
    if (printable && ZK_Text_gbkToUtf8Exact(raw, &utf8))
        return utf8;
    std::string shown;
    char hex[8];
    for (unsigned char c : raw) {
        if (c >= 0x20 && c < 0x7F) {
            shown += (char)c;
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            shown += hex;
        }
    }
    return shown;
}
