#include "package/sample.h"

#include "package/builder.h"
#include "package/keys.h"
#include "package/province.h"
#include "support/mem.h"

#include <cstring>

namespace {

// Sizes chosen so that the GHW7 502 layout (data base 0x21000, server 0x80000,
// voice3, radar mute, update tool, track 0x300000) leaves 0x307000 bytes for
// GPS data: the national set (0x300000) fits, all provinces (about 3.4 MB) do not.
constexpr uint32_t kBootSize = 0x6000;
constexpr uint32_t kProgram502Size = 0xE000;
constexpr uint32_t kProgramLegacySize = 0x7000;
constexpr uint32_t kRadarMuteSize = 0x10000;
constexpr uint32_t kVoiceSize = 0x60000;
constexpr uint32_t kVoice3Size = 0x140000;
constexpr uint32_t kUpdateToolSize = 0x8000;
constexpr uint32_t kGps3Size = 0x300000;
constexpr uint32_t kProvinceRecords = 215000;

constexpr uint32_t kDataDate = 1718438400;  // 2024-06-15 08:00:00
constexpr uint32_t kVoiceDate = 1709280000; // 2024-03-01 08:00:00
constexpr uint32_t kRadarDate = 1716199200; // 2024-05-20 10:00:00

// Relative camera density of the provinces, in table order (Taiwan carries none).
constexpr uint16_t kWeights[ZK_PROVINCE_COUNT] = {60, 50, 30, 40,  30, 20, 40, 20, 50, 30, 30, 70,
                                                  20, 5,  7,  15,  8,  60, 80, 40, 80, 40, 40, 30,
                                                  40, 25, 50, 100, 30, 30, 10, 6,  2,  0};

struct Blocks {
    uint8_t* bytes[8] = {};
    ~Blocks() {
        for (uint8_t* b : bytes)
            ZK_Mem_free(b);
    }
};

uint8_t* pattern(Blocks& keep, int index, uint32_t size, uint32_t seed) {
    uint8_t* block = static_cast<uint8_t*>(ZK_Mem_alloc(size));
    if (block)
        ZK_Builder_fillPattern(block, size, seed);
    keep.bytes[index] = block;
    return block;
}

void region(PackageBuilder* b, int slot, const uint8_t* data, uint32_t size, int scramble,
            uint32_t date) {
    b->regions[slot] = BuildRegion{data, size, (uint32_t)scramble, date ? 1u : 0u, date};
}

} // namespace

int ZK_Sample_build(const char* path) {
    Blocks keep;
    uint8_t* boot = pattern(keep, 0, kBootSize, 11);
    uint8_t* prog502 = pattern(keep, 1, kProgram502Size, 12);
    uint8_t* progLegacy = pattern(keep, 2, kProgramLegacySize, 13);
    uint8_t* radar = pattern(keep, 3, kRadarMuteSize, 14);
    uint8_t* voice = pattern(keep, 4, kVoiceSize, 15);
    uint8_t* voice3 = pattern(keep, 5, kVoice3Size, 16);
    uint8_t* tool = pattern(keep, 6, kUpdateToolSize, 17);
    uint8_t* gps3 = pattern(keep, 7, kGps3Size, 18);
    for (uint8_t* block : keep.bytes)
        if (!block)
            return 0;

    PackageBuilder b;
    ZK_Builder_init(&b, ZK_TRAILER_520);
    b.magic = ZK_MAGIC_CIPHER;
    ZK_Builder_setTitle(&b, "TAVO GPS warner update 2024.06 (national + 34 provinces)");
    region(&b, ZK_SLOT_BOOT, boot, kBootSize, 1, 0);
    region(&b, ZK_SLOT_RADAR_MUTE, radar, kRadarMuteSize, 0, kRadarDate);
    region(&b, ZK_SLOT_VOICE, voice, kVoiceSize, 0, kVoiceDate);
    region(&b, ZK_SLOT_VOICE3, voice3, kVoice3Size, 0, kVoiceDate);
    region(&b, ZK_SLOT_UPDATE_TOOL, tool, kUpdateToolSize, 0, 0);
    region(&b, ZK_SLOT_GPS3, gps3, kGps3Size, 0, kDataDate);

    BuildProgram programs[2];
    std::memset(programs, 0, sizeof programs);
    std::memcpy(programs[0].entry.board, ZK_SAMPLE_BOARD_502, 4);
    programs[0].entry.serverSize = 0x80000;
    programs[0].entry.programVersion = 1187;
    programs[0].entry.layout502 = 1;
    programs[0].entry.useVoice3 = 1;
    programs[0].entry.useGps3 = 1;
    programs[0].entry.trackSize = 0x300000;
    programs[0].image = prog502;
    programs[0].imageSize = kProgram502Size;
    programs[0].scramble = 1;
    std::memcpy(programs[1].entry.board, ZK_SAMPLE_BOARD_LEGACY, 4);
    programs[1].entry.programVersion = 1046;
    programs[1].entry.fixedLayout = 1;
    programs[1].entry.useGps3 = 1;
    programs[1].image = progLegacy;
    programs[1].imageSize = kProgramLegacySize;
    programs[1].scramble = 1;
    b.programs = BuildProgramTable{1, 2, programs};

    uint32_t weightSum = 0;
    for (uint16_t w : kWeights)
        weightSum += w;
    BuildProvince provinces[ZK_PROVINCE_COUNT];
    std::memset(provinces, 0, sizeof provinces);
    uint8_t* records = static_cast<uint8_t*>(
        ZK_Mem_alloc((size_t)kProvinceRecords * ZK_SAMPLE_RECORD_SIZE + ZK_SAMPLE_RECORD_SIZE));
    if (!records)
        return 0;
    size_t used = 0;
    for (int i = 0; i < ZK_PROVINCE_COUNT; ++i) {
        BuildProvince& p = provinces[i];
        std::memcpy(p.name, ProvinceTable[i], sizeof ProvinceTable[i]);
        p.recordCount = (uint32_t)((uint64_t)kProvinceRecords * kWeights[i] / weightSum);
        p.records = records + used;
        ZK_Builder_fillPattern(records + used, (size_t)p.recordCount * ZK_SAMPLE_RECORD_SIZE,
                               1000u + (uint32_t)i);
        used += (size_t)p.recordCount * ZK_SAMPLE_RECORD_SIZE;
    }
    b.province =
        BuildProvinceRegion{1, kDataDate, 2, ZK_SAMPLE_RECORD_SIZE, ZK_PROVINCE_COUNT, provinces};
    int ok = ZK_Builder_write(&b, path, nullptr);
    ZK_Mem_free(records);
    return ok;
}
