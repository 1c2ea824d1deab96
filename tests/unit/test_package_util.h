// Helpers shared by the package tests: build into a temp dir, reopen, patch.
#pragma once

#include "package/builder.h"
#include "package/package.h"
#include "support/mem.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pkgtest {

struct PackageCloser {
    void operator()(UpdatePackage* p) const { ZK_Package_close(p); }
};
using PackagePtr = std::unique_ptr<UpdatePackage, PackageCloser>;

inline PackagePtr open(const std::string& path) {
    return PackagePtr(ZK_Package_open(path.c_str()));
}

inline std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> v(size);
    ZK_Builder_fillPattern(v.data(), size, seed);
    return v;
}

inline std::string build(const PackageBuilder& b, const testutil::TempDir& dir,
                         const std::string& name, PackageLayout* layout = nullptr) {
    std::string path = dir.file(name);
    EXPECT_EQ(1, ZK_Builder_write(&b, path.c_str(), layout));
    return path;
}

inline void setRegion(PackageBuilder* b, int slot, const std::vector<uint8_t>& data,
                      uint32_t scramble = 0) {
    b->regions[slot] = BuildRegion{data.data(), (uint32_t)data.size(), scramble, 0, 0};
}

inline std::vector<uint8_t> regionBytes(const PackageRegion& r) {
    return std::vector<uint8_t>(r.data, r.data + r.size);
}

// Unmasks the trailer of `form` at the end of the file, lets `edit` change it,
// recomputes the checksum (unless `reseal` is false) and masks it again.
inline void patchTrailer(const std::string& path, uint32_t form,
                         const std::function<void(uint8_t*)>& edit, bool reseal = true) {
    std::vector<uint8_t> file = testutil::readFile(path);
    ASSERT_GE(file.size(), form);
    uint8_t* t = file.data() + file.size() - form;
    ZK_Data_unmaskTrailer(t, form);
    edit(t);
    if (reseal)
        ZK_Bytes_putU32le(t + form - 4, ZK_Bytes_sum(t, form - 4));
    ZK_Data_unmaskTrailer(t, form);
    testutil::writeFile(path, file);
}

inline void patchBytes(const std::string& path, size_t offset, const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> file = testutil::readFile(path);
    ASSERT_LE(offset + bytes.size(), file.size());
    std::memcpy(file.data() + offset, bytes.data(), bytes.size());
    testutil::writeFile(path, file);
}

inline void patchWord(const std::string& path, size_t offset, uint32_t value) {
    uint8_t b[4];
    ZK_Bytes_putU32le(b, value);
    patchBytes(path, offset, std::vector<uint8_t>(b, b + 4));
}

// A file of `body` bytes followed by a trailer naming `slots` (index = slot).
inline std::string forgedFile(const testutil::TempDir& dir, const std::string& name, uint32_t form,
                              const PackageSlot* slots, size_t body, uint32_t version = 5,
                              uint32_t magic = 0x12345678u) {
    uint8_t title[256] = {'T', 'A', 'V', 'O'};
    std::vector<uint8_t> file(body + form);
    ZK_Builder_makeTrailer(form, title, slots, version, magic, file.data() + body);
    std::string path = dir.file(name);
    testutil::writeFile(path, file);
    return path;
}

} // namespace pkgtest
