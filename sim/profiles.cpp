// Ready-made device images. Every byte a profile puts into the flash is set
// here, with the record offsets named, by the simulator's own encoder.
#include "sim_internal.h"

#include <cstring>

namespace sim {

namespace {

// Information areas by layout.
constexpr uint32_t kMainGroup502 = 0x1E000, kMainGroupLegacy = 0x16000;
constexpr uint32_t kParam502 = 0x19000, kParamLegacy = 0x11000;
constexpr uint32_t kClient502 = 0x1F000, kClientLegacy = 0x18000;
constexpr uint32_t kServerSlot = 256, kTailSlot = 512; // inside the group

// Where the tool looks for the dates when there is no main setting.
constexpr uint32_t kDefaultVoiceAddr = 0xDE000;
constexpr uint32_t kDefaultRadarMuteAddr = 0x16000;
constexpr uint32_t kDefaultGpsAddr = 0x2DE000;

constexpr uint32_t kMagic = 0x12345678u;

// MainSetting, 231 bytes, packed little-endian.
namespace ms {
constexpr size_t kVersion = 0, kBoard = 4, kProgramVersion = 8, kMinToolVersion = 13,
                 kHasUpdateTool = 18, kAltVoice = 19, kUseGps2 = 21, kUseVoice3 = 22, kUseGps3 = 23,
                 kUseVoice4 = 24, kPlainData = 25, kFlashSize = 59, kServerAddr = 63,
                 kServerSize = 67, kUpdateToolAddr = 71, kUpdateToolSize = 75, kVoiceAddr = 79,
                 kVoiceSize = 83, kRadarMuteAddr = 87, kRadarMuteSize = 91, kGpsAddr = 95,
                 kGpsSize = 99, kReservedAddr = 103, kReservedSize = 107, kUsedEnd = 111,
                 kTrackAddr = 115, kTrackSize = 119, kOledAddr = 123, kOledSize = 127,
                 kMagicAt = 227, kSize = 231;
}

// ServerSetting, 178 bytes.
namespace ss {
constexpr size_t kApn = 0, kApnSize = 50, kServer = 50, kServerSize = 20, kPort = 70, kUser = 74,
                 kUserSize = 50, kPassword = 124, kPasswordSize = 50, kMagicAt = 174, kSize = 178;
}

// Parameter sector: offsets inside the 256-byte sector (the record R starts at 4).
namespace ps {
constexpr size_t kSum = 0, kRecord = 4, kSize = 256;
// Forms 3, 4, 5: board and program version at R+0 and R+4.
constexpr size_t kBoard345 = 4, kProgram345 = 8, kFlags345 = 16, kTimeZone345 = 18,
                 kBandCounts = 19, kBandSwitches = 24, kMtrCount = 46, kDayStart345 = 50,
                 kNightStart345 = 51, kRadarType = 52;
constexpr size_t kForm5Summed = 111, kForm5Magic = kRecord + 107, kForm5Ranges = 115;
constexpr size_t kForm4Summed = 64, kForm4Magic = kRecord + 60, kForm4Ranges = 68;
// Forms 1, 2.
constexpr size_t kFlags12 = 8, kTimeZone12 = 10, kBandSwitches12 = 11, kDayStart12 = 24,
                 kNightStart12 = 25;
constexpr size_t kForm2Summed = 72, kBoard2 = kRecord + 24, kProgram2 = kRecord + 28;
} // namespace ps

constexpr uint8_t kFlagShowFrequency = 0x40, kFlagFrequencyAvailable = 0x80;

struct Regions {
    uint32_t reservedAddr, serverSize, voiceSize, radarMuteSize, updateToolSize, oledSize,
        trackSize, gpsSize;
};

struct Stamps {
    uint32_t voiceWord0, voiceWord1, radarMute, gps;
};

class Image {
  public:
    explicit Image(std::vector<uint8_t>& flash) : flash_(flash) {}
    // Writes what fits; a small flash simply loses the pages beyond its end.
    void put(uint32_t address, const uint8_t* data, size_t length) {
        if (address >= flash_.size())
            return;
        size_t n = std::min(length, flash_.size() - address);
        std::memcpy(flash_.data() + address, data, n);
    }
    void put(uint32_t address, const std::vector<uint8_t>& data) {
        put(address, data.data(), data.size());
    }
    uint32_t size() const { return (uint32_t)flash_.size(); }

  private:
    std::vector<uint8_t>& flash_;
};

void putU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = (uint8_t)(v >> (8 * i));
}

void putU16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = (uint8_t)v;
    b[at + 1] = (uint8_t)(v >> 8);
}

void putText(std::vector<uint8_t>& b, size_t at, size_t width, const char* text) {
    size_t n = std::min(std::strlen(text), width - 1);
    std::memcpy(b.data() + at, text, n);
}

uint32_t sum(const std::vector<uint8_t>& b, size_t from, size_t count) {
    uint32_t s = 0;
    for (size_t i = from; i < from + count; ++i)
        s += b[i];
    return s;
}

// Seconds since 1970 of a UTC date and time.
constexpr uint32_t stamp(int year, int month, int day, int hour, int minute) {
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    uint32_t days = 0;
    for (int y = 1970; y < year; ++y)
        days += leap(y) ? 366 : 365;
    for (int m = 1; m < month; ++m)
        days += (uint32_t)kDays[m - 1] + (m == 2 && leap(year) ? 1 : 0);
    days += (uint32_t)(day - 1);
    return days * 86400u + (uint32_t)hour * 3600u + (uint32_t)minute * 60u;
}

struct Device {
    const char* board;
    uint32_t programVersion;
    uint32_t settingVersion;
    bool layout502;
    uint8_t useVoice4, useGps3, plainData;
    Regions regions;
    Stamps stamps;
    const char* client;
};

struct Placed {
    uint32_t server, voice, radarMute, updateTool, oled, track, gps, usedEnd;
};

// The regions one after the other from the data area base, as the update
// tool lays them out.
Placed place(const Regions& r) {
    Placed p;
    p.server = r.reservedAddr;
    p.voice = p.server + r.serverSize;
    p.radarMute = p.voice + r.voiceSize;
    p.updateTool = p.radarMute + r.radarMuteSize;
    p.oled = p.updateTool + r.updateToolSize;
    p.track = p.oled + r.oledSize;
    p.gps = p.track + r.trackSize;
    p.usedEnd = p.gps + r.gpsSize;
    return p;
}

std::vector<uint8_t> mainSetting(const Device& d, const Placed& p, uint32_t flashSize) {
    std::vector<uint8_t> m(ms::kSize, 0);
    const Regions& r = d.regions;
    putU32(m, ms::kVersion, d.settingVersion);
    std::memcpy(m.data() + ms::kBoard, d.board, 4);
    putU32(m, ms::kProgramVersion, d.programVersion);
    putU32(m, ms::kMinToolVersion, 0);
    m[ms::kHasUpdateTool] = r.updateToolSize ? 1 : 0;
    m[ms::kAltVoice] = 0;
    m[ms::kUseGps2] = 0;
    m[ms::kUseVoice3] = 0;
    m[ms::kUseGps3] = d.useGps3;
    m[ms::kUseVoice4] = d.useVoice4;
    m[ms::kPlainData] = d.plainData;
    putU32(m, ms::kFlashSize, flashSize);
    putU32(m, ms::kServerAddr, p.server);
    putU32(m, ms::kServerSize, r.serverSize);
    putU32(m, ms::kUpdateToolAddr, p.updateTool);
    putU32(m, ms::kUpdateToolSize, r.updateToolSize);
    putU32(m, ms::kVoiceAddr, p.voice);
    putU32(m, ms::kVoiceSize, r.voiceSize);
    putU32(m, ms::kRadarMuteAddr, p.radarMute);
    putU32(m, ms::kRadarMuteSize, r.radarMuteSize);
    putU32(m, ms::kGpsAddr, p.gps);
    putU32(m, ms::kGpsSize, r.gpsSize);
    putU32(m, ms::kReservedAddr, r.reservedAddr);
    putU32(m, ms::kReservedSize, 0);
    putU32(m, ms::kUsedEnd, p.usedEnd);
    putU32(m, ms::kTrackAddr, p.track);
    putU32(m, ms::kTrackSize, r.trackSize);
    putU32(m, ms::kOledAddr, p.oled);
    putU32(m, ms::kOledSize, r.oledSize);
    putU32(m, ms::kMagicAt, kMagic);
    return m;
}

std::vector<uint8_t> serverSetting(const char* apn, const char* server, uint32_t port,
                                   const char* user, const char* password) {
    std::vector<uint8_t> s(ss::kSize, 0);
    putText(s, ss::kApn, ss::kApnSize, apn);
    putText(s, ss::kServer, ss::kServerSize, server);
    putU32(s, ss::kPort, port);
    putText(s, ss::kUser, ss::kUserSize, user);
    putText(s, ss::kPassword, ss::kPasswordSize, password);
    putU32(s, ss::kMagicAt, kMagic);
    return s;
}

// The 768-byte group: each record after its byte sum; the rest stays erased.
std::vector<uint8_t> mainGroup(const std::vector<uint8_t>& main,
                               const std::vector<uint8_t>& server) {
    std::vector<uint8_t> g(768, 0xFF);
    putU32(g, 0, sum(main, 0, main.size()));
    std::copy(main.begin(), main.end(), g.begin() + 4);
    putU32(g, kServerSlot, sum(server, 0, server.size()));
    std::copy(server.begin(), server.end(), g.begin() + kServerSlot + 4);
    // Third slot: bytes the tool keeps and writes back unchanged.
    for (size_t i = 0; i < 256; ++i)
        g[kTailSlot + i] = (uint8_t)(i ^ 0x5A);
    return g;
}

// Radar bands of the form 3-5 sectors: X, Ku, K, three Ka, laser.
void putBands(std::vector<uint8_t>& s, size_t rangesAt) {
    static const int8_t kCounts[5] = {1, 1, 1, 3, 1};
    static const uint16_t kRanges[7][2] = {{10475, 10575}, {13400, 13500}, {24050, 24250},
                                           {33300, 33900}, {34200, 34900}, {35300, 35800},
                                           {0, 0}};
    for (int i = 0; i < 5; ++i)
        s[ps::kBandCounts + i] = (uint8_t)kCounts[i];
    for (int i = 0; i < 7; ++i) {
        s[ps::kBandSwitches + i] = 1;
        putU16(s, rangesAt + 4 * i, kRanges[i][0]);
        putU16(s, rangesAt + 4 * i + 2, kRanges[i][1]);
    }
    s[ps::kMtrCount] = 0;
}

std::vector<uint8_t> paramForm5(const char* board, uint32_t programVersion) {
    std::vector<uint8_t> s(ps::kSize, 0);
    std::memcpy(s.data() + ps::kBoard345, board, 4);
    putU32(s, ps::kProgram345, programVersion);
    s[ps::kFlags345] = kFlagShowFrequency | kFlagFrequencyAvailable;
    s[ps::kTimeZone345] = 8; // signed 5-bit value in bits 0-4
    putBands(s, ps::kForm5Ranges);
    s[ps::kDayStart345] = 7;
    s[ps::kNightStart345] = 19;
    s[ps::kRadarType] = 1;
    putU32(s, ps::kForm5Magic, kMagic);
    putU32(s, ps::kSum, sum(s, ps::kRecord, ps::kForm5Summed));
    return s;
}

std::vector<uint8_t> paramForm4(const char* board, uint32_t programVersion) {
    std::vector<uint8_t> s(ps::kSize, 0);
    std::memcpy(s.data() + ps::kBoard345, board, 4);
    putU32(s, ps::kProgram345, programVersion);
    s[ps::kFlags345] = kFlagShowFrequency | kFlagFrequencyAvailable;
    s[ps::kTimeZone345] = 8;
    putBands(s, ps::kForm4Ranges);
    s[ps::kDayStart345] = 6;
    s[ps::kNightStart345] = 18;
    s[ps::kRadarType] = 2;
    putU32(s, ps::kForm4Magic, kMagic);
    putU32(s, ps::kSum, sum(s, ps::kRecord, ps::kForm4Summed));
    return s;
}

std::vector<uint8_t> paramForm2(const char* board, uint32_t programVersion) {
    std::vector<uint8_t> s(ps::kSize, 0);
    s[ps::kFlags12] = kFlagShowFrequency;
    s[ps::kTimeZone12] = 8;
    for (int i = 0; i < 12; ++i)
        s[ps::kBandSwitches12 + i] = i < 9 ? 1 : 0;
    s[ps::kDayStart12] = 6;
    s[ps::kNightStart12] = 18;
    std::memcpy(s.data() + ps::kBoard2, board, 4);
    putU32(s, ps::kProgram2, programVersion);
    putU32(s, ps::kSum, sum(s, ps::kRecord, ps::kForm2Summed));
    return s;
}

// The client block as the update tool writes it: the package title, 256 bytes.
std::vector<uint8_t> clientBlock(const char* text) {
    std::vector<uint8_t> c(256, 0);
    putText(c, 0, c.size(), text);
    return c;
}

// First page of a data region: its stamp words, the rest erased.
std::vector<uint8_t> regionPage(uint32_t word0, uint32_t word1) {
    std::vector<uint8_t> p(kPageSize, 0xFF);
    putU32(p, 0, word0);
    putU32(p, 4, word1);
    return p;
}

void buildNew(Image& image, const Device& d, int paramForm) {
    Placed p = place(d.regions);
    std::vector<uint8_t> main = mainSetting(d, p, image.size());
    std::vector<uint8_t> server =
        d.layout502 ? serverSetting("cmnet", "gps.tavo.example", 8800, "", "")
                    : serverSetting("3gnet", "gps.tavo.example", 9000, "guest", "guest");
    image.put(d.layout502 ? kMainGroup502 : kMainGroupLegacy, mainGroup(main, server));
    std::vector<uint8_t> param = paramForm == 5   ? paramForm5(d.board, d.programVersion)
                                 : paramForm == 4 ? paramForm4(d.board, d.programVersion)
                                                  : paramForm2(d.board, d.programVersion);
    image.put(d.layout502 ? kParam502 : kParamLegacy, param);
    image.put(d.layout502 ? kClient502 : kClientLegacy, clientBlock(d.client));
    image.put(p.voice, regionPage(d.stamps.voiceWord0, d.stamps.voiceWord1));
    image.put(p.radarMute, regionPage(d.stamps.radarMute, 0));
    image.put(p.gps, regionPage(d.stamps.gps, 0));
}

// GHW7, 502 layout: data area from 0x21000; voice dated by word 0 (useVoice4).
const Device kGhw7 = {
    .board = "GHW7",
    .programVersion = 1203,
    .settingVersion = 2,
    .layout502 = true,
    .useVoice4 = 1,
    .useGps3 = 1,
    .plainData = 0,
    .regions = {.reservedAddr = 0x21000,
                .serverSize = 0x10000,
                .voiceSize = 0x1A0000,
                .radarMuteSize = 0x8000,
                .updateToolSize = 0x20000,
                .oledSize = 0,
                .trackSize = 0x40000,
                .gpsSize = 0x400000},
    .stamps = {.voiceWord0 = stamp(2024, 3, 15, 8, 30),
               .voiceWord1 = stamp(2023, 11, 2, 8, 30),
               .radarMute = stamp(2024, 1, 10, 8, 30),
               .gps = stamp(2024, 5, 20, 8, 30)},
    .client = "TAVO GPS Warner GHW7",
};

// TQMB, legacy layout: data area from 0x19000; voice dated by word 1.
const Device kTqmb = {
    .board = "TQMB",
    .programVersion = 1107,
    .settingVersion = 1,
    .layout502 = false,
    .useVoice4 = 0,
    .useGps3 = 0,
    .plainData = 1,
    .regions = {.reservedAddr = 0x19000,
                .serverSize = 0x8000,
                .voiceSize = 0x180000,
                .radarMuteSize = 0x8000,
                .updateToolSize = 0,
                .oledSize = 0,
                .trackSize = 0x20000,
                .gpsSize = 0x300000},
    .stamps = {.voiceWord0 = stamp(2023, 12, 1, 8, 30),
               .voiceWord1 = stamp(2024, 2, 28, 8, 30),
               .radarMute = stamp(2023, 10, 5, 8, 30),
               .gps = stamp(2024, 4, 18, 8, 30)},
    .client = "TAVO GPS Warner TQMB",
};

// No main setting anywhere: the board lives only in a form 4 parameter
// record, the dates at the default places (voice by word 1).
void buildNoMainSetting(Image& image) {
    image.put(kParamLegacy, paramForm4("TQMB", 1005));
    image.put(kClientLegacy, clientBlock("TAVO GPS Warner TQMB"));
    image.put(kDefaultVoiceAddr, regionPage(stamp(2023, 6, 30, 8, 30), stamp(2023, 9, 9, 8, 30)));
    image.put(kDefaultRadarMuteAddr, regionPage(stamp(2023, 8, 8, 8, 30), 0));
    image.put(kDefaultGpsAddr, regionPage(stamp(2023, 7, 7, 8, 30), 0));
}

} // namespace

std::vector<std::string> profileNames() {
    return {"new-502", "new-legacy", "no-main-setting", "refused-client", "blank"};
}

bool buildProfile(const std::string& name, std::vector<uint8_t>& flash) {
    Image image(flash);
    if (name == "blank")
        return true;
    if (name == "new-502") {
        buildNew(image, kGhw7, 5);
        return true;
    }
    if (name == "new-legacy") {
        buildNew(image, kTqmb, 2);
        return true;
    }
    if (name == "no-main-setting") {
        buildNoMainSetting(image);
        return true;
    }
    if (name == "refused-client") {
        // A listed client other than this build's and its accepted partners.
        Device d = kGhw7;
        d.client = "Kelvoran";
        buildNew(image, d, 5);
        return true;
    }
    return false;
}

} // namespace sim
