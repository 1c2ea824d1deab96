#include "dialogs/presets.h"

#include "support/mem.h"
#include "support/str.h"

#include <cstring>

namespace {

// Row order is fixed: the carrier list index is the row index. Operator names
// are GBK; "\xa8\xa2" is a-acute and "\xa8\xae" o-acute (GBK pinyin letters).
// APN, user and password are the operators' published mobile-data settings.
const ApnPreset kPresets[ZK_PRESET_ROWS] = {
    {"Movistar", "telefonica.es", "telefonica", "telefonica", 1},
    {"Vodafone", "airtelwap.es", "wap@wap", "wap125", 1},
    {"LOWI", "lowi.private.omv.es", "", "", 1},
    {"Orange/Amena", "orangeworld", "orange", "orange", 1},
    // Guess: listed by no APN database; taken from the MVNO host it most likely uses.
    {"Eticom", "internettph", "", "", 1},
    {"Yoigo", "internet", "", "", 1},
    {"Simyo", "orangeworld", "", "", 1},
    {"Jazztel", "jazzinternet", "", "", 1},
    // Guess: listed nowhere; the generic APN of the network it most likely uses.
    {"Jetnet", "internet", "", "", 1},
    {"M\xa8\xa2smovil", "internetmas", "", "", 1},
    // Guess: listed by no APN database; its host network's generic APN.
    {"Parlem", "internet", "", "", 1},
    // No APN of its own is published; the older brand's value.
    {"Happy M\xa8\xaevil nuevo", "internettph", "", "", 1},
    {"Happy M\xa8\xaevil", "internettph", "", "", 1},
    {"Pepephone", "gprsmov.pepephone.com", "", "", 1},
    // Guess: listed nowhere (the operator has closed); generic APN.
    {"Oceans", "internet", "", "", 1},
    {"Euskaltel", "internet.euskaltel.mobi", "CLIENTE", "EUSKALTEL", 1},
    {"RACC Tel", "internet.racc.net", "CLIENTERACC", "RACC", 0},
    {"Telecable", "internet.telecable.es", "telecable", "telecable", 1},
    {"Ono", "internet.ono.com", "", "", 1},
    {"R", "internet.mundo-r.com", "", "", 1},
    {"Carrefour M\xa8\xaevil", "CARREFOURINTERNET", "", "", 1},
    {"Eroski", "gprs.eroskimovil.es", "wap@wap", "wap125", 1},
    {"Tuenti M\xa8\xaevil", "tuenti.com", "tuenti", "tuenti", 1},
    {"Lebara", "gprsmov.lebaramobile.es", "", "", 1},
    {"Llamaya", "moreinternet", "", "", 1},
    {"LycaMobile", "data.lycamobile.es", "lmes", "plus", 1},
    {"DigiMobil", "internet.digimobil.es", "digi", "digi", 1},
    {"YouMobile", "youinternet", "", "", 1},
    {"Hits Mobile", "tel.hitsmobile.es", "", "", 1},
    {"Others", "", "", "", 1},
};

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

// Sector types 3 to 5: where the range table starts.
int32_t rangeTableOffset(int32_t paramType) {
    switch (paramType) {
    case 3:
        return 174;
    case 4:
        return 68;
    case 5:
        return 115;
    default:
        return -1;
    }
}

constexpr size_t kCountsOffset = 19; // X, Ku, K, Ka, Laser
constexpr size_t kMtrOffset = 46;
constexpr int32_t kSwitchOffsetFixed = 11;
constexpr int32_t kSwitchOffsetDescribed = 24;
constexpr int kGroups = 6;
constexpr const char* kGroupWords[kGroups] = {"X", "Ku", "K", "Ka", "Laser", "Mtr"};

// Signed byte at `offset`, 0 when outside the sector.
int32_t sectorInt8(const uint8_t* sector, size_t size, size_t offset) {
    if (!ZK_Bytes_inRange(size, offset, 1))
        return 0;
    return (int8_t)sector[offset];
}

} // namespace

const RadarBand RadarBandTable[ZK_BAND_FIXED_COUNT] = {
    {"X Band", 10480, 10720},   {"Ku Band", 13350, 13540},  {"MTR Band", 22700, 23660},
    {"K Band", 23660, 24060},   {"K3 Band", 24060, 24410},  {"K4 Band", 24410, 24900},
    {"KA1 Band", 33700, 34200}, {"KA2 Band", 34200, 34600}, {"KA3 Band", 34600, 35450},
    {"KA4 Band", 35450, 35950}, {"KA5 Band", 35950, 36300}, {"Laser Band", 0, 0},
};

const ApnPreset* ZK_Presets_lookup(const char* clientTag, int32_t* count) {
    const bool inForce = clientTag && std::strcmp(clientTag, ZK_PRESET_BRAND) == 0;
    if (count)
        *count = inForce ? ZK_PRESET_ROWS : 0;
    return inForce ? kPresets : nullptr;
}

int32_t ZK_Presets_match(const ApnPreset* rows, int32_t count, const char* apn, size_t length) {
    if (!rows || !apn)
        return 0;
    const size_t apnLength = strnlen(apn, length);
    int32_t found = 0;
    for (int32_t row = 0; row < count; ++row) {
        const char* candidate = rows[row].apn;
        if (strnlen(candidate, ZK_PRESET_TEXT_SIZE) != apnLength)
            continue;
        size_t i = 0;
        while (i < apnLength && asciiLower(candidate[i]) == asciiLower(apn[i]))
            ++i;
        if (i == apnLength)
            found = row;
    }
    return found;
}

void ZK_Band_rangeText(int32_t low, int32_t high, char* out, size_t size) {
    if (!out || size == 0)
        return;
    ZK_Str_format(out, size, "(%.03f~%.03f)", low / 1000.0, high / 1000.0);
}

int ZK_Band_fixedLabel(int32_t index, char* out, size_t size) {
    if (!out || size == 0)
        return 0;
    out[0] = '\0';
    if (index < 0 || index >= ZK_BAND_FIXED_COUNT)
        return 0;
    const RadarBand& band = RadarBandTable[index];
    char range[ZK_BAND_RANGE_TEXT_SIZE];
    ZK_Band_rangeText(band.low, band.high, range, sizeof range);
    ZK_Str_format(out, size, "%s%s", band.name, range);
    return 1;
}

int ZK_Band_list(const uint8_t* sector, size_t size, int32_t paramType, BandList* out) {
    if (!out)
        return 0;
    std::memset(out, 0, sizeof *out);
    if (!sector)
        return 0;
    if (paramType == 1 || paramType == 2) {
        for (int32_t i = 0; i < ZK_BAND_FIXED_COUNT; ++i)
            (void)ZK_Band_fixedLabel(i, out->labels[i], ZK_BAND_LABEL_SIZE);
        out->count = out->declared = ZK_BAND_FIXED_COUNT;
        out->switchOffset = kSwitchOffsetFixed;
        return 1;
    }
    const int32_t rangeBase = rangeTableOffset(paramType);
    if (rangeBase < 0)
        return 0;

    int32_t counts[kGroups];
    for (int g = 0; g < kGroups - 1; ++g) {
        const int32_t n = sectorInt8(sector, size, kCountsOffset + g);
        counts[g] = n > 0 ? n : 0; // a negative count would shrink the list below its own bands
    }
    const int32_t mtr = sectorInt8(sector, size, kMtrOffset);
    counts[kGroups - 1] = (mtr == 0 || mtr == 1) ? mtr : 0;

    // The bands that fit: a switch byte before offset 46 and a whole range pair in the sector.
    int32_t fit = 0;
    while (fit < ZK_BAND_MAX && ZK_Bytes_inRange(size, (size_t)kSwitchOffsetDescribed + fit, 1) &&
           ZK_Bytes_inRange(size, (size_t)rangeBase + 4 * (size_t)fit, 4))
        ++fit;

    out->switchOffset = kSwitchOffsetDescribed;
    int32_t i = 0;
    for (int g = 0; g < kGroups; ++g) {
        out->declared += counts[g];
        for (int32_t n = 1; n <= counts[g] && i < fit; ++n, ++i) {
            char* label = out->labels[i];
            if (counts[g] == 1) {
                ZK_Str_format(label, ZK_BAND_LABEL_SIZE, "%s Band", kGroupWords[g]);
                continue;
            }
            uint16_t low = 0;
            uint16_t high = 0;
            const size_t pair = (size_t)rangeBase + 4 * (size_t)i;
            char range[ZK_BAND_RANGE_TEXT_SIZE] = "";
            // Low 0 or 1 marks a band without a known range.
            if (ZK_Bytes_readU16LE(sector, size, pair, &low) &&
                ZK_Bytes_readU16LE(sector, size, pair + 2, &high) && low > 1)
                ZK_Band_rangeText(low, high, range, sizeof range);
            ZK_Str_format(label, ZK_BAND_LABEL_SIZE, "%s%d Band%s", kGroupWords[g], (int)n, range);
        }
    }
    out->count = i;
    return 1;
}
