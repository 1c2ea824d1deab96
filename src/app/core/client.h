// Build identity and the table of the maker's clients.
//
// The client is fixed at build time (CMake cache variables KORVANA_CLIENT_TAG
// and KORVANA_TOOL_VERSION); it decides which packages and devices are taken.
#pragma once

#include "support/identity.h"

#include <cstddef>
#include <cstdint>

inline constexpr int ZK_CLIENT_ROWS = 67;
inline constexpr size_t ZK_CLIENT_ROW_SIZE = 100;
inline constexpr size_t ZK_CLIENT_BLOCK_SIZE = 256;

// Row `index` of the client table (zero-terminated), or none outside 0..66.
const char* ZK_Client_row(int index);

// The first row whose whole name starts `name` (compared over the row's
// length, so a longer row listed later never beats a shorter earlier one);
// -1 when none does. `name` is read up to `length` bytes (a client block is
// 256 bytes and need not be terminated).
int LookupClient(const uint8_t* name, size_t length);

// Device-link info callback: 1 when this build may use a device whose client
// block is `clientBlock` (256 bytes), 0 to refuse it. `user` is unused.
int IsDeviceClientAccepted(void* user, const uint8_t* clientBlock);

// True when the package title (first bytes) carries this build's client tag.
bool ZK_Client_titleMatches(const uint8_t* title, size_t length);
