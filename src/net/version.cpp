#include "net/version.h"

#include "support/identity.h"
#include "support/log.h"
#include "support/mem.h"
#include "support/str.h"
#include "support/stream.h"

#include <cstdio>
#include <cstring>

#ifndef KORVANA_VERSION_HOST
#define KORVANA_VERSION_HOST ""
#endif
#ifndef KORVANA_VERSION_HOST_GORVANT
#define KORVANA_VERSION_HOST_GORVANT ""
#endif

namespace {

enum Server { MAKER, CLIENT };

struct Endpoint {
    const char* tag;
    Server server;
    const char* path;
};

const Endpoint kEndpoints[] = {
    {"                     ", MAKER, "/UserFiles/File/testNet.txt"}, // 21 blanks: no client
    {"Qirune/Fellodo", MAKER, "/UserFiles/File/qirune.txt"},
    {"Namberi", MAKER, "/UserFiles/File/lodanvey.txt"},
    {"Kelvoran", MAKER, "/UserFiles/File/namberiplus.txt"},
    {"Gorvant", CLIENT, "/yt.txt"},
};

constexpr size_t kLine1Capacity = 1024;
constexpr size_t kLine2Capacity = 260;
constexpr size_t kVersionDigits = 259;
constexpr int kFieldCut = 255;

// Cuts a field to 255 characters, trims it and copies it into its slot.
void storeField(const char* start, int length, char* slot, size_t capacity) {
    char field[kFieldCut + 1] = {};
    if (length > 0) // a length of 0 would copy the whole rest of the line
        ZK_Str_copy(sizeof field, start, field, length);
    ZK_Str_trimRight(field);
    ZK_Str_trimLeft(field);
    ZK_Str_copy(capacity, field, slot, 0);
}

bool appendEntry(VersionInfo* info, const char** starts, const int* lengths) {
    if (info->entryCount >= ZK_VERSION_MAX_ENTRIES)
        return false;
    if (info->entryCount == info->entryCapacity) {
        uint32_t capacity = info->entryCapacity ? info->entryCapacity * 2 : 16;
        auto* grown = static_cast<_LuanguageInfo*>(ZK_Mem_calloc(capacity, sizeof(_LuanguageInfo)));
        if (!grown)
            return false;
        if (info->entries)
            std::memcpy(grown, info->entries, info->entryCount * sizeof(_LuanguageInfo));
        ZK_Mem_free(info->entries);
        info->entries = grown;
        info->entryCapacity = capacity;
    }
    _LuanguageInfo& e = info->entries[info->entryCount++];
    storeField(starts[0], lengths[0], e.first, sizeof e.first);
    storeField(starts[1], lengths[1], e.second, sizeof e.second);
    storeField(starts[2], lengths[2], e.third, sizeof e.third);
    return true;
}

void dropEntries(VersionInfo* info) {
    ZK_Mem_free(info->entries);
    info->entries = nullptr;
    info->entryCount = info->entryCapacity = 0;
}

} // namespace

void ZK_Version_clear(VersionInfo* info) {
    if (!info)
        return;
    ZK_Mem_free(info->entries);
    std::memset(info, 0, sizeof *info);
}

int ZK_Version_endpointUrl(const char* clientTag, size_t tagLength, const char* makerHost,
                           const char* clientHost, char* url, size_t capacity) {
    if (!url || capacity == 0)
        return 0;
    std::memset(url, 0, capacity);
    if (!clientTag)
        return 0;
    size_t have = strnlen(clientTag, tagLength);
    for (const Endpoint& e : kEndpoints) {
        // The whole listed name, byte for byte, against the start of the tag.
        size_t n = std::strlen(e.tag);
        if (have < n || std::memcmp(clientTag, e.tag, n) != 0)
            continue;
        const char* host = e.server == MAKER ? makerHost : clientHost;
        if (!host || !*host)
            return 0;
        ZK_Str_copy(capacity, host, url, 0);
        ZK_Str_append(e.path, capacity, url);
        return 1;
    }
    return 0;
}

int GetVersionInfoUrl(char* url, size_t capacity) {
    return ZK_Version_endpointUrl(CLIENT_TAG, sizeof CLIENT_TAG - 1, KORVANA_VERSION_HOST,
                                  KORVANA_VERSION_HOST_GORVANT, url, capacity);
}

int ZK_Version_tmpPath(char* path) {
    return ZK_Path_temp(path, ZK_VERSION_TMP_NAME);
}

int ZK_Version_parseStream(VersionInfo* info, ByteStream* stream) {
    if (!info)
        return 0;
    info->status[0] = '\0';
    if (!stream) {
        ZK_Str_copy(sizeof info->status, ZK_VERSION_TEXT_FAILED, info->status, 0);
        return 0;
    }
    char line[kLine1Capacity];
    (void)ZK_Stream_readLine(line, stream, sizeof line);
    if (line[0] >= '0' && line[0] <= '9') {
        info->listMode = 0;
        char url[kLine2Capacity];
        (void)ZK_Stream_readLine(url, stream, sizeof url);
        if (url[0] == '\0') {
            info->onlineVersion = -1;
            ZK_Str_copy(sizeof info->status, ZK_VERSION_TEXT_FAILED, info->status, 0);
            return 0;
        }
        char digits[kVersionDigits + 1];
        ZK_Str_copy(sizeof digits, line, digits, 0);
        info->onlineVersion = ZK_Str_toInt(digits);
        ZK_Str_copy(sizeof info->packageUrl, url, info->packageUrl, 0);
        ZK_Str_format(info->status, sizeof info->status, "%s%d", ZK_VERSION_TEXT_ONLINE,
                      (int)info->onlineVersion);
        return 1;
    }
    info->listMode = 1;
    dropEntries(info);
    while (line[0] != '\0') {
        const char* starts[ZK_STR_MAX_FIELDS];
        int lengths[ZK_STR_MAX_FIELDS];
        if (ZK_Str_split(starts, lengths, line, 0) == 3 && !appendEntry(info, starts, lengths))
            break;
        if (ZK_Stream_readLine(line, stream, sizeof line) < 0)
            break;
    }
    return 1;
}

int ParseVersionInfo(VersionInfo* info, const char* path) {
    if (!info)
        return 0;
    ByteStream stream;
    if (!path || !ZK_Stream_openFile(&stream, path, ZK_STREAM_READ))
        return ZK_Version_parseStream(info, nullptr);
    int parsed = ZK_Version_parseStream(info, &stream);
    ZK_Stream_release(&stream);
    // A file with empty lines stays for inspection; a parsed one is used up.
    if (parsed && std::remove(path) != 0)
        ZK_LOG("cannot delete %s", path);
    return parsed;
}

uint32_t ZK_Version_deviceValue(const RegionDate* gpsDate) {
    if (!gpsDate)
        return 0;
    return (uint32_t)gpsDate->year * 10000u + (uint32_t)gpsDate->month * 100u + gpsDate->day;
}

bool IsNewestVersion(const VersionInfo* info, bool localFileChosen, uint32_t deviceValue) {
    return info && !localFileChosen && !info->listMode && info->onlineVersion > 0 &&
           deviceValue != 0 && deviceValue >= (uint32_t)info->onlineVersion;
}
