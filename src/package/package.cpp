#include "package/package.h"

#include "package/keys.h"
#include "support/log.h"
#include "support/mem.h"
#include "support/stream.h"

#include <cstring>

namespace {

const PackageSlotInfo kSlots[ZK_SLOT_COUNT + 1] = {
    {nullptr, 0, ZK_DATE_NONE, 0, 0},
    {"boot", 0, ZK_DATE_NONE, 1, 0},
    {"programs", 0, ZK_DATE_NONE, 1, 0},
    {"radarMute", 1, ZK_DATE_WORD0, 0, 0},
    {"voice", 0, ZK_DATE_WORD1, 0, 0},
    {"gps", 1, ZK_DATE_DESCRAMBLED_WORD0, 1, 0},
    {"updateTool", 0, ZK_DATE_NONE, 0, 0},
    {"voiceAlt", 0, ZK_DATE_WORD1, 0, 1},
    {"provinceLegacy", 1, ZK_DATE_HEADER, 0, 0},
    {"voice2", 0, ZK_DATE_WORD1, 0, 0},
    {"voice2Alt", 0, ZK_DATE_WORD1, 0, 1},
    {"voice3", 0, ZK_DATE_WORD1, 0, 0},
    {"voice3Alt", 0, ZK_DATE_WORD1, 0, 1},
    {"gps2", 1, ZK_DATE_DESCRAMBLED_WORD0, 1, 0},
    {"oled", 0, ZK_DATE_DESCRAMBLED_WORD0, 1, 0},
    {"voice4Alt", 0, ZK_DATE_WORD0, 0, 0},
    {"gps3", 1, ZK_DATE_WORD0, 0, 0},
    {"voice4", 0, ZK_DATE_WORD0, 0, 0},
    {"province", 2, ZK_DATE_HEADER, 0, 0},
};

const int kLoadOrder[ZK_SLOT_COUNT] = {1, 2,  3,  5,  4,  7,  6,  14, 8,
                                       9, 10, 11, 12, 13, 15, 17, 16, 18};

struct Reader {
    ByteStream* stream;
    int64_t fileSize;
    uint32_t magic;
    uint32_t version;
};

bool readExact(ByteStream* s, uint64_t offset, void* buffer, size_t count) {
    if (!ZK_Stream_seek(s, (int64_t)offset))
        return false;
    return ZK_Stream_read(s, count, buffer) == (int64_t)count;
}

// Reads [offset, offset + size) into a new block. A range past the end of the
// file is a short read; it is refused before allocating, so a damaged slot
// cannot ask for gigabytes.
uint8_t* readBlock(const Reader& r, uint64_t offset, uint32_t size) {
    if (size == 0 || offset + size > (uint64_t)r.fileSize)
        return nullptr;
    uint8_t* block = static_cast<uint8_t*>(ZK_Mem_alloc(size));
    if (block && !readExact(r.stream, offset, block, size)) {
        ZK_Mem_free(block);
        block = nullptr;
    }
    return block;
}

// Validates one trailer form and turns it into the 520-byte layout.
bool tryTrailer(const Reader& r, uint32_t form, uint8_t* out) {
    uint8_t raw[520];
    if (r.fileSize < (int64_t)form || !readExact(r.stream, (uint64_t)r.fileSize - form, raw, form))
        return false;
    ZK_Data_unmaskTrailer(raw, form);
    uint32_t covered = ZK_Bytes_u32le(raw);
    if (covered != form - 4 || ZK_Bytes_sum(raw, covered) != ZK_Bytes_u32le(raw + covered))
        return false;
    std::memset(out, 0, 520);
    if (form == ZK_TRAILER_520) {
        uint32_t magic = ZK_Bytes_u32le(raw + 512);
        if ((magic != ZK_MAGIC_PLAIN && magic != ZK_MAGIC_CIPHER) ||
            ZK_Bytes_u32le(raw + 264 + 4) > ZK_LIMIT_BOOT)
            return false;
        std::memcpy(out, raw, 520);
        return true;
    }
    const uint8_t* title = form == ZK_TRAILER_320 ? raw + 8 : raw + 4;
    const uint8_t* slots = form == ZK_TRAILER_320 ? raw + 264 : raw + 260;
    if (ZK_Bytes_u32le(slots + 4) > ZK_LIMIT_BOOT ||
        ZK_Bytes_u32le(slots + 20) > ZK_LIMIT_RADAR_MUTE ||
        ZK_Bytes_u32le(slots + 28) > ZK_LIMIT_VOICE || ZK_Bytes_u32le(slots + 36) > ZK_LIMIT_GPS)
        return false;
    ZK_Bytes_putU32le(out, 516);
    ZK_Bytes_putU32le(out + 4, form == ZK_TRAILER_320 ? 3 : 1);
    std::memcpy(out + 8, title, 256);
    std::memcpy(out + 264, slots, 40);
    return true;
}

void emptyRegion(PackageRegion* region) {
    ZK_Mem_free(region->data);
    std::memset(region, 0, sizeof *region);
}

void takeDate(PackageRegion* region, int source) {
    uint32_t word = 0;
    bool have = false;
    switch (source) {
    case ZK_DATE_WORD0:
        have = ZK_Bytes_readU32LE(region->data, region->size, 0, &word) != 0;
        break;
    case ZK_DATE_WORD1:
        have = ZK_Bytes_readU32LE(region->data, region->size, 4, &word) != 0;
        break;
    case ZK_DATE_DESCRAMBLED_WORD0: {
        uint8_t scratch[256] = {0};
        std::memcpy(scratch, region->data, region->size < 256 ? region->size : 256);
        ZK_Data_descramble(sizeof scratch, scratch);
        word = ZK_Bytes_u32le(scratch);
        have = true;
        break;
    }
    default:
        break;
    }
    // A region too short for its date word has no stamp.
    std::memset(&region->date, 0, sizeof region->date);
    if (have)
        ZK_Date_fromSeconds(word, &region->date);
}

void loadPlain(const Reader& r, const PackageSlot& slot, int number, PackageRegion* region) {
    const PackageSlotInfo& info = kSlots[number];
    emptyRegion(region);
    region->data = readBlock(r, slot.offset, slot.size);
    if (!region->data) {
        ZK_LOG("region %s [0x%X][0x%X] not loaded", info.name, slot.offset, slot.size);
        return;
    }
    region->size = slot.size;
    if (info.cipher && r.magic == ZK_MAGIC_CIPHER)
        ZK_Data_decipher(region->data, region->size);
    region->scrambled = (uint32_t)info.scrambled;
    takeDate(region, info.dateSource);
}

void freePrograms(UpdatePackage* p) {
    for (uint32_t i = 0; p->programs && i < p->programCount; ++i)
        ZK_Mem_free(p->programs[i].image);
    ZK_Mem_free(p->programs);
    p->programs = nullptr;
    p->programCount = 0;
}

void parseProgramEntry(const uint8_t* raw, uint32_t entrySize, ProgramEntry* e) {
    std::memcpy(e->board, raw, 4);
    e->offset = ZK_Bytes_u32le(raw + 4);
    e->size = ZK_Bytes_u32le(raw + 8);
    if (entrySize < ZK_PROGRAM_ENTRY_SIZE)
        return;
    for (size_t i = 0; i < ZK_PROGRAM_OPTION_COUNT; ++i)
        e->*ZK_PROGRAM_OPTIONS[i].word = ZK_Bytes_u32le(raw + ZK_PROGRAM_OPTION_OFFSET + 4 * i);
    std::memcpy(e->reserved, raw + 68, sizeof e->reserved);
}

// The table must lie inside its region; one that does not is rejected whole
// (a damaged table is not a source to flash firmware from). Each image must
// lie inside the region too, and the images together may not exceed it: in a
// sound table they do not overlap, and this bounds what a damaged table can
// make us allocate.
void loadPrograms(const Reader& r, const PackageSlot& slot, UpdatePackage* p) {
    freePrograms(p);
    p->programTableHeaded = 0;
    uint64_t start = slot.offset, size = slot.size;
    if (size == 0 || start + size > (uint64_t)r.fileSize)
        return;
    uint8_t header[ZK_PROGRAM_HEADER_SIZE];
    uint32_t count = 0, entrySize = ZK_PROGRAM_LEGACY_ENTRY_SIZE, tableStart = 4;
    if (size >= sizeof header && readExact(r.stream, start, header, sizeof header) &&
        ZK_Bytes_u32le(header + 4) == ZK_MAGIC_PLAIN &&
        ZK_Bytes_u32le(header + 56) == ZK_Package_programHeaderSum(header)) {
        p->programTableHeaded = 1;
        count = ZK_Bytes_u32le(header + 12);
        entrySize = ZK_PROGRAM_ENTRY_SIZE;
        tableStart = ZK_PROGRAM_HEADER_SIZE;
    } else {
        uint8_t word[4];
        if (size < 4 || !readExact(r.stream, start, word, 4))
            return;
        count = ZK_Bytes_u32le(word);
    }
    if (count == 0)
        return;
    if (tableStart + (uint64_t)count * entrySize > size) {
        ZK_LOG("program table count %u does not fit its region [0x%X]", count, slot.size);
        return;
    }
    p->programs = static_cast<ProgramEntry*>(ZK_Mem_calloc(count, sizeof(ProgramEntry)));
    if (!p->programs)
        return;
    p->programCount = count;
    if (!ZK_Stream_seek(r.stream, (int64_t)(start + tableStart))) {
        freePrograms(p);
        return;
    }
    uint8_t raw[ZK_PROGRAM_ENTRY_SIZE];
    for (uint32_t i = 0; i < count; ++i) {
        if (ZK_Stream_read(r.stream, entrySize, raw) != (int64_t)entrySize) {
            freePrograms(p);
            return;
        }
        parseProgramEntry(raw, entrySize, &p->programs[i]);
    }
    uint64_t loadedBytes = 0;
    for (uint32_t i = 0; i < count; ++i) {
        ProgramEntry* e = &p->programs[i];
        if (e->size == 0)
            continue;
        if ((uint64_t)e->offset + e->size > size || loadedBytes + e->size > size) {
            ZK_LOG("program image %u [0x%X][0x%X] outside its table region", i, e->offset, e->size);
            continue;
        }
        e->image = readBlock(r, start + e->offset, e->size);
        if (e->image) {
            e->loaded = 1;
            loadedBytes += e->size;
        }
    }
}

void emptyProvinces(ProvinceRegion* region) {
    for (uint32_t i = 0; region->provinces && i < region->provinceCount; ++i)
        ZK_Mem_free(region->provinces[i].records);
    ZK_Mem_free(region->provinces);
    ZK_Mem_free(region->data);
    std::memset(region, 0, sizeof *region);
}

bool readWord(ByteStream* s, uint32_t* out) {
    uint8_t b[4];
    if (ZK_Stream_read(s, 4, b) != 4)
        return false;
    *out = ZK_Bytes_u32le(b);
    return true;
}

// Parses the region held in region->data. A table or record block that does
// not fit inside the region rejects the region; so does a record size below 8,
// which leaves the merge no sort key.
bool parseProvinces(ProvinceRegion* region, bool legacy, bool cipherRecords) {
    ByteStream s;
    if (!ZK_Stream_openMemory(&s, region->data, region->size))
        return false;
    bool ok = false;
    uint32_t headerSize = legacy ? 8 : 16;
    do {
        if (!readWord(&s, &region->dateWord))
            break;
        if (legacy) {
            region->recordSize = ZK_PROVINCE_LEGACY_RECORD_SIZE;
        } else if (!readWord(&s, &region->headerWord) || !readWord(&s, &region->recordSize)) {
            break;
        }
        if (!readWord(&s, &region->provinceCount) || region->provinceCount == 0 ||
            region->recordSize < 8)
            break;
        uint64_t used = headerSize + (uint64_t)region->provinceCount * ZK_PROVINCE_ENTRY_SIZE;
        if (used > region->size)
            break;
        region->provinces = static_cast<ProvinceEntry*>(
            ZK_Mem_calloc(region->provinceCount, sizeof(ProvinceEntry)));
        if (!region->provinces)
            break;
        bool entriesOk = true;
        for (uint32_t i = 0; entriesOk && i < region->provinceCount; ++i) {
            ProvinceEntry* e = &region->provinces[i];
            entriesOk = ZK_Stream_read(&s, sizeof e->name, e->name) == (int64_t)sizeof e->name &&
                        readWord(&s, &e->recordCount);
        }
        for (uint32_t i = 0; entriesOk && i < region->provinceCount; ++i) {
            ProvinceEntry* e = &region->provinces[i];
            if (e->recordCount == 0)
                continue;
            uint64_t bytes = (uint64_t)e->recordCount * region->recordSize;
            if (bytes > region->size - used) {
                ZK_LOG("province %u: %u records do not fit the region", i, e->recordCount);
                entriesOk = false;
                break;
            }
            e->records = static_cast<uint8_t*>(ZK_Mem_alloc((size_t)bytes));
            if (!e->records || ZK_Stream_read(&s, (size_t)bytes, e->records) != (int64_t)bytes) {
                entriesOk = false;
                break;
            }
            used += bytes;
            if (legacy)
                ZK_Data_descramble((size_t)bytes, e->records);
            else if (cipherRecords)
                ZK_Data_decipher(e->records, (size_t)bytes);
        }
        ok = entriesOk;
    } while (false);
    ZK_Stream_release(&s);
    if (ok)
        ZK_Date_fromSeconds(region->dateWord, &region->date);
    return ok;
}

void loadProvinces(const Reader& r, const PackageSlot& slot, int number, ProvinceRegion* region) {
    emptyProvinces(region);
    region->data = readBlock(r, slot.offset, slot.size);
    if (!region->data)
        return;
    region->size = slot.size;
    bool cipher = r.magic == ZK_MAGIC_CIPHER;
    if (cipher)
        ZK_Data_decipher(region->data, region->size);
    if (!parseProvinces(region, number == ZK_SLOT_PROVINCE_LEGACY, cipher)) {
        ZK_LOG("province region %s not usable", kSlots[number].name);
        emptyProvinces(region);
    }
}

UpdatePackage* openStream(ByteStream* stream, int64_t fileSize) {
    if (fileSize > (int64_t)ZK_PACKAGE_MAX_FILE_SIZE) {
        ZK_LOG("package of %lld bytes is larger than any package", (long long)fileSize);
        return nullptr;
    }
    UpdatePackage* p = static_cast<UpdatePackage*>(ZK_Mem_calloc(1, sizeof(UpdatePackage)));
    if (!p)
        return nullptr;
    Reader r{stream, fileSize, 0, 0};
    int64_t start = ZK_Stream_tell(stream);
    uint8_t trailer[520];
    const uint32_t forms[] = {ZK_TRAILER_520, ZK_TRAILER_320, ZK_TRAILER_304};
    for (uint32_t form : forms) {
        if (fileSize >= 0 && tryTrailer(r, form, trailer)) {
            p->trailerForm = form;
            break;
        }
    }
    if (!p->trailerForm) {
        ZK_Mem_free(p);
        return nullptr;
    }
    (void)ZK_Stream_seek(stream, start); // every region read seeks on its own
    r.version = p->formatVersion = ZK_Bytes_u32le(trailer + 4);
    r.magic = p->magic = ZK_Bytes_u32le(trailer + 512);
    std::memcpy(p->title, trailer + 8, sizeof p->title);
    for (int slot = 1; slot <= ZK_SLOT_COUNT; ++slot) {
        p->slots[slot].offset = ZK_Bytes_u32le(trailer + 264 + 8 * (slot - 1));
        p->slots[slot].size = ZK_Bytes_u32le(trailer + 264 + 8 * (slot - 1) + 4);
    }
    ZK_LOG("package trailer %u, version %u, magic 0x%X", p->trailerForm, r.version, r.magic);
    for (int slot : kLoadOrder) {
        const PackageSlot& s = p->slots[slot];
        if (s.size == 0 || (kSlots[slot].needsVersion5 && r.version < 5))
            continue;
        if (slot == ZK_SLOT_PROGRAMS)
            loadPrograms(r, s, p);
        else if (slot == ZK_SLOT_PROVINCE_LEGACY)
            loadProvinces(r, s, slot, &p->provinceLegacy);
        else if (slot == ZK_SLOT_PROVINCE)
            loadProvinces(r, s, slot, &p->province);
        else
            loadPlain(r, s, slot, ZK_Package_region(p, slot));
    }
    return p;
}

} // namespace

const PackageSlotInfo* ZK_Package_slotInfo(int slot) {
    return slot >= 1 && slot <= ZK_SLOT_COUNT ? &kSlots[slot] : nullptr;
}

uint32_t ZK_Package_programHeaderSum(const uint8_t* header) {
    return ZK_Bytes_sum(header, 56);
}

PackageRegion* ZK_Package_region(UpdatePackage* p, int slot) {
    if (!p)
        return nullptr;
    switch (slot) {
    case ZK_SLOT_BOOT:
        return &p->boot;
    case ZK_SLOT_RADAR_MUTE:
        return &p->radarMute;
    case ZK_SLOT_VOICE:
        return &p->voice;
    case ZK_SLOT_GPS:
        return &p->gps;
    case ZK_SLOT_UPDATE_TOOL:
        return &p->updateTool;
    case ZK_SLOT_VOICE_ALT:
        return &p->voiceAlt;
    case ZK_SLOT_VOICE2:
        return &p->voice2;
    case ZK_SLOT_VOICE2_ALT:
        return &p->voice2Alt;
    case ZK_SLOT_VOICE3:
        return &p->voice3;
    case ZK_SLOT_VOICE3_ALT:
        return &p->voice3Alt;
    case ZK_SLOT_GPS2:
        return &p->gps2;
    case ZK_SLOT_OLED:
        return &p->oled;
    case ZK_SLOT_VOICE4_ALT:
        return &p->voice4Alt;
    case ZK_SLOT_GPS3:
        return &p->gps3;
    case ZK_SLOT_VOICE4:
        return &p->voice4;
    default:
        return nullptr;
    }
}

const PackageRegion* ZK_Package_region(const UpdatePackage* p, int slot) {
    return ZK_Package_region(const_cast<UpdatePackage*>(p), slot);
}

UpdatePackage* ZK_Package_open(const char* path) {
    ByteStream stream;
    if (!path || !ZK_Stream_openFile(&stream, path, ZK_STREAM_READ))
        return nullptr;
    UpdatePackage* p = openStream(&stream, ZK_Stream_size(&stream));
    ZK_Stream_release(&stream);
    return p;
}

UpdatePackage* ZK_Package_openMemory(const uint8_t* bytes, size_t length) {
    ByteStream stream;
    // The reader only reads: the block is wrapped, not written.
    if (!bytes || !ZK_Stream_openMemory(&stream, const_cast<uint8_t*>(bytes), length))
        return nullptr;
    UpdatePackage* p = openStream(&stream, (int64_t)length);
    ZK_Stream_release(&stream);
    return p;
}

void ZK_Package_close(UpdatePackage* p) {
    if (!p)
        return;
    for (int slot = 1; slot <= ZK_SLOT_COUNT; ++slot)
        if (PackageRegion* region = ZK_Package_region(p, slot))
            emptyRegion(region);
    freePrograms(p);
    emptyProvinces(&p->provinceLegacy);
    emptyProvinces(&p->province);
    emptyRegion(&p->provinceLegacyMerged);
    emptyRegion(&p->provinceMerged);
    ZK_Mem_free(p);
}
