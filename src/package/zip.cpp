#include "package/zip.h"

#include "package/package.h"
#include "support/log.h"
#include "support/str.h"

#include <cstring>
#include <minizip/unzip.h>

namespace {

constexpr size_t kPathCapacity = 1024;
constexpr size_t kNameCapacity = 1024;
constexpr size_t kBaseCapacity = 256;
constexpr unsigned kChunk = 1024;

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

// The text after the last '.' of the base name (the part after the last
// '/'), or the whole base name when it has no '.', compared with "dzk".
bool isPackageName(const char* name) {
    const char* slash = std::strrchr(name, '/');
    char base[kBaseCapacity];
    ZK_Str_copy(sizeof base, slash ? slash + 1 : name, base, 0);
    const char* dot = std::strrchr(base, '.');
    const char* ext = dot ? dot + 1 : base;
    const char want[] = "dzk";
    for (size_t i = 0; i < sizeof want; ++i)
        if (asciiLower(ext[i]) != want[i])
            return false;
    return true;
}

int extractCurrent(unzFile zip, const unz_file_info64& info, const char* name,
                   ZK_ZipProgress progress, void* user, ByteStream* output) {
    // Checked before a byte is written: a header that announces more than
    // any package is refused at once; the running total below catches a
    // header that lies.
    if (info.uncompressed_size > ZK_PACKAGE_MAX_FILE_SIZE) {
        ZK_LOG("member %s announces %llu bytes, more than any package", name,
               (unsigned long long)info.uncompressed_size);
        return 0;
    }
    if (unzOpenCurrentFile(zip) != UNZ_OK) {
        ZK_LOG("cannot open member %s", name);
        return 0;
    }
    if (progress)
        progress(user, info.uncompressed_size, 0);
    uint8_t chunk[kChunk];
    uint64_t total = 0;
    int result = 1;
    for (;;) {
        int got = unzReadCurrentFile(zip, chunk, kChunk);
        if (got == 0)
            break;
        if (got < 0) {
            ZK_LOG("inflating %s failed (%d) after %llu bytes", name, got,
                   (unsigned long long)total);
            result = 0;
            break;
        }
        if (total + (uint64_t)got > ZK_PACKAGE_MAX_FILE_SIZE) {
            ZK_LOG("member %s grows beyond any package", name);
            result = 0;
            break;
        }
        if (ZK_Stream_write(output, (size_t)got, chunk) != got) {
            ZK_LOG("writing the package from %s fell short", name);
            result = 0;
            break;
        }
        total += (uint64_t)got;
        if (progress)
            progress(user, info.uncompressed_size, total);
    }
    // Closing a fully read member checks its CRC.
    int closed = unzCloseCurrentFile(zip);
    if (result && closed != UNZ_OK) {
        ZK_LOG("member %s does not match its CRC (%d)", name, closed);
        result = 0;
    }
    return result;
}

int walk(unzFile zip, ZK_ZipProgress progress, void* user, ByteStream* output) {
    unz_global_info64 global;
    if (unzGetGlobalInfo64(zip, &global) != UNZ_OK)
        return 0;
    if (global.number_entry == 0)
        return 1;
    if (unzGoToFirstFile(zip) != UNZ_OK)
        return 0;
    for (;;) {
        unz_file_info64 info;
        char name[kNameCapacity];
        std::memset(name, 0, sizeof name);
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name - 1, nullptr, 0, nullptr, 0) !=
            UNZ_OK)
            return 0;
        size_t length = std::strlen(name);
        bool directory = length > 0 && name[length - 1] == '/';
        if (!directory && info.compressed_size != 0 && isPackageName(name))
            return extractCurrent(zip, info, name, progress, user, output);
        int next = unzGoToNextFile(zip);
        if (next == UNZ_END_OF_LIST_OF_FILE)
            return 1;
        if (next != UNZ_OK)
            return 0;
    }
}

} // namespace

int ZK_Zip_extractPackage(const char* archivePath, ZK_ZipProgress progress, void* user,
                          ByteStream* output) {
    // A cut path would name another file.
    if (!archivePath || !output || std::strlen(archivePath) >= kPathCapacity)
        return 0;
    char path[kPathCapacity];
    ZK_Str_copy(sizeof path, archivePath, path, 0);
    unzFile zip = unzOpen64(path);
    if (!zip) {
        ZK_LOG("cannot open %s as a zip archive", path);
        return 0;
    }
    int result = walk(zip, progress, user, output);
    unzClose(zip);
    return result;
}
