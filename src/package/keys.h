// The fixed values that packages, this tool and the device firmware share.
// They are defined here and nowhere else; the simulator uses the same ones.
#pragma once

#include <cstdint>

// Trailer mask: the eight ASCII bytes "QXRPLANE".
inline constexpr char ZK_TRAILER_KEY[8] = {'Q', 'X', 'R', 'P', 'L', 'A', 'N', 'E'};

// 128-bit TEA key of the package cipher (k0..k3).
inline constexpr uint32_t ZK_PACKAGE_TEA_KEY[4] = {0x4B6F7276u, 0x616E6121u, 0x5A4B2D55u,
                                                   0x70645F31u};

// Starting key of the running-XOR descramble.
inline constexpr uint32_t ZK_DESCRAMBLE_SEED = 0x5AC3E19Bu;

// Magic words of the trailer and the device records.
inline constexpr uint32_t ZK_MAGIC_PLAIN = 0x12345678u;
inline constexpr uint32_t ZK_MAGIC_CIPHER = 0x12345679u;

// Mask over the first 8 bytes of a province record, removed only to compute
// the record's sort key (shared with the package producer).
inline constexpr uint8_t ZK_PROVINCE_RECORD_MASK[8] = {0x3C, 0xA5, 0x71, 0x0E,
                                                       0xD2, 0x5B, 0x96, 0xE8};
