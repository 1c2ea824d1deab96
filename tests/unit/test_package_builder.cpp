// The builder's placement rules and the sample package recipe.
#include "package/keys.h"
#include "package/province.h"
#include "package/sample.h"
#include "test_package_util.h"

using namespace pkgtest;
using testutil::TempDir;

namespace {

TEST(Builder, ConcatenatesRegionsInSlotOrderAndEndsWithTheTrailer) {
    TempDir dir;
    auto boot = pattern(100, 1), voice = pattern(30, 2), gps3 = pattern(64, 3);
    PackageBuilder b;
    ZK_Builder_init(&b, ZK_TRAILER_520);
    setRegion(&b, ZK_SLOT_GPS3, gps3);
    setRegion(&b, ZK_SLOT_VOICE, voice);
    setRegion(&b, ZK_SLOT_BOOT, boot);
    PackageLayout layout;
    std::string path = build(b, dir, "p.dzk", &layout);
    EXPECT_EQ(layout.slots[ZK_SLOT_BOOT].offset, 0u);
    EXPECT_EQ(layout.slots[ZK_SLOT_VOICE].offset, 100u);
    EXPECT_EQ(layout.slots[ZK_SLOT_GPS3].offset, 130u);
    EXPECT_EQ(layout.slots[ZK_SLOT_GPS].size, 0u);
    EXPECT_EQ(layout.trailerOffset, 194u);
    EXPECT_EQ(testutil::readFile(path).size(), layout.fileSize);
    EXPECT_EQ(layout.fileSize, 194u + 520);
}

TEST(Builder, RefusesWhatItCannotWrite) {
    TempDir dir;
    PackageBuilder b;
    ZK_Builder_init(&b, 512);
    EXPECT_EQ(0, ZK_Builder_write(&b, dir.file("p.dzk").c_str(), nullptr));
    ZK_Builder_init(&b, ZK_TRAILER_304);
    EXPECT_EQ(0, ZK_Builder_write(&b, dir.file("no/such/dir/p.dzk").c_str(), nullptr));
    EXPECT_EQ(0, ZK_Builder_write(nullptr, dir.file("p.dzk").c_str(), nullptr));
}

TEST(Builder, TitleIsCutAt255Bytes) {
    PackageBuilder b;
    ZK_Builder_init(&b, ZK_TRAILER_520);
    std::string longTitle(300, 'T');
    ZK_Builder_setTitle(&b, longTitle.c_str());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.title)), std::string(255, 'T'));
    EXPECT_EQ(b.formatVersion, 5u);
    EXPECT_EQ(b.magic, ZK_MAGIC_PLAIN);
}

TEST(Builder, ProvinceRegionsArePaddedForTheCipher) {
    // 16 + 54 header bytes + 2 x 12 record bytes is not a multiple of 8: a
    // ciphered region is padded so that it deciphers back exactly.
    TempDir dir;
    auto records = pattern(24, 1);
    BuildProvince prov[1] = {};
    std::memcpy(prov[0].name, "\xb1\xb1\xbe\xa9", 4);
    prov[0].recordCount = 2;
    prov[0].records = records.data();
    PackageBuilder b;
    ZK_Builder_init(&b, ZK_TRAILER_520);
    b.magic = ZK_MAGIC_CIPHER;
    b.province = BuildProvinceRegion{1, 0, 0, 12, 1, prov};
    PackageLayout layout;
    PackagePtr p = open(build(b, dir, "p.dzk", &layout));
    ASSERT_TRUE(p);
    EXPECT_EQ(layout.slots[ZK_SLOT_PROVINCE].size, 96u);
    ASSERT_EQ(p->province.provinceCount, 1u);
    // 24 record bytes are three whole TEA blocks, so the second decipher round-trips too.
    EXPECT_EQ(std::vector<uint8_t>(p->province.provinces[0].records,
                                   p->province.provinces[0].records + 24),
              records);
}

// ---------------------------------------------------------------- sample

uint32_t round4k(uint64_t x) {
    return (uint32_t)((x + 4095) / 4096 * 4096);
}

class Sample : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        path_ = dir_->file("sample.dzk");
        ASSERT_EQ(1, ZK_Sample_build(path_.c_str()));
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static TempDir* dir_;
    static std::string path_;
};
TempDir* Sample::dir_ = nullptr;
std::string Sample::path_;

TEST_F(Sample, IsDeterministicAndAboutEightMiB) {
    std::string again = dir_->file("again.dzk");
    ASSERT_EQ(1, ZK_Sample_build(again.c_str()));
    auto a = testutil::readFile(path_), b = testutil::readFile(again);
    EXPECT_EQ(a, b);
    EXPECT_GT(a.size(), 7u << 20);
    EXPECT_LT(a.size(), 9u << 20);
}

TEST_F(Sample, CarriesWhatTheTAVOUpdateNeeds) {
    PackagePtr p = open(path_);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->trailerForm, 520u);
    EXPECT_EQ(p->magic, ZK_MAGIC_CIPHER);
    EXPECT_EQ(0, std::memcmp(p->title, "TAVO", 4));
    EXPECT_GT(p->boot.size, 0u);
    EXPECT_GT(p->radarMute.size, 0u);
    EXPECT_GT(p->voice.size, 0u);
    EXPECT_GT(p->voice3.size, 0u);
    EXPECT_GT(p->updateTool.size, 0u);
    EXPECT_GT(p->gps3.size, 0u);
    EXPECT_EQ(p->gps3.date.year, 2024);
    EXPECT_EQ(p->programTableHeaded, 1u);
    ASSERT_EQ(p->programCount, 2u);
    const ProgramEntry& e502 = p->programs[0];
    EXPECT_EQ(0, std::memcmp(e502.board, ZK_SAMPLE_BOARD_502, 4));
    EXPECT_EQ(e502.layout502, 1u);
    EXPECT_EQ(e502.useGps3, 1u);   // the province path needs GPS set 3 ...
    EXPECT_EQ(e502.useVoice3, 1u); // ... and a voice set other than `voice`
    EXPECT_EQ(e502.trackSize % 4096, 0u);
    EXPECT_EQ(e502.loaded, 1u);
    EXPECT_EQ(0, std::memcmp(p->programs[1].board, ZK_SAMPLE_BOARD_LEGACY, 4));
    EXPECT_EQ(p->programs[1].layout502, 0u);
    EXPECT_EQ(p->programs[1].loaded, 1u);

    ASSERT_EQ(p->province.provinceCount, (uint32_t)ZK_PROVINCE_COUNT);
    EXPECT_EQ(p->province.recordSize, ZK_SAMPLE_RECORD_SIZE);
    for (int i = 0; i < ZK_PROVINCE_COUNT; ++i) {
        EXPECT_STREQ(p->province.provinces[i].name, ProvinceTable[i]) << i;
        EXPECT_EQ(p->province.provinces[i].records != nullptr,
                  p->province.provinces[i].recordCount > 0);
    }
}

TEST_F(Sample, NationalSetFitsAnEightMiBDeviceButAllProvincesDoNot) {
    // The 502 layout of the main-setting check: regions packed from 0x21000.
    PackagePtr p = open(path_);
    ASSERT_TRUE(p);
    const ProgramEntry& e = p->programs[0];
    uint64_t before = 0x21000 + round4k(e.serverSize) + round4k(p->voice3.size) +
                      round4k(p->radarMute.size) + round4k(p->updateTool.size) + e.trackSize;
    uint64_t records = 0;
    for (uint32_t i = 0; i < p->province.provinceCount; ++i)
        records += p->province.provinces[i].recordCount;
    uint64_t merged = 16 + records * p->province.recordSize;
    EXPECT_LE(before + round4k(p->gps3.size), 0x800000u);
    EXPECT_GT(before + round4k(merged), 0x800000u);
    // The fixed legacy layout of TQMB: voice, radar mute and GPS fit their fixed places.
    EXPECT_LE(p->voice.size, 0x2DE000u - 0xDE000u);
    EXPECT_LE(p->radarMute.size, 0xDE000u - 0x16000u);
    EXPECT_LE(0x2DE000u + p->gps3.size, 0x800000u);
}

} // namespace
