// The online version check's Qt-free half: the client endpoints, the version
// information file and the newest-version decision.
//
// The window (or the command line) downloads the file named by
// ZK_Version_infoUrl to ZK_Version_tmpPath with CHttpDownload, parses it with
// ParseVersionInfo and shows the status text it leaves. Nothing here is
// locked; a VersionInfo belongs to one thread at a time.
#pragma once

#include "package/transform.h"
#include "support/stream.h"

#include <cstddef>
#include <cstdint>

// Status-line texts of the check.
inline constexpr char ZK_VERSION_TEXT_SEARCHING[] =
    "Searching the database version now,please wait\xE2\x80\xA6";
inline constexpr char ZK_VERSION_TEXT_FAILED[] =
    "Access database failed,please updated by local file!";
inline constexpr char ZK_VERSION_TEXT_ONLINE[] = "Internet vesion:"; // followed by the version
inline constexpr char ZK_VERSION_TEXT_NEWEST[] = "Already the newest version,Updated or Not?";

// Name of the downloaded file in the private temporary directory.
inline constexpr char ZK_VERSION_TMP_NAME[] = "Tmp";
// Entries kept from a list-form file; the rest of a longer file is ignored
// so that a hostile server cannot make the tool allocate without bound.
inline constexpr uint32_t ZK_VERSION_MAX_ENTRIES = 4096;

// One list-form entry: three comma-separated texts, trimmed, terminated.
struct _LuanguageInfo {
    char first[512];
    char second[100];
    char third[512];
};

// What the last version information file said. Zero-initialise before the
// first check (list mode clear, no online version); release with
// ZK_Version_clear.
struct VersionInfo {
    int listMode;            // the last file had the list form
    int32_t onlineVersion;   // YYYYMMDD; -1 after a failed check; <= 0: none known
    char packageUrl[260];    // single form: the package URL
    _LuanguageInfo* entries; // list form: owned array of entryCount entries, or none
    uint32_t entryCount;
    uint32_t entryCapacity;
    char status[128]; // status-line text the parse leaves; empty: leave the line alone
};

// Frees the entries and zeroes the record.
void ZK_Version_clear(VersionInfo* info);

// The version information URL of `clientTag` (read up to `tagLength` bytes)
// with the maker's version server `makerHost` and the client's own server
// `clientHost` (either may be a bare host or "scheme://host[:port]"; none or
// empty: that server is unknown). Fills `url` (cleared first, cut at
// capacity - 1) and returns 1, or returns 0 with an empty `url` when the
// client has no endpoint or its server is unknown.
[[nodiscard]] int ZK_Version_endpointUrl(const char* clientTag, size_t tagLength,
                                         const char* makerHost, const char* clientHost, char* url,
                                         size_t capacity);

// GetVersionInfoUrl without the device test: this build's URL (CLIENT_TAG and
// the hosts configured with the CMake cache variables KORVANA_VERSION_HOST and
// KORVANA_VERSION_HOST_GORVANT). 1 / 0 as above; 0 for "TAVO".
[[nodiscard]] int GetVersionInfoUrl(char* url, size_t capacity);

// The path of "Tmp" in the private temporary directory (1024 bytes). 1 / 0.
[[nodiscard]] int ZK_Version_tmpPath(char* path);

// Reads the version information file at `path` into `info`.
// Single form (first line begins with a digit): line 1 the version, line 2
// the package URL; list form: entries up to the first empty line.
// Returns 1 parsed (the file is then deleted), 0 when the file cannot be
// opened or a single-form line is empty (onlineVersion = -1 then). Sets
// info->status to "Internet vesion:<n>" after a single form, to the failure
// text when it returns 0, and clears it after a list form.
[[nodiscard]] int ParseVersionInfo(VersionInfo* info, const char* path);

// ParseVersionInfo over a stream the caller opened and releases (the file
// is not deleted); none gives 0 with the failure text.
[[nodiscard]] int ZK_Version_parseStream(VersionInfo* info, ByteStream* stream);

// Device value of a GPS data date: year * 10000 + month * 100 + day.
uint32_t ZK_Version_deviceValue(const RegionDate* gpsDate);

// True when the device already has the online version: no local package is
// chosen, the last file had the single form with a positive version, and
// the device value is nonzero and at least that version.
bool IsNewestVersion(const VersionInfo* info, bool localFileChosen, uint32_t deviceValue);
