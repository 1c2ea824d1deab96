// libFuzzer target for the version information file: any bytes, parsed from
// a memory stream over an exact-size copy.
//
// Seeds: tests/fuzz/corpus/version (small text files). Run with a scratch
// corpus first so that new inputs do not land in the repository:
//   build-fuzz/fuzz_version -max_total_time=600 /tmp/ver-corpus tests/fuzz/corpus/version
#include "net/version.h"
#include "support/log.h"
#include "support/stream.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (ZK_Log_setSink(nullptr, nullptr), true);
    (void)quiet;
    // An exact-size heap copy, so that a read one past the end is caught.
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (!copy)
        return 0;
    if (size)
        std::memcpy(copy, data, size);
    ByteStream stream;
    if (ZK_Stream_openMemory(&stream, copy, size)) {
        VersionInfo info{};
        if (ZK_Version_parseStream(&info, &stream)) {
            // Every stored text must be terminated within its slot.
            volatile size_t sink = strnlen(info.packageUrl, sizeof info.packageUrl);
            for (uint32_t i = 0; i < info.entryCount; ++i) {
                const _LuanguageInfo& e = info.entries[i];
                if (strnlen(e.first, sizeof e.first) == sizeof e.first ||
                    strnlen(e.second, sizeof e.second) == sizeof e.second ||
                    strnlen(e.third, sizeof e.third) == sizeof e.third)
                    std::abort();
                sink = sink + 1;
            }
            (void)sink;
        }
        ZK_Version_clear(&info);
        ZK_Stream_release(&stream);
    }
    std::free(copy);
    return 0;
}
