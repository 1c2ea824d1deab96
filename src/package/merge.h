// Province database merge: the chosen provinces' camera records as one sorted
// GPS data set (`provinceMerged`).
#pragma once

#include "package/province.h"

#include <cstddef>
#include <cstdint>

struct UpdatePackage;

// Builds `provinceMerged` from the provinces whose `selection` flag (34 entries
// in ProvinceTable order) is nonzero: a 16-byte header (dateWord, headerWord,
// recordSize, record count), then the records in table order, sorted by key.
// The old buffer is freed first. 1 on success (also with nothing chosen or no
// province region: a 16-byte buffer), 0 when the buffer cannot be allocated or
// the region's recordSize is below 8 (no key can be taken).
[[nodiscard]] int ZK_Package_mergeProvinces(UpdatePackage* package, const int32_t* selection);

// The first province entry named like ProvinceTable[index] (ASCII case
// folded, other bytes exact), or -1.
int ZK_Package_findProvince(const UpdatePackage* package, int index);

// Sort key of one record (at least 8 bytes): 10 x (K mod 2^20) of the
// unmasked, rotated and reordered first 8 bytes.
uint32_t ZK_Province_sortKey(const uint8_t* record);

// Sorts `count` records of `recordSize` bytes in place by key with the
// fixed quicksort whose order of equal keys packages and devices rely on.
// No allocation; does nothing for fewer than 2 records or a size below 8
// (the key reads 8 bytes of each record).
void ZK_Province_sortRecords(uint8_t* records, size_t count, size_t recordSize);
