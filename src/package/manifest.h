// The package builder's input format: a JSON manifest (docs/manifest.md)
// that names the trailer, title, regions, program table and provinces, with
// region contents from files or generated patterns.
#pragma once

#include "package/builder.h"

#include <cstddef>
#include <cstdint>
#include <string>

// A parsed manifest: the builder description and every block it borrows.
struct PackageManifest;

// Parses the manifest `text` (`length` bytes); file names in it are resolved
// against `baseDir` (none: the current directory). Returns the manifest, which
// the caller releases, or none with `*error` set to "WHERE: WHAT" (the JSON
// path of the fault, or "not valid JSON"). Reads the named files; no time-out.
[[nodiscard]] PackageManifest* ZK_Manifest_parse(const char* text, size_t length,
                                                 const char* baseDir, std::string* error);
// The builder description; borrowed, valid until the manifest is released.
const PackageBuilder* ZK_Manifest_builder(const PackageManifest* manifest);
// Remarks on a sound manifest whose package will not read back as written
// (e.g. slots the trailer cannot name). Borrowed texts.
size_t ZK_Manifest_noteCount(const PackageManifest* manifest);
const char* ZK_Manifest_note(const PackageManifest* manifest, size_t index);
// Frees the manifest and its blocks (none is fine).
void ZK_Manifest_release(PackageManifest* manifest);
