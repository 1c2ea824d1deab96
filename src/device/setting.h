// The device's main setting and mobile-data records, byte for byte as they
// lie in flash (packed, little-endian, no gaps). Both are valid only when
// their `magic` holds 0x12345678; in flash each sits behind a 32-bit byte
// sum of the record.
#pragma once

#include <bit>

#include <cstddef>
#include <cstdint>

constexpr uint32_t ZK_SETTING_MAGIC = 0x12345678u;

// The records below are overlaid on device bytes, which are little-endian.
static_assert(std::endian::native == std::endian::little,
              "the device records need a little-endian host");

#pragma pack(push, 1)
struct MainSetting {
    uint32_t version;        // main setting version
    char board[4];           // board name, no terminator
    uint32_t programVersion; // program in the device
    uint8_t reserved12;
    uint32_t minToolVersion; // lowest tool version that may configure it
    uint8_t auxFlag;
    uint8_t hasUpdateTool;
    uint8_t altVoice;
    uint8_t reserved20;
    uint8_t useGps2;
    uint8_t useVoice3;
    uint8_t useGps3;
    uint8_t useVoice4; // also: voice stamp in word 0 instead of word 1
    uint8_t plainData; // 0: data regions are read and checked in mode 1
    uint8_t untouched26[33];
    uint32_t flashSize;
    uint32_t serverAddr;
    uint32_t serverSize;
    uint32_t updateToolAddr;
    uint32_t updateToolSize;
    uint32_t voiceAddr;
    uint32_t voiceSize;
    uint32_t radarMuteAddr;
    uint32_t radarMuteSize;
    uint32_t gpsAddr;
    uint32_t gpsSize;
    uint32_t reservedAddr; // data area base: 0x19000 legacy, 0x21000 in the 502 layout
    uint32_t reservedSize;
    uint32_t usedEnd;
    uint32_t trackAddr;
    uint32_t trackSize; // as the program entry gives it, not rounded
    uint32_t oledAddr;
    uint32_t oledSize;
    uint8_t untouched131[96];
    uint32_t magic;
};

struct ServerSetting {
    char apn[50];
    char server[20];
    uint32_t port;
    char user[50];
    char password[50];
    uint32_t magic;
};
#pragma pack(pop)

static_assert(sizeof(MainSetting) == 231);
static_assert(offsetof(MainSetting, version) == 0);
static_assert(offsetof(MainSetting, board) == 4);
static_assert(offsetof(MainSetting, programVersion) == 8);
static_assert(offsetof(MainSetting, reserved12) == 12);
static_assert(offsetof(MainSetting, minToolVersion) == 13);
static_assert(offsetof(MainSetting, auxFlag) == 17);
static_assert(offsetof(MainSetting, hasUpdateTool) == 18);
static_assert(offsetof(MainSetting, altVoice) == 19);
static_assert(offsetof(MainSetting, reserved20) == 20);
static_assert(offsetof(MainSetting, useGps2) == 21);
static_assert(offsetof(MainSetting, useVoice3) == 22);
static_assert(offsetof(MainSetting, useGps3) == 23);
static_assert(offsetof(MainSetting, useVoice4) == 24);
static_assert(offsetof(MainSetting, plainData) == 25);
static_assert(offsetof(MainSetting, untouched26) == 26);
static_assert(offsetof(MainSetting, flashSize) == 59);
static_assert(offsetof(MainSetting, serverAddr) == 63);
static_assert(offsetof(MainSetting, serverSize) == 67);
static_assert(offsetof(MainSetting, updateToolAddr) == 71);
static_assert(offsetof(MainSetting, updateToolSize) == 75);
static_assert(offsetof(MainSetting, voiceAddr) == 79);
static_assert(offsetof(MainSetting, voiceSize) == 83);
static_assert(offsetof(MainSetting, radarMuteAddr) == 87);
static_assert(offsetof(MainSetting, radarMuteSize) == 91);
static_assert(offsetof(MainSetting, gpsAddr) == 95);
static_assert(offsetof(MainSetting, gpsSize) == 99);
static_assert(offsetof(MainSetting, reservedAddr) == 103);
static_assert(offsetof(MainSetting, reservedSize) == 107);
static_assert(offsetof(MainSetting, usedEnd) == 111);
static_assert(offsetof(MainSetting, trackAddr) == 115);
static_assert(offsetof(MainSetting, trackSize) == 119);
static_assert(offsetof(MainSetting, oledAddr) == 123);
static_assert(offsetof(MainSetting, oledSize) == 127);
static_assert(offsetof(MainSetting, untouched131) == 131);
static_assert(offsetof(MainSetting, magic) == 227);

static_assert(sizeof(ServerSetting) == 178);
static_assert(offsetof(ServerSetting, apn) == 0);
static_assert(offsetof(ServerSetting, server) == 50);
static_assert(offsetof(ServerSetting, port) == 70);
static_assert(offsetof(ServerSetting, user) == 74);
static_assert(offsetof(ServerSetting, password) == 124);
static_assert(offsetof(ServerSetting, magic) == 174);
