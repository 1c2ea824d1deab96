// The data transforms that packages and the device share: trailer mask, TEA
// cipher, running-XOR scramble, and Unix seconds to calendar stamps.
//
// All are pure functions of their input (keys from package/keys.h); they work
// in place and keep no state between calls.
#pragma once

#include <cstddef>
#include <cstdint>

// A calendar stamp; all zero means "no stamp".
struct RegionDate {
    uint8_t second;
    uint8_t minute;
    uint8_t hour;
    uint8_t day;   // 1..31
    uint8_t month; // 1..12
    uint16_t year;
};

// XORs byte i with byte i mod 8 of the trailer key. Its own inverse.
void ZK_Data_unmaskTrailer(uint8_t* buffer, size_t length);

// TEA decipher in place, 8-byte big-endian blocks from offset 0. A last partial
// block is deciphered from zero padding and only its bytes inside the buffer
// are written back (so only multiples of 8 round-trip with the encipher).
void ZK_Data_decipher(uint8_t* buffer, size_t length);
// The inverse of ZK_Data_decipher for whole blocks (same partial-block rule).
void ZK_Data_encipher(uint8_t* buffer, size_t length);

// Running-XOR descramble in place over length / 4 whole words, from the seed
// state; 1..3 trailing bytes are left as they are.
void ZK_Data_descramble(size_t length, uint8_t* buffer);
// The byte sum that `data` would have after ZK_Data_descramble, without
// changing it or copying it (the flash-write and app-flag checksums).
uint32_t ZK_Data_descrambledSum(const uint8_t* data, size_t length);
// The inverse of ZK_Data_descramble (same word rule).
void ZK_Data_scramble(size_t length, uint8_t* buffer);

// Converts seconds since 1970-01-01 00:00:00 (no time zone) into *date.
void ZK_Date_fromSeconds(uint32_t seconds, RegionDate* date);
// The inverse for dates from 1970 to 2106; 0 when the date is out of range or
// not a calendar date.
[[nodiscard]] int ZK_Date_toSeconds(const RegionDate* date, uint32_t* seconds);
// "%d-%02d-%02d %02d:%02d:%02d" into buffer (at least 20 bytes), or "" for a zero date.
void ZK_Date_format(const RegionDate* date, char* buffer, size_t capacity);
