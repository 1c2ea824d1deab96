// Extraction of an update package from a zip archive.
//
// The first member whose base name has the extension "dzk" (any case) is
// inflated in 1024-byte chunks straight into the caller's stream; the member
// is never held in memory. Runs on the caller's thread, locks nothing.
#pragma once

#include "support/stream.h"

#include <cstdint>

// Progress of one extraction: called once with done = 0 when the member is
// opened (total = its uncompressed size, as the archive states it), then
// after every chunk with the bytes written so far.
typedef void (*ZK_ZipProgress)(void* user, uint64_t total, uint64_t done);

// Extracts the first package member of the archive at `archivePath` into
// `output`, a stream opened for writing by the caller (neither flushed nor
// released here). `progress` may be none.
//
// Returns 1 when a package member was written whole, or when the archive
// holds none (the output then stays empty and the package open that follows
// fails). Returns 0 when the archive cannot be opened or walked, the member
// cannot be opened or inflated, its CRC does not match, a write to `output`
// falls short, or the member would grow beyond ZK_PACKAGE_MAX_FILE_SIZE; the
// output may then hold part of the member and must be discarded.
[[nodiscard]] int ZK_Zip_extractPackage(const char* archivePath, ZK_ZipProgress progress,
                                        void* user, ByteStream* output);
