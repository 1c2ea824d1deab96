// The update package (".dzk"): region images followed by a masked trailer.
//
// ZK_Package_open reads the trailer and every region it can into one
// UpdatePackage that owns all its blocks; the file is closed again before it
// returns. Nothing here is locked: one thread uses a package at a time.
#pragma once

#include "package/transform.h"

#include <cstddef>
#include <cstdint>

// Slot numbers of the trailer's region table (1-based, as in the file).
enum ZK_PackageSlot {
    ZK_SLOT_BOOT = 1,
    ZK_SLOT_PROGRAMS = 2,
    ZK_SLOT_RADAR_MUTE = 3,
    ZK_SLOT_VOICE = 4,
    ZK_SLOT_GPS = 5,
    ZK_SLOT_UPDATE_TOOL = 6,
    ZK_SLOT_VOICE_ALT = 7,
    ZK_SLOT_PROVINCE_LEGACY = 8,
    ZK_SLOT_VOICE2 = 9,
    ZK_SLOT_VOICE2_ALT = 10,
    ZK_SLOT_VOICE3 = 11,
    ZK_SLOT_VOICE3_ALT = 12,
    ZK_SLOT_GPS2 = 13,
    ZK_SLOT_OLED = 14,
    ZK_SLOT_VOICE4_ALT = 15,
    ZK_SLOT_GPS3 = 16,
    ZK_SLOT_VOICE4 = 17,
    ZK_SLOT_PROVINCE = 18,
};
inline constexpr int ZK_SLOT_COUNT = 18;

// Where a region's date stamp comes from.
enum ZK_DateSource {
    ZK_DATE_NONE = 0,
    ZK_DATE_WORD0 = 1,             // bytes 0-3 as held in memory
    ZK_DATE_WORD1 = 2,             // bytes 4-7
    ZK_DATE_DESCRAMBLED_WORD0 = 3, // word 0 of the descrambled first 256 bytes
    ZK_DATE_HEADER = 4,            // the province region's dateWord
};

// What the reader does with each slot.
struct PackageSlotInfo {
    const char* name;  // member name, e.g. "radarMute"
    int cipher;        // 1: deciphered with the cipher magic; 2: and each record block again
    int dateSource;    // ZK_DateSource
    int scrambled;     // value of the region's scrambled flag
    int needsVersion5; // read only when the format version is 5 or more
};
// The slot's description, or none outside 1..18.
const PackageSlotInfo* ZK_Package_slotInfo(int slot);

// Trailer forms and their limits.
inline constexpr uint32_t ZK_TRAILER_520 = 520;
inline constexpr uint32_t ZK_TRAILER_320 = 320;
inline constexpr uint32_t ZK_TRAILER_304 = 304;
inline constexpr uint32_t ZK_LIMIT_BOOT = 0x8000;
inline constexpr uint32_t ZK_LIMIT_RADAR_MUTE = 0xC8000; // 304/320 forms only
inline constexpr uint32_t ZK_LIMIT_VOICE = 0x200000;     // 304/320 forms only
inline constexpr uint32_t ZK_LIMIT_GPS = 0x522000;       // 304/320 forms only
// The largest package file the reader opens. Far above any real package (the
// device's whole flash is a few MiB), and low enough that a file from a zip
// archive or a download cannot fill the disk or memory before it is refused.
inline constexpr uint64_t ZK_PACKAGE_MAX_FILE_SIZE = 256ull << 20;
inline constexpr uint32_t ZK_PROGRAM_HEADER_SIZE = 60;
inline constexpr uint32_t ZK_PROGRAM_ENTRY_SIZE = 220;
inline constexpr uint32_t ZK_PROGRAM_LEGACY_ENTRY_SIZE = 16;
inline constexpr uint32_t ZK_PROVINCE_NAME_SIZE = 50;
inline constexpr uint32_t ZK_PROVINCE_ENTRY_SIZE = 54;
inline constexpr uint32_t ZK_PROVINCE_LEGACY_RECORD_SIZE = 12;

// One loaded region.
struct PackageRegion {
    RegionDate date;
    uint8_t* data;      // owned, or none
    uint32_t size;      // 0 when absent
    uint32_t scrambled; // 1: stored running-XOR scrambled (flash checksums descramble it)
};

// One program image. In the file: 220 bytes (headed table) or the first 16
// (legacy table), little-endian words at the offsets noted.
struct ProgramEntry {
    char board[4];           // 0: four characters, no terminator
    uint32_t offset;         // 4: from the start of the program table region
    uint32_t size;           // 8: image length
    uint8_t* image;          // 12 (ignored in the file): owned image once loaded, or none
    uint32_t serverSize;     // 16
    uint32_t altVoice;       // 20
    uint32_t programVersion; // 24
    uint32_t layout502;      // 28
    uint32_t useVoice3;      // 32
    uint32_t useGps2;        // 36
    uint32_t fixedLayout;    // 40
    uint32_t trackSize;      // 44
    uint32_t resetServer;    // 48
    uint32_t hasOled;        // 52
    uint32_t useGps3;        // 56
    uint32_t useVoice4;      // 60
    uint32_t plainData;      // 64
    uint8_t reserved[148];   // 68
    uint32_t loaded;         // 216 (ignored in the file): 1 once the image has been read
};

// Program images are stored scrambled and never deciphered, so a loaded image
// is written as a scrambled image (the write checksums its descrambled copy).
// 1 for a loaded image, 0 when none was read.
inline uint32_t ZK_Package_programScrambled(const ProgramEntry* entry) {
    return entry && entry->loaded ? 1u : 0u;
}

// The option words of a program entry in file order (word i at offset
// 16 + 4 * i), with the names the manifest and the command line give them.
struct ProgramOption {
    const char* name;
    uint32_t ProgramEntry::*word;
};
inline constexpr ProgramOption ZK_PROGRAM_OPTIONS[] = {
    {"serverSize", &ProgramEntry::serverSize},
    {"altVoice", &ProgramEntry::altVoice},
    {"programVersion", &ProgramEntry::programVersion},
    {"layout502", &ProgramEntry::layout502},
    {"useVoice3", &ProgramEntry::useVoice3},
    {"useGps2", &ProgramEntry::useGps2},
    {"fixedLayout", &ProgramEntry::fixedLayout},
    {"trackSize", &ProgramEntry::trackSize},
    {"resetServer", &ProgramEntry::resetServer},
    {"hasOled", &ProgramEntry::hasOled},
    {"useGps3", &ProgramEntry::useGps3},
    {"useVoice4", &ProgramEntry::useVoice4},
    {"plainData", &ProgramEntry::plainData},
};
constexpr size_t ZK_PROGRAM_OPTION_COUNT = sizeof ZK_PROGRAM_OPTIONS / sizeof ZK_PROGRAM_OPTIONS[0];
constexpr uint32_t ZK_PROGRAM_OPTION_OFFSET = 16; // file offset of the first option word
static_assert(ZK_PROGRAM_OPTION_OFFSET + 4 * ZK_PROGRAM_OPTION_COUNT == 68,
              "the reserved bytes follow the last option word");

struct ProvinceEntry {
    char name[50]; // GBK, zero-terminated in the file (not guaranteed: compare within 50)
    uint32_t recordCount;
    uint8_t* records; // owned block of recordCount * record size bytes, or none
};

// A province region: slot 8 (legacy: 8-byte header, 12-byte records stored
// scrambled, held here descrambled) or slot 18 (16-byte header, recordSize).
struct ProvinceRegion {
    RegionDate date;
    uint8_t* data; // the whole region after the cipher, owned
    uint32_t size; // 0 when absent
    uint32_t dateWord;
    uint32_t headerWord; // slot 18 only
    uint32_t recordSize; // 12 for slot 8
    uint32_t provinceCount;
    ProvinceEntry* provinces; // owned array of provinceCount entries
};

struct PackageSlot {
    uint32_t offset;
    uint32_t size;
};

struct UpdatePackage {
    uint8_t title[256]; // first 4 bytes: the client tag
    PackageRegion boot;
    uint32_t bootWriteFlag; // always 0: the mode of the boot write
    uint32_t programCount;
    ProgramEntry* programs; // owned array
    PackageRegion radarMute, gps, voice, voiceAlt, updateTool, oled;
    ProvinceRegion provinceLegacy;
    PackageRegion provinceLegacyMerged; // nothing fills it
    PackageRegion voice2, voice2Alt, voice3, voice3Alt, gps2, voice4Alt, gps3, voice4;
    ProvinceRegion province;
    PackageRegion provinceMerged; // built by the province merge
    // What the trailer said, for inspection.
    uint32_t trailerForm;                 // 520, 320 or 304
    uint32_t formatVersion;               // 520 form: as stored; 320: 3; 304: 1
    uint32_t magic;                       // 520 form: as stored; older forms: 0
    uint32_t programTableHeaded;          // 1: the table had a valid 60-byte header
    PackageSlot slots[ZK_SLOT_COUNT + 1]; // normalised slot table, index = slot number
};

// Opens and reads a package file. Returns a new package (close it with
// ZK_Package_close), or none when the file cannot be opened, is larger than
// ZK_PACKAGE_MAX_FILE_SIZE or no trailer form validates. Regions that cannot
// be loaded are absent; the package is still returned. The file is not kept
// open.
[[nodiscard]] UpdatePackage* ZK_Package_open(const char* path);
// The same over `length` bytes in memory (borrowed for the call only; not changed).
[[nodiscard]] UpdatePackage* ZK_Package_openMemory(const uint8_t* bytes, size_t length);
// Frees every block the package owns, and the package. None does nothing.
void ZK_Package_close(UpdatePackage* package);

// The plain region of a slot (not 2, 8 or 18), or none.
PackageRegion* ZK_Package_region(UpdatePackage* package, int slot);
const PackageRegion* ZK_Package_region(const UpdatePackage* package, int slot);

// Byte sum of a program table header's first 56 bytes, as stored at 56..59.
uint32_t ZK_Package_programHeaderSum(const uint8_t* header);
