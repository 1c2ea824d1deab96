// Trailer mask, TEA, running-XOR descramble and the date conversion.
#include "package/builder.h"
#include "package/keys.h"
#include "package/transform.h"
#include "support/mem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Straight from the algorithm as written, one block at a time, to check the
// interleaved production loop against.
void referenceDecipher(uint8_t* buf, size_t len) {
    const uint32_t* k = ZK_PACKAGE_TEA_KEY;
    for (size_t at = 0; at < len; at += 8) {
        uint8_t b[8] = {0};
        size_t n = len - at < 8 ? len - at : 8;
        std::memcpy(b, buf + at, n);
        uint32_t y = (uint32_t)b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3];
        uint32_t z = (uint32_t)b[4] << 24 | b[5] << 16 | b[6] << 8 | b[7];
        uint32_t sum = 0xC6EF3720u;
        for (int i = 0; i < 32; ++i) {
            z -= ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
            y -= ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
            sum -= 0x9E3779B9u;
        }
        for (int i = 0; i < 4; ++i) {
            b[i] = (uint8_t)(y >> (24 - 8 * i));
            b[4 + i] = (uint8_t)(z >> (24 - 8 * i));
        }
        std::memcpy(buf + at, b, n);
    }
}

void referenceDescramble(size_t len, uint8_t* buf) {
    uint32_t key = ZK_DESCRAMBLE_SEED, sum = 0, count = 0;
    for (size_t g = 0; g + 4 <= len; g += 4) {
        uint8_t* b = buf + g;
        b[2] ^= b[0];
        b[3] ^= b[1];
        uint32_t w = (uint32_t)b[0] | b[1] << 8 | b[2] << 16 | (uint32_t)b[3] << 24;
        w ^= key;
        for (int i = 0; i < 4; ++i)
            b[i] = (uint8_t)(w >> (8 * i));
        sum += w;
        count += 4;
        if (count == 256) {
            key = sum;
            sum = 0;
            count = 0;
        }
    }
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> v(size);
    ZK_Builder_fillPattern(v.data(), size, seed);
    return v;
}

TEST(TrailerMask, XorsWithTheKeyAndIsItsOwnInverse) {
    std::vector<uint8_t> buf(20, 0);
    ZK_Data_unmaskTrailer(buf.data(), buf.size());
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 16), "QXRPLANEQXRPLANE");
    ZK_Data_unmaskTrailer(buf.data(), buf.size());
    EXPECT_EQ(buf, std::vector<uint8_t>(20, 0));
}

TEST(Tea, MatchesTheBlockAlgorithmForEveryTailLength) {
    // Every tail length, below and above the 8- and 16-block vector steps.
    std::vector<size_t> lengths;
    for (size_t len = 0; len <= 300; ++len)
        lengths.push_back(len);
    lengths.push_back(4096 + 8 * 15 + 5);
    for (size_t len : lengths) {
        std::vector<uint8_t> got = pattern(len + 8, (uint32_t)len), want = got;
        ZK_Data_decipher(got.data(), len);
        referenceDecipher(want.data(), len);
        EXPECT_EQ(got, want) << "length " << len;
    }
}

TEST(Tea, ThirteenBytesDecipherTheTailFromZeroPadding) {
    std::vector<uint8_t> buf = pattern(16, 7), original = buf;
    ZK_Data_decipher(buf.data(), 13);
    // Bytes past the buffer are not touched.
    EXPECT_EQ(0, std::memcmp(buf.data() + 13, original.data() + 13, 3));
    // The second block is the decipher of bytes 8..12 plus three zeros, cut to five bytes.
    uint8_t block[8] = {0};
    std::memcpy(block, original.data() + 8, 5);
    ZK_Data_decipher(block, 8);
    EXPECT_EQ(0, std::memcmp(buf.data() + 8, block, 5));
    uint8_t first[8];
    std::memcpy(first, original.data(), 8);
    ZK_Data_decipher(first, 8);
    EXPECT_EQ(0, std::memcmp(buf.data(), first, 8));
}

TEST(Tea, EncipherIsTheInverseForWholeBlocks) {
    std::vector<uint8_t> buf = pattern(4096 + 24, 3), original = buf;
    ZK_Data_encipher(buf.data(), buf.size());
    EXPECT_NE(buf, original);
    ZK_Data_decipher(buf.data(), buf.size());
    EXPECT_EQ(buf, original);
}

TEST(Descramble, MatchesTheRunningXorAcrossBlocksAndTails) {
    for (size_t len : {0u, 1u, 3u, 4u, 255u, 256u, 257u, 258u, 259u, 260u, 512u, 1000u, 4099u}) {
        std::vector<uint8_t> got = pattern(len, (uint32_t)len + 1), want = got;
        ZK_Data_descramble(len, got.data());
        referenceDescramble(len, want.data());
        EXPECT_EQ(got, want) << "length " << len;
    }
}

TEST(Descramble, TwoHundredFiftyEightBytesLeaveTheLastTwo) {
    std::vector<uint8_t> buf = pattern(258, 9), original = buf;
    ZK_Data_descramble(buf.size(), buf.data());
    EXPECT_EQ(buf[256], original[256]);
    EXPECT_EQ(buf[257], original[257]);
    EXPECT_NE(0, std::memcmp(buf.data(), original.data(), 256));
}

TEST(Descramble, SecondBlockIsUnmaskedWithTheSumOfTheFirst) {
    std::vector<uint8_t> buf = pattern(260, 5), original = buf;
    ZK_Data_descramble(buf.size(), buf.data());
    uint32_t sum = 0;
    for (int i = 0; i < 64; ++i)
        sum += ZK_Bytes_u32le(buf.data() + 4 * i);
    uint32_t w = ZK_Bytes_u32le(original.data() + 256);
    EXPECT_EQ(ZK_Bytes_u32le(buf.data() + 256), (w ^ (w << 16)) ^ sum);
    // And every call starts from the seed again.
    std::vector<uint8_t> again = original;
    ZK_Data_descramble(again.size(), again.data());
    EXPECT_EQ(again, buf);
}

TEST(Descramble, ScrambleIsTheInverse) {
    std::vector<uint8_t> buf = pattern(1027, 4), original = buf;
    ZK_Data_scramble(buf.size(), buf.data());
    EXPECT_NE(buf, original);
    EXPECT_EQ(0, std::memcmp(buf.data() + 1024, original.data() + 1024, 3));
    ZK_Data_descramble(buf.size(), buf.data());
    EXPECT_EQ(buf, original);
}

TEST(Date, ConvertsSecondsToCalendarStamps) {
    struct Case {
        uint32_t seconds;
        uint16_t year;
        uint8_t month, day, hour, minute, second;
    } cases[] = {
        {0, 1970, 1, 1, 0, 0, 0},           {951782400, 2000, 2, 29, 0, 0, 0},
        {4102444800u, 2100, 1, 1, 0, 0, 0}, {0xFFFFFFFFu, 2106, 2, 7, 6, 28, 15},
        {1718438400, 2024, 6, 15, 8, 0, 0}, {31535999, 1970, 12, 31, 23, 59, 59},
    };
    for (const Case& c : cases) {
        RegionDate d;
        std::memset(&d, 0xAA, sizeof d);
        ZK_Date_fromSeconds(c.seconds, &d);
        EXPECT_EQ(d.year, c.year) << c.seconds;
        EXPECT_EQ(d.month, c.month) << c.seconds;
        EXPECT_EQ(d.day, c.day) << c.seconds;
        EXPECT_EQ(d.hour, c.hour) << c.seconds;
        EXPECT_EQ(d.minute, c.minute) << c.seconds;
        EXPECT_EQ(d.second, c.second) << c.seconds;
        uint32_t back = 0;
        ASSERT_TRUE(ZK_Date_toSeconds(&d, &back));
        EXPECT_EQ(back, c.seconds);
    }
}

TEST(Date, FormatsAndRefusesNonDates) {
    char text[32];
    RegionDate zero{};
    ZK_Date_format(&zero, text, sizeof text);
    EXPECT_STREQ(text, "");
    RegionDate d;
    ZK_Date_fromSeconds(951782400 + 3 * 3600 + 4 * 60 + 5, &d);
    ZK_Date_format(&d, text, sizeof text);
    EXPECT_STREQ(text, "2000-02-29 03:04:05");
    uint32_t s;
    RegionDate feb29{0, 0, 0, 29, 2, 2100};
    EXPECT_FALSE(ZK_Date_toSeconds(&feb29, &s));
    RegionDate late{16, 28, 6, 7, 2, 2106};
    EXPECT_FALSE(ZK_Date_toSeconds(&late, &s));
}

} // namespace

TEST(Descramble, SumWithoutACopyMatchesTheDescrambledBytes) {
    for (size_t n : {0u, 3u, 4u, 255u, 256u, 258u, 1000u, 4099u}) {
        std::vector<uint8_t> data(n);
        ZK_Builder_fillPattern(data.data(), n, (uint32_t)n + 1);
        std::vector<uint8_t> copy = data;
        ZK_Data_descramble(copy.size(), copy.data());
        uint32_t want = 0;
        for (uint8_t b : copy)
            want += b;
        EXPECT_EQ(ZK_Data_descrambledSum(data.data(), data.size()), want) << n;
    }
}
