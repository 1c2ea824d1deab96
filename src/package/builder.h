// The package builder: the inverse of the reader, for tests, samples and the
// command line.
//
// The caller describes every region as the reader will hold it (after the
// cipher; scrambled regions given plain with `scramble` set), and the builder
// places the date words, scrambles, enciphers, concatenates the regions in
// slot order from offset 0 and appends the masked trailer. All input blocks
// are borrowed for the call. To build a damaged package, build a sound one and
// patch its bytes (PackageLayout tells where each region went).
#pragma once

#include "package/package.h"

#include <cstddef>
#include <cstdint>

// One plain region (or, for slots 2, 8 and 18, raw content used in place of
// the table the builder would make).
struct BuildRegion {
    const uint8_t* data; // borrowed; none = slot empty
    uint32_t size;
    uint32_t scramble;    // store the running-XOR scramble of the content
    uint32_t hasDate;     // store dateSeconds where the reader takes this slot's date
    uint32_t dateSeconds; // (into the content before the scramble; too short a region gets none)
};

struct BuildProgram {
    ProgramEntry entry; // board and every option word as written; offset/size/image/loaded ignored
    const uint8_t* image; // borrowed
    uint32_t imageSize;
    uint32_t scramble; // store the image scrambled (the flash write descrambles program images)
};

struct BuildProgramTable {
    uint32_t headed; // 1: 60-byte header and 220-byte entries; 0: count word and 16-byte entries
    uint32_t count;  // 0 = no program table region
    const BuildProgram* programs;
};

struct BuildProvince {
    char name[50]; // GBK
    uint32_t recordCount;
    const uint8_t* records; // recordCount * recordSize bytes, as the reader presents them
};

struct BuildProvinceRegion {
    uint32_t present;
    uint32_t dateWord;
    uint32_t headerWord; // slot 18 only
    uint32_t recordSize; // slot 18 only (slot 8 records are 12 bytes)
    uint32_t count;
    const BuildProvince* provinces;
};

struct PackageBuilder {
    uint32_t trailerForm;   // ZK_TRAILER_520, _320 or _304
    uint32_t formatVersion; // 520 form only
    uint32_t magic;         // 520 form only; ZK_MAGIC_CIPHER enciphers the cipher slots
    uint8_t title[256];
    BuildRegion regions[ZK_SLOT_COUNT + 1]; // by slot number
    BuildProgramTable programs;             // slot 2 unless regions[2] is given
    BuildProvinceRegion provinceLegacy;     // slot 8 unless regions[8] is given
    BuildProvinceRegion province;           // slot 18 unless regions[18] is given
};

// Where the builder put things. Slots beyond 5 of the older trailer forms are
// still written into the file (so "data the trailer cannot name" can be
// tested), but the trailer carries only slots 1-5.
struct PackageLayout {
    PackageSlot slots[ZK_SLOT_COUNT + 1];
    uint64_t trailerOffset;
    uint64_t fileSize;
};

// A zeroed builder for `form`: version 5 and plain magic for the 520 form.
void ZK_Builder_init(PackageBuilder* builder, uint32_t form);
// Copies `title` (at most 255 bytes) into the title.
void ZK_Builder_setTitle(PackageBuilder* builder, const char* title);

// Writes the package to `path` (replacing it). 1 on success, 0 when the
// builder is unusable (bad form, more than 4 GiB) or the file cannot be written;
// `layout` (optional) receives the placement.
[[nodiscard]] int ZK_Builder_write(const PackageBuilder* builder, const char* path,
                                   PackageLayout* layout);

// Fills `size` bytes with a deterministic pattern of `seed` (xorshift stream).
void ZK_Builder_fillPattern(uint8_t* buffer, size_t size, uint32_t seed);

// The masked trailer of `form` for the given title, slots (index = slot
// number; the older forms take 1-5), version and magic. `out` holds `form` bytes.
void ZK_Builder_makeTrailer(uint32_t form, const uint8_t* title, const PackageSlot* slots,
                            uint32_t version, uint32_t magic, uint8_t* out);
