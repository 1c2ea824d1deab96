// The fixed tables behind the device settings dialog: carrier APN presets of
// the one brand that offers mobile data, and the radar band labels.
//
// Qt-free: the dialog converts the GBK operator names for display and keeps
// the labels it gets here. Nothing here allocates; every table is static.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int ZK_PRESET_ROWS = 30;
inline constexpr size_t ZK_PRESET_TEXT_SIZE = 100;
// The one brand whose builds carry the preset table (compared as a whole string).
inline constexpr char ZK_PRESET_BRAND[] = "Vexaro";

// One row of the carrier preset table. Texts are zero-terminated GBK within
// their width; user and password may be empty.
struct ApnPreset {
    char operatorName[ZK_PRESET_TEXT_SIZE]; // shown in the carrier list
    char apn[ZK_PRESET_TEXT_SIZE];
    char user[ZK_PRESET_TEXT_SIZE];
    char password[ZK_PRESET_TEXT_SIZE];
    int32_t editable; // nonzero: the user may change APN, user and password
};

// The preset rows for the client brand `clientTag` (callers pass CLIENT_TAG).
// Returns the static table and *count = 30 for "Vexaro"; none and *count = 0
// for any other brand or no tag. The rows are borrowed and never change.
const ApnPreset* ZK_Presets_lookup(const char* clientTag, int32_t* count);

// The carrier row to select for a stored access point name: the last row
// whose APN equals `apn` (read up to `length` bytes or its first zero byte;
// ASCII letters compared case-insensitively), 0 when none does or there are
// no rows. A stored APN need not be terminated, hence the length.
int32_t ZK_Presets_match(const ApnPreset* rows, int32_t count, const char* apn, size_t length);

inline constexpr int ZK_BAND_FIXED_COUNT = 12;
// Most bands a sector's switch bytes (offsets 24 to 45) can hold.
inline constexpr int ZK_BAND_MAX = 22;
inline constexpr size_t ZK_BAND_LABEL_SIZE = 48;
// "(%.03f~%.03f)" of two frequencies in MHz needs at most this (with the zero).
inline constexpr size_t ZK_BAND_RANGE_TEXT_SIZE = 32;

// A row of the fixed band table of sector types 1 and 2; the index is the
// band's switch index (sector offset 11 + index). Frequencies in MHz.
struct RadarBand {
    const char* name;
    int32_t low;
    int32_t high;
};
extern const RadarBand RadarBandTable[ZK_BAND_FIXED_COUNT];

// The band check boxes of one sector, in switch order.
struct BandList {
    int32_t count;        // labels filled, at most ZK_BAND_MAX
    int32_t declared;     // bands the sector's counts add up to (> count when more than fit)
    int32_t switchOffset; // sector offset of band 0's switch byte: 11 (types 1, 2) or 24
    char labels[ZK_BAND_MAX][ZK_BAND_LABEL_SIZE];
};

// Formats "(%.03f~%.03f)" of low / 1000 and high / 1000 into `out` (cleared
// first, always terminated within `size`): 10480, 10720 give (10.480~10.720).
void ZK_Band_rangeText(int32_t low, int32_t high, char* out, size_t size);

// Label of fixed-table row `index`: its name followed by its range text.
// Returns 1, or 0 (and an empty `out`) for an index outside 0..11.
[[nodiscard]] int ZK_Band_fixedLabel(int32_t index, char* out, size_t size);

// Builds the band list of a user-settings sector of `paramType` 1 to 5.
// Types 1 and 2 take the twelve fixed-table labels. Types 3 to 5 take the
// counts at offsets 19..23 (X, Ku, K, Ka, Laser; negative counts as 0) and 46
// (Mtr, 0 or 1, anything else as 0) and the (low, high) uint16 pairs of the
// range table (offset 174, 68 or 115 by type). A sector that declares more
// bands than its switch bytes or its range table hold gets only the bands that
// fit (20 for type 3, 22 otherwise, in a 256-byte sector); nothing is read at
// or past `size`. Returns 1, or 0 (and an empty list) for no sector or
// another type.
[[nodiscard]] int ZK_Band_list(const uint8_t* sector, size_t size, int32_t paramType,
                               BandList* out);
