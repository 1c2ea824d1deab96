// libFuzzer target for the package extraction: any bytes as a zip archive,
// extracted into a growing memory stream.
//
// Seeds: tests/fuzz/corpus/zip, made by tests/fuzz/corpus/make_zip_seeds.py.
// Run with a scratch corpus first so that new inputs do not land in the
// repository:
//   build-fuzz/fuzz_zip -max_total_time=600 /tmp/zip-corpus tests/fuzz/corpus/zip
#include "package/zip.h"
#include "support/log.h"
#include "support/stream.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// The extraction must survive an archive that lies about its sizes; the
// values are only kept alive.
void progress(void* user, uint64_t total, uint64_t done) {
    *static_cast<uint64_t*>(user) += total ^ done;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (ZK_Log_setSink(nullptr, nullptr), true);
    (void)quiet;
    static const std::string path = "/tmp/korvana-fuzz-zip-" + std::to_string(getpid());
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    if (size)
        (void)std::fwrite(data, 1, size, f);
    std::fclose(f);
    ByteStream out;
    if (!ZK_Stream_openMemory(&out, nullptr, 0))
        return 0;
    uint64_t acc = 0;
    (void)ZK_Zip_extractPackage(path.c_str(), progress, &acc, &out);
    ZK_Stream_release(&out);
    std::remove(path.c_str());
    return 0;
}
