#include "package/builder.h"

#include "package/keys.h"
#include "support/mem.h"
#include "support/stream.h"

#include <cerrno>
#include <cstring>

namespace {

bool cipherOn(const PackageBuilder* b) {
    return b->trailerForm == ZK_TRAILER_520 && b->magic == ZK_MAGIC_CIPHER;
}

void putDate(uint8_t* data, uint32_t size, int source, uint32_t seconds) {
    switch (source) {
    case ZK_DATE_WORD0:
    case ZK_DATE_DESCRAMBLED_WORD0:
        (void)ZK_Bytes_writeU32LE(data, size, 0, seconds);
        break;
    case ZK_DATE_WORD1:
        (void)ZK_Bytes_writeU32LE(data, size, 4, seconds);
        break;
    default:
        break;
    }
}

// A region as stored: the content with its date word, scrambled and enciphered
// as asked. Returns a new block (size *outSize), or none.
uint8_t* plainBytes(const BuildRegion& r, int slot, bool cipher) {
    const PackageSlotInfo* info = ZK_Package_slotInfo(slot);
    uint8_t* out = static_cast<uint8_t*>(ZK_Mem_alloc(r.size));
    if (!out)
        return nullptr;
    std::memcpy(out, r.data, r.size);
    if (r.hasDate)
        putDate(out, r.size, info->dateSource, r.dateSeconds);
    if (r.scramble)
        ZK_Data_scramble(r.size, out);
    if (cipher && info->cipher)
        ZK_Data_encipher(out, r.size);
    return out;
}

uint8_t* programBytes(const BuildProgramTable& t, uint32_t* outSize) {
    uint64_t entrySize = t.headed ? ZK_PROGRAM_ENTRY_SIZE : ZK_PROGRAM_LEGACY_ENTRY_SIZE;
    uint64_t tableSize = (t.headed ? ZK_PROGRAM_HEADER_SIZE : 4) + t.count * entrySize;
    uint64_t total = tableSize;
    for (uint32_t i = 0; i < t.count; ++i)
        total += t.programs[i].image ? t.programs[i].imageSize : 0;
    if (total > UINT32_MAX)
        return nullptr;
    uint8_t* out = static_cast<uint8_t*>(ZK_Mem_calloc(1, (size_t)total));
    if (!out)
        return nullptr;
    uint8_t* entry = out + (t.headed ? ZK_PROGRAM_HEADER_SIZE : 4);
    if (t.headed) {
        ZK_Bytes_putU32le(out + 4, ZK_MAGIC_PLAIN);
        ZK_Bytes_putU32le(out + 12, t.count);
        ZK_Bytes_putU32le(out + 56, ZK_Package_programHeaderSum(out));
    } else {
        ZK_Bytes_putU32le(out, t.count);
    }
    uint32_t imageAt = (uint32_t)tableSize;
    for (uint32_t i = 0; i < t.count; ++i, entry += entrySize) {
        const BuildProgram& p = t.programs[i];
        uint32_t size = p.image ? p.imageSize : 0;
        std::memcpy(entry, p.entry.board, 4);
        ZK_Bytes_putU32le(entry + 4, size ? imageAt : 0);
        ZK_Bytes_putU32le(entry + 8, size);
        if (t.headed) {
            for (size_t w = 0; w < ZK_PROGRAM_OPTION_COUNT; ++w)
                ZK_Bytes_putU32le(entry + ZK_PROGRAM_OPTION_OFFSET + 4 * w,
                                  p.entry.*ZK_PROGRAM_OPTIONS[w].word);
            std::memcpy(entry + 68, p.entry.reserved, sizeof p.entry.reserved);
        }
        if (size) {
            std::memcpy(out + imageAt, p.image, size);
            if (p.scramble)
                ZK_Data_scramble(size, out + imageAt);
            imageAt += size;
        }
    }
    *outSize = (uint32_t)total;
    return out;
}

uint8_t* provinceBytes(const BuildProvinceRegion& r, bool legacy, bool cipher, uint32_t* outSize) {
    uint32_t recordSize = legacy ? ZK_PROVINCE_LEGACY_RECORD_SIZE : r.recordSize;
    uint64_t headerSize = legacy ? 8 : 16;
    uint64_t total = headerSize + (uint64_t)r.count * ZK_PROVINCE_ENTRY_SIZE;
    for (uint32_t i = 0; i < r.count; ++i)
        total += (uint64_t)r.provinces[i].recordCount * recordSize;
    // The whole region is enciphered in 8-byte blocks: pad so that it round-trips.
    if (cipher)
        total = (total + 7) & ~(uint64_t)7;
    if (total > UINT32_MAX)
        return nullptr;
    uint8_t* out = static_cast<uint8_t*>(ZK_Mem_calloc(1, (size_t)total));
    if (!out)
        return nullptr;
    ZK_Bytes_putU32le(out, r.dateWord);
    if (legacy) {
        ZK_Bytes_putU32le(out + 4, r.count);
    } else {
        ZK_Bytes_putU32le(out + 4, r.headerWord);
        ZK_Bytes_putU32le(out + 8, r.recordSize);
        ZK_Bytes_putU32le(out + 12, r.count);
    }
    uint8_t* entry = out + headerSize;
    uint8_t* block = entry + (size_t)r.count * ZK_PROVINCE_ENTRY_SIZE;
    for (uint32_t i = 0; i < r.count; ++i, entry += ZK_PROVINCE_ENTRY_SIZE) {
        const BuildProvince& p = r.provinces[i];
        std::memcpy(entry, p.name, ZK_PROVINCE_NAME_SIZE);
        ZK_Bytes_putU32le(entry + ZK_PROVINCE_NAME_SIZE, p.recordCount);
        size_t bytes = (size_t)p.recordCount * recordSize;
        if (!bytes)
            continue;
        if (p.records)
            std::memcpy(block, p.records, bytes);
        if (legacy)
            ZK_Data_scramble(bytes, block);
        else if (cipher)
            ZK_Data_encipher(block, bytes);
        block += bytes;
    }
    if (cipher)
        ZK_Data_encipher(out, (size_t)total);
    *outSize = (uint32_t)total;
    return out;
}

} // namespace

void ZK_Builder_init(PackageBuilder* builder, uint32_t form) {
    if (!builder)
        return;
    std::memset(builder, 0, sizeof *builder);
    builder->trailerForm = form;
    if (form == ZK_TRAILER_520) {
        builder->formatVersion = 5;
        builder->magic = ZK_MAGIC_PLAIN;
    }
}

void ZK_Builder_setTitle(PackageBuilder* builder, const char* title) {
    if (!builder)
        return;
    std::memset(builder->title, 0, sizeof builder->title);
    if (title)
        std::memcpy(builder->title, title, strnlen(title, sizeof builder->title - 1));
}

void ZK_Builder_fillPattern(uint8_t* buffer, size_t size, uint32_t seed) {
    if (!buffer)
        return;
    uint32_t x = seed * 2654435761u + 0x6D2B79F5u;
    if (!x)
        x = 1;
    size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        ZK_Bytes_putU32le(buffer + i, x);
    }
    for (; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        buffer[i] = (uint8_t)x;
    }
}

void ZK_Builder_makeTrailer(uint32_t form, const uint8_t* title, const PackageSlot* slots,
                            uint32_t version, uint32_t magic, uint8_t* out) {
    std::memset(out, 0, form);
    uint32_t covered = form - 4;
    ZK_Bytes_putU32le(out, covered);
    size_t titleAt = form == ZK_TRAILER_304 ? 4 : 8;
    size_t slotsAt = form == ZK_TRAILER_304 ? 260 : 264;
    int slotCount = form == ZK_TRAILER_520 ? ZK_SLOT_COUNT : 5;
    if (form == ZK_TRAILER_520) {
        ZK_Bytes_putU32le(out + 4, version);
        ZK_Bytes_putU32le(out + 512, magic);
    }
    std::memcpy(out + titleAt, title, 256);
    for (int slot = 1; slot <= slotCount; ++slot) {
        ZK_Bytes_putU32le(out + slotsAt + 8 * (slot - 1), slots[slot].offset);
        ZK_Bytes_putU32le(out + slotsAt + 8 * (slot - 1) + 4, slots[slot].size);
    }
    ZK_Bytes_putU32le(out + covered, ZK_Bytes_sum(out, covered));
    ZK_Data_unmaskTrailer(out, form);
}

int ZK_Builder_write(const PackageBuilder* b, const char* path, PackageLayout* layout) {
    if (!b || !path ||
        (b->trailerForm != ZK_TRAILER_520 && b->trailerForm != ZK_TRAILER_320 &&
         b->trailerForm != ZK_TRAILER_304))
        return 0;
    PackageLayout placed;
    std::memset(&placed, 0, sizeof placed);
    ByteStream out;
    // A failure half-way leaves any earlier file at `path` as it was.
    if (!ZK_Stream_openFile(&out, path, ZK_STREAM_REPLACE))
        return 0;
    bool cipher = cipherOn(b);
    bool ok = true;
    uint64_t offset = 0;
    for (int slot = 1; ok && slot <= ZK_SLOT_COUNT; ++slot) {
        const BuildRegion& r = b->regions[slot];
        uint8_t* bytes = nullptr;
        uint32_t size = 0;
        if (r.data && r.size) {
            bytes = plainBytes(r, slot, cipher);
            size = r.size;
            ok = bytes != nullptr;
        } else if (slot == ZK_SLOT_PROGRAMS && b->programs.count) {
            bytes = programBytes(b->programs, &size);
            ok = bytes != nullptr;
        } else if (slot == ZK_SLOT_PROVINCE_LEGACY && b->provinceLegacy.present) {
            bytes = provinceBytes(b->provinceLegacy, true, cipher, &size);
            ok = bytes != nullptr;
        } else if (slot == ZK_SLOT_PROVINCE && b->province.present) {
            bytes = provinceBytes(b->province, false, cipher, &size);
            ok = bytes != nullptr;
        }
        if (!ok || !size)
            continue;
        if (offset + size > UINT32_MAX)
            ok = false;
        else
            ok = ZK_Stream_write(&out, size, bytes) == (int64_t)size;
        ZK_Mem_free(bytes);
        placed.slots[slot].offset = (uint32_t)offset;
        placed.slots[slot].size = size;
        offset += size;
    }
    uint8_t trailer[520];
    if (ok) {
        ZK_Builder_makeTrailer(b->trailerForm, b->title, placed.slots, b->formatVersion, b->magic,
                               trailer);
        ok = ZK_Stream_write(&out, b->trailerForm, trailer) == (int64_t)b->trailerForm;
    }
    placed.trailerOffset = offset;
    placed.fileSize = offset + b->trailerForm;
    // Buffered writes fail late (a full disk): the commit flushes and syncs.
    ok = ok && ZK_Stream_commit(&out);
    int why = errno;
    ZK_Stream_release(&out);
    errno = why;
    if (layout)
        *layout = placed;
    return ok ? 1 : 0;
}
