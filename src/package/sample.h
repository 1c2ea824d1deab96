// The built-in sample package for client "TAVO", used by demos, tests and
// benchmarks. Deterministic: every build is byte-for-byte the same.
//
// Contents (520-byte trailer, version 5, ciphered): boot; a headed program
// table for "GHW7" (502 layout, voice set 3, GPS set 3 / provinces) and
// "TQMB" (fixed legacy layout, voice, GPS set 3); radar mute; voice and voice3;
// update tool; the national GPS set gps3; and a province region with all 34
// provinces. On an 8 MiB GHW7 device the national set fits beside the other
// regions, while all provinces together do not.
#pragma once

#include <cstdint>

inline constexpr char ZK_SAMPLE_BOARD_502[] = "GHW7";
inline constexpr char ZK_SAMPLE_BOARD_LEGACY[] = "TQMB";
inline constexpr uint32_t ZK_SAMPLE_RECORD_SIZE = 16;

// Writes the sample to `path`. 1 / 0 (file not writable, out of memory).
[[nodiscard]] int ZK_Sample_build(const char* path);
