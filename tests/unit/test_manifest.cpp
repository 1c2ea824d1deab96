// The builder's manifest parser, without the command line: what it makes of
// a sound manifest, the faults it names, and files it reads beside it.
#include "package/manifest.h"
#include "package/package.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

PackageManifest* parse(const std::string& text, std::string* error, const char* base = nullptr) {
    return ZK_Manifest_parse(text.data(), text.size(), base, error);
}

TEST(Manifest, EveryOptionWordReachesTheBuiltPackage) {
    // Each option word gets its own value, so a swapped table row shows.
    std::string entry = R"("board": "GHW7", "size": 300, "seed": 4)";
    for (size_t i = 0; i < ZK_PROGRAM_OPTION_COUNT; ++i)
        entry += ", \"" + std::string(ZK_PROGRAM_OPTIONS[i].name) + "\": " + std::to_string(i + 1);
    std::string text = R"({"title": "TAVO unit", "regions": {"boot": {"size": 512, "fill": 7}},
                          "programs": {"entries": [{)" +
                       entry + "}]}}";
    std::string error;
    PackageManifest* m = parse(text, &error);
    ASSERT_NE(m, nullptr) << error;
    EXPECT_EQ(ZK_Manifest_noteCount(m), 0u);

    testutil::TempDir dir;
    std::string path = dir.file("m.dzk");
    ASSERT_EQ(ZK_Builder_write(ZK_Manifest_builder(m), path.c_str(), nullptr), 1);
    ZK_Manifest_release(m);
    UpdatePackage* p = ZK_Package_open(path.c_str());
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(p->programCount, 1u);
    EXPECT_EQ(std::memcmp(p->programs[0].board, "GHW7", 4), 0);
    EXPECT_EQ(p->programs[0].size, 300u);
    for (size_t i = 0; i < ZK_PROGRAM_OPTION_COUNT; ++i)
        EXPECT_EQ(p->programs[0].*ZK_PROGRAM_OPTIONS[i].word, i + 1) << ZK_PROGRAM_OPTIONS[i].name;
    EXPECT_EQ(p->boot.size, 512u);
    EXPECT_EQ(p->boot.data[0], 7);
    ZK_Package_close(p);
}

TEST(Manifest, FaultsAreNamedByWhereAndWhat) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"{", "not valid JSON"},
        {"[]", "manifest: must be an object"},
        {R"({"colour": 1})", "manifest: unknown key \"colour\""},
        {R"({"trailer": 400})", "trailer: must be 520, 320 or 304"},
        {R"({"regions": {"nothing": {"size": 1}}})", "regions.nothing: is not a region name"},
        {R"({"programs": {"entries": [{"board": "GHW7", "speed": 1}]}})",
         "programs.entries[0]: unknown key \"speed\""},
        {R"({"programs": {"entries": [{"board": "GHW7", "trackSize": -1}]}})",
         "programs.entries[0].trackSize: must be an unsigned number"},
        {R"({"programs": {"entries": [{"layout502": 1}]}})",
         "programs.entries[0].board: is missing"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(parse(c.text, &error), nullptr) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
    EXPECT_EQ(ZK_Manifest_parse(nullptr, 0, nullptr, nullptr), nullptr);
}

TEST(Manifest, FilesAreReadBesideTheManifestAndNotesKept) {
    testutil::TempDir dir;
    std::vector<uint8_t> voice(100, 0x5A);
    testutil::writeFile(dir.file("voice.bin"), voice);
    std::string error;
    PackageManifest* m = parse(R"({"trailer": 320, "regions": {"voice": {"file": "voice.bin"},
                                   "gps3": {"size": 16}}})",
                               &error, dir.path().c_str());
    ASSERT_NE(m, nullptr) << error;
    const PackageBuilder* b = ZK_Manifest_builder(m);
    ASSERT_EQ(b->regions[ZK_SLOT_VOICE].size, 100u);
    EXPECT_EQ(b->regions[ZK_SLOT_VOICE].data[99], 0x5A);
    ASSERT_EQ(ZK_Manifest_noteCount(m), 1u); // the 320-byte trailer cannot name gps3
    EXPECT_NE(std::string(ZK_Manifest_note(m, 0)).find("regions.gps3"), std::string::npos);
    EXPECT_EQ(ZK_Manifest_note(m, 1), nullptr);
    ZK_Manifest_release(m);

    EXPECT_EQ(
        parse(R"({"regions": {"voice": {"file": "absent.bin"}}})", &error, dir.path().c_str()),
        nullptr);
    EXPECT_EQ(error.rfind("regions.voice.file: cannot read ", 0), 0u) << error;
}

} // namespace
