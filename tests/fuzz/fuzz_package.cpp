// libFuzzer target for the package reader: any bytes, opened from memory.
//
// Seeds: tests/fuzz/corpus/package (made by `korvana-cli package build` from
// the manifests in its recipes/ folder). Run with a scratch corpus first so
// that new inputs do not land in the repository:
//   build-fuzz/fuzz_package -max_total_time=600 /tmp/pkg-corpus tests/fuzz/corpus/package
#include "package/package.h"
#include "support/log.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// Touches the last byte of every block the package claims, so that a size
// that does not match its allocation shows up under AddressSanitizer.
uint32_t touch(const uint8_t* data, uint64_t size) {
    return data && size ? data[size - 1] : 0;
}

uint32_t walk(const UpdatePackage* p) {
    uint32_t acc = 0;
    for (int slot = 1; slot <= ZK_SLOT_COUNT; ++slot)
        if (const PackageRegion* r = ZK_Package_region(p, slot))
            acc += touch(r->data, r->size);
    for (uint32_t i = 0; i < p->programCount; ++i)
        acc += touch(p->programs[i].image, p->programs[i].loaded ? p->programs[i].size : 0);
    for (const ProvinceRegion* r : {&p->provinceLegacy, &p->province}) {
        acc += touch(r->data, r->size);
        for (uint32_t i = 0; r->provinces && i < r->provinceCount; ++i)
            acc += touch(r->provinces[i].records,
                         (uint64_t)r->provinces[i].recordCount * r->recordSize);
    }
    return acc;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (ZK_Log_setSink(nullptr, nullptr), true);
    (void)quiet;
    // An exact-size heap copy, so that a read one past the end is caught.
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (!copy)
        return 0;
    if (size)
        std::memcpy(copy, data, size);
    UpdatePackage* p = ZK_Package_openMemory(copy, size);
    if (p) {
        volatile uint32_t sink = walk(p);
        (void)sink;
        ZK_Package_close(p);
    }
    std::free(copy);
    return 0;
}
