// Carrier presets and radar band labels of the settings dialog.
#include "dialogs/presets.h"

#include "support/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> labels(const BandList& list) {
    return std::vector<std::string>(list.labels, list.labels + list.count);
}

// A 256-byte sector of type 3 to 5 with the group counts and range pairs given.
struct Sector {
    uint8_t bytes[256];
    int rangeBase;

    explicit Sector(int paramType) : rangeBase(paramType == 3 ? 174 : paramType == 4 ? 68 : 115) {
        std::memset(bytes, 0, sizeof bytes);
    }
    void counts(int x, int ku, int k, int ka, int laser, int mtr) {
        const int values[] = {x, ku, k, ka, laser};
        for (int g = 0; g < 5; ++g)
            bytes[19 + g] = (uint8_t)(int8_t)values[g];
        bytes[46] = (uint8_t)(int8_t)mtr;
    }
    void pair(int index, uint16_t low, uint16_t high) {
        uint8_t* p = bytes + rangeBase + 4 * index;
        p[0] = (uint8_t)low;
        p[1] = (uint8_t)(low >> 8);
        p[2] = (uint8_t)high;
        p[3] = (uint8_t)(high >> 8);
    }
};

TEST(Presets, InForceOnlyForTheOneBrand) {
    int32_t count = -1;
    const ApnPreset* rows = ZK_Presets_lookup("Vexaro", &count);
    ASSERT_NE(rows, nullptr);
    EXPECT_EQ(count, 30);
    for (const char* other :
         std::initializer_list<const char*>{"TAVO", "TQM", "vexaro", "Vexaro ", "", nullptr}) {
        count = -1;
        EXPECT_EQ(ZK_Presets_lookup(other, &count), nullptr) << (other ? other : "(none)");
        EXPECT_EQ(count, 0);
    }
}

TEST(Presets, RowsInTheirOrder) {
    int32_t count = 0;
    const ApnPreset* rows = ZK_Presets_lookup("Vexaro", &count);
    ASSERT_EQ(count, ZK_PRESET_ROWS);
    const char* names[ZK_PRESET_ROWS] = {
        "Movistar",        "Vodafone",   "LOWI",         "Orange/Amena",
        "Eticom",          "Yoigo",      "Simyo",        "Jazztel",
        "Jetnet",          "Másmovil",   "Parlem",       "Happy Móvil nuevo",
        "Happy Móvil",     "Pepephone",  "Oceans",       "Euskaltel",
        "RACC Tel",        "Telecable",  "Ono",          "R",
        "Carrefour Móvil", "Eroski",     "Tuenti Móvil", "Lebara",
        "Llamaya",         "LycaMobile", "DigiMobil",    "YouMobile",
        "Hits Mobile",     "Others"};
    // Rows that carry a user and password; all others have both empty.
    const int credentialRows[] = {0, 1, 3, 15, 16, 17, 21, 22, 25, 26};
    for (int i = 0; i < ZK_PRESET_ROWS; ++i) {
        const ApnPreset& row = rows[i];
        std::string shown;
        ASSERT_TRUE(ZK_Text_gbkToUtf8Exact(row.operatorName, &shown)) << i;
        EXPECT_EQ(shown, names[i]) << i;
        EXPECT_EQ(row.editable, i == 16 ? 0 : 1) << names[i];
        const bool credentials = std::find(std::begin(credentialRows), std::end(credentialRows),
                                           i) != std::end(credentialRows);
        EXPECT_EQ(row.user[0] != '\0', credentials) << names[i];
        EXPECT_EQ(row.password[0] != '\0', credentials) << names[i];
        EXPECT_EQ(row.apn[0] != '\0', i != 29) << names[i];
        for (const char* text : {row.operatorName, row.apn, row.user, row.password})
            EXPECT_LT(strnlen(text, ZK_PRESET_TEXT_SIZE), ZK_PRESET_TEXT_SIZE) << names[i];
    }
    // Accented names are GBK pinyin letters, not UTF-8 or Latin-1.
    EXPECT_STREQ(rows[9].operatorName, "M\xa8\xa2smovil");
    EXPECT_STREQ(rows[20].operatorName, "Carrefour M\xa8\xaevil");
}

TEST(Presets, RaccTelIsFixedAndOthersIsEmpty) {
    int32_t count = 0;
    const ApnPreset* rows = ZK_Presets_lookup("Vexaro", &count);
    const ApnPreset& racc = rows[16];
    EXPECT_STREQ(racc.operatorName, "RACC Tel");
    EXPECT_STREQ(racc.apn, "internet.racc.net");
    EXPECT_STREQ(racc.user, "CLIENTERACC");
    EXPECT_STREQ(racc.password, "RACC");
    EXPECT_EQ(racc.editable, 0);
    const ApnPreset& others = rows[29];
    EXPECT_STREQ(others.operatorName, "Others");
    EXPECT_STREQ(others.apn, "");
    EXPECT_STREQ(others.user, "");
    EXPECT_STREQ(others.password, "");
    EXPECT_NE(others.editable, 0);
}

TEST(Presets, MatchPicksTheLastEqualApn) {
    int32_t count = 0;
    const ApnPreset* rows = ZK_Presets_lookup("Vexaro", &count);
    struct Case {
        std::string apn;
        size_t length;
        int32_t row;
        const char* why;
    } cases[] = {
        {"telefonica.es", 28, 0, "first row"},
        {"INTERNET.RACC.NET", 28, 16, "letters compared without case"},
        {"internet", 28, 14, "shared by Yoigo, Jetnet, Parlem, Oceans: the last"},
        {"orangeworld", 28, 6, "Orange/Amena and Simyo: the last"},
        {"", 28, 29, "an empty APN is the Others row"},
        {"internet.racc.ne", 28, 0, "a prefix is no match"},
        {"nowhere.example", 28, 0, "no match selects row 0"},
        {"internet.racc.netXYZ", 17, 16, "an unterminated field ends at its length"},
    };
    for (const auto& c : cases) {
        std::vector<char> field(c.apn.begin(), c.apn.end());
        field.resize(std::max(field.size(), c.length), '\0');
        EXPECT_EQ(ZK_Presets_match(rows, count, field.data(), c.length), c.row) << c.why;
    }
    EXPECT_EQ(ZK_Presets_match(nullptr, 0, "internet", 8), 0);
}

TEST(Bands, FixedTableLabels) {
    EXPECT_STREQ(RadarBandTable[0].name, "X Band");
    EXPECT_STREQ(RadarBandTable[11].name, "Laser Band");
    char label[ZK_BAND_LABEL_SIZE];
    struct Case {
        int index;
        const char* label;
    } cases[] = {
        {0, "X Band(10.480~10.720)"},    {2, "MTR Band(22.700~23.660)"},
        {5, "K4 Band(24.410~24.900)"},   {10, "KA5 Band(35.950~36.300)"},
        {11, "Laser Band(0.000~0.000)"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(ZK_Band_fixedLabel(c.index, label, sizeof label), 1);
        EXPECT_STREQ(label, c.label);
    }
    for (int bad : {-1, 12}) {
        EXPECT_EQ(ZK_Band_fixedLabel(bad, label, sizeof label), 0);
        EXPECT_STREQ(label, "");
    }
    ZK_Band_rangeText(10480, 10720, label, sizeof label);
    EXPECT_STREQ(label, "(10.480~10.720)");
    ZK_Band_rangeText(24050, 24250, label, 8); // cut, still terminated
    EXPECT_STREQ(label, "(24.050");
}

TEST(Bands, FixedListForTypesOneAndTwo) {
    uint8_t sector[256] = {};
    for (int type : {1, 2}) {
        BandList list;
        ASSERT_EQ(ZK_Band_list(sector, sizeof sector, type, &list), 1);
        EXPECT_EQ(list.count, 12);
        EXPECT_EQ(list.switchOffset, 11);
        EXPECT_STREQ(list.labels[3], "K Band(23.660~24.060)");
    }
    BandList list;
    for (int type : {0, 6, -1}) {
        EXPECT_EQ(ZK_Band_list(sector, sizeof sector, type, &list), 0);
        EXPECT_EQ(list.count, 0);
    }
    EXPECT_EQ(ZK_Band_list(nullptr, 256, 3, &list), 0);
}

TEST(Bands, DescribedListGroupsAndRanges) {
    for (int type : {3, 4, 5}) {
        Sector s(type);
        s.counts(1, 0, 3, 2, 1, 1);
        s.pair(0, 10500, 10550);
        s.pair(1, 24050, 24250); // K1
        s.pair(2, 24100, 24200);
        s.pair(3, 24150, 24300);
        s.pair(4, 34300, 34400);
        s.pair(5, 35500, 35600); // Ka2
        s.pair(6, 800, 900);
        s.pair(7, 22800, 23000);
        BandList list;
        ASSERT_EQ(ZK_Band_list(s.bytes, sizeof s.bytes, type, &list), 1);
        EXPECT_EQ(list.switchOffset, 24);
        EXPECT_EQ(list.declared, 8);
        const std::vector<std::string> expected = {"X Band",
                                                   "K1 Band(24.050~24.250)",
                                                   "K2 Band(24.100~24.200)",
                                                   "K3 Band(24.150~24.300)",
                                                   "Ka1 Band(34.300~34.400)",
                                                   "Ka2 Band(35.500~35.600)",
                                                   "Laser Band",
                                                   "Mtr Band"};
        EXPECT_EQ(labels(list), expected) << "type " << type;
    }
}

TEST(Bands, LowValueZeroOrOneHidesTheRange) {
    Sector s(3);
    s.counts(0, 0, 3, 0, 0, 0);
    s.pair(0, 24050, 24250);
    s.pair(1, 0, 24200); // K2 without a known range
    s.pair(2, 1, 24300);
    BandList list;
    ASSERT_EQ(ZK_Band_list(s.bytes, sizeof s.bytes, 3, &list), 1);
    const std::vector<std::string> expected = {"K1 Band(24.050~24.250)", "K2 Band", "K3 Band"};
    EXPECT_EQ(labels(list), expected);
}

TEST(Bands, CountsOutsideTheirValuesCountAsZero) {
    Sector s(3);
    s.counts(1, 1, 3, 0, 1, 7); // Mtr 7 counts as 0
    BandList list;
    ASSERT_EQ(ZK_Band_list(s.bytes, sizeof s.bytes, 3, &list), 1);
    EXPECT_EQ(list.count, 6);
    EXPECT_EQ(list.labels[5], std::string("Laser Band"));

    s.counts(2, -5, 1, 0, 0, -1); // negative counts add nothing and remove nothing
    ASSERT_EQ(ZK_Band_list(s.bytes, sizeof s.bytes, 3, &list), 1);
    const std::vector<std::string> expected = {"X1 Band", "X2 Band", "K Band"};
    EXPECT_EQ(labels(list), expected);
    EXPECT_EQ(list.declared, 3);
}

// Sectors that declare more bands than fit keep the ones that do. Each sector
// sits at the end of its own heap block, so a read past it is an ASan report.
TEST(Bands, MoreBandsThanFitStayInsideTheSector) {
    struct Case {
        int type;
        int x, k, ka, laser, mtr;
        int declared, shown;
    } cases[] = {
        {3, 10, 10, 10, 0, 1, 31, 20}, // range table from 174 holds 20 pairs
        {4, 127, 127, 127, 127, 1, 509, 22}, {5, 20, 2, 0, 0, 1, 23, 22},
        {3, 20, 0, 0, 0, 0, 20, 20},         {3, 0, 0, 0, 0, 1, 1, 1},
    };
    for (const auto& c : cases) {
        Sector s(c.type);
        s.counts(c.x, 0, c.k, c.ka, c.laser, c.mtr);
        std::memset(s.bytes + s.rangeBase, 0x5A, sizeof s.bytes - s.rangeBase);
        std::vector<uint8_t> exact(s.bytes, s.bytes + sizeof s.bytes);
        BandList list;
        ASSERT_EQ(ZK_Band_list(exact.data(), exact.size(), c.type, &list), 1);
        EXPECT_EQ(list.declared, c.declared) << "type " << c.type;
        EXPECT_EQ(list.count, c.shown) << "type " << c.type;
        EXPECT_LE(list.switchOffset + list.count, 46);
        for (int i = 0; i < list.count; ++i)
            EXPECT_LT(strnlen(list.labels[i], ZK_BAND_LABEL_SIZE), ZK_BAND_LABEL_SIZE);
    }
    // The last type-3 band's pair is bytes 250..253; a band 21 would need 254..257.
    Sector s(3);
    s.counts(21, 0, 0, 0, 0, 0);
    s.pair(19, 10600, 10700);
    BandList list;
    ASSERT_EQ(ZK_Band_list(s.bytes, sizeof s.bytes, 3, &list), 1);
    EXPECT_EQ(list.count, 20);
    EXPECT_STREQ(list.labels[19], "X20 Band(10.600~10.700)");

    // A shorter buffer than a sector is read only as far as it goes.
    std::vector<uint8_t> cut(s.bytes, s.bytes + 200);
    ASSERT_EQ(ZK_Band_list(cut.data(), cut.size(), 3, &list), 1);
    EXPECT_EQ(list.count, 6); // pairs at 174..197
    std::vector<uint8_t> tiny(s.bytes, s.bytes + 20);
    ASSERT_EQ(ZK_Band_list(tiny.data(), tiny.size(), 3, &list), 1);
    EXPECT_EQ(list.count, 0);
}

} // namespace
