// Version information file, client endpoints and the newest-version decision.
#include "net/version.h"
#include "support/str.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>

namespace {

using testutil::TempDir;

class VersionFileTest : public ::testing::Test {
  protected:
    void TearDown() override { ZK_Version_clear(&info); }
    int parse(const std::string& text) {
        path = dir.file("Tmp");
        testutil::writeText(path, text);
        return ParseVersionInfo(&info, path.c_str());
    }
    bool exists() const { return ::access(path.c_str(), F_OK) == 0; }

    TempDir dir;
    std::string path;
    VersionInfo info{};
};

TEST_F(VersionFileTest, SingleFormGivesVersionAndUrl) {
    for (const char* text : {"20130520\nhttp://h/p.zip\n", "20130520\r\nhttp://h/p.zip\r\n",
                             "20130520 build\nhttp://h/p.zip"}) {
        SCOPED_TRACE(text);
        ASSERT_EQ(parse(text), 1);
        EXPECT_EQ(info.listMode, 0);
        EXPECT_EQ(info.onlineVersion, 20130520);
        EXPECT_STREQ(info.packageUrl, "http://h/p.zip");
        EXPECT_STREQ(info.status, "Internet vesion:20130520");
        EXPECT_FALSE(exists()); // parsed files are deleted
    }
}

TEST_F(VersionFileTest, SingleFormCutsTheUrlAt259Characters) {
    std::string url = "http://h/" + std::string(300, 'u');
    ASSERT_EQ(parse("20200101\n" + url + "\n"), 1);
    EXPECT_EQ(std::string(info.packageUrl), url.substr(0, 259));
}

TEST_F(VersionFileTest, SingleFormWithoutUrlFails) {
    for (const char* text : {"20130520\n", "20130520\n\nhttp://late\n", "20130520"}) {
        SCOPED_TRACE(text);
        info.onlineVersion = 7;
        EXPECT_EQ(parse(text), 0);
        EXPECT_EQ(info.onlineVersion, -1);
        EXPECT_STREQ(info.status, ZK_VERSION_TEXT_FAILED);
    }
}

TEST_F(VersionFileTest, ListFormKeepsThreeFieldLinesUpToTheFirstEmptyLine) {
    ASSERT_EQ(parse("Chinese , zh ,\thttp://h/zh.zip \r\n"
                    "two,fields\n"
                    "a,b,c,d\n"
                    "English,en,http://h/en.zip\n"
                    "\n"
                    "after,the,gap\n"),
              1);
    EXPECT_EQ(info.listMode, 1);
    EXPECT_STREQ(info.status, "");
    ASSERT_EQ(info.entryCount, 2u);
    EXPECT_STREQ(info.entries[0].first, "Chinese");
    EXPECT_STREQ(info.entries[0].second, "zh");
    EXPECT_STREQ(info.entries[0].third, "http://h/zh.zip");
    EXPECT_STREQ(info.entries[1].first, "English");
    EXPECT_STREQ(info.entries[1].third, "http://h/en.zip");
    EXPECT_FALSE(exists());
}

TEST_F(VersionFileTest, ListFieldsAreCutThenTrimmedThenFitToTheirSlots) {
    // 300 characters: cut to 255 (the blanks at 250..254 then trimmed away);
    // the second slot holds 99.
    std::string first = std::string(250, 'f') + std::string(50, ' ') + "tail";
    std::string second = std::string(150, 's');
    // The first line's third field is empty; the second line has 4 fields.
    ASSERT_EQ(parse("x" + first + "," + second + ",\n" + "a," + second + ",,\n"), 1);
    ASSERT_EQ(info.entryCount, 1u);
    EXPECT_EQ(std::string(info.entries[0].first), "x" + std::string(250, 'f'));
    EXPECT_EQ(std::string(info.entries[0].second), std::string(99, 's'));
    EXPECT_STREQ(info.entries[0].third, "");
}

TEST_F(VersionFileTest, ListFormEdgeCases) {
    struct Case {
        const char* what;
        std::string text;
        uint32_t entries;
    } cases[] = {
        {"empty file", "", 0},
        {"empty first line", "\nA,b,c\n", 0},
        {"no line with three fields", "just text\nA,b\n", 0},
        {"20 commas", "A" + std::string(20, ',') + "\nB,c,d\n", 1},
        {"last line without line end", "A,b,c\nB,c,d", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(parse(c.text), 1);
        EXPECT_EQ(info.listMode, 1);
        EXPECT_EQ(info.entryCount, c.entries);
    }
}

TEST_F(VersionFileTest, ListFormStopsAtTheEntryLimit) {
    std::string text;
    for (uint32_t i = 0; i < ZK_VERSION_MAX_ENTRIES + 10; ++i)
        text += "L" + std::to_string(i) + ",b,c\n";
    ASSERT_EQ(parse(text), 1);
    EXPECT_EQ(info.entryCount, ZK_VERSION_MAX_ENTRIES);
    EXPECT_EQ(std::string(info.entries[ZK_VERSION_MAX_ENTRIES - 1].first),
              "L" + std::to_string(ZK_VERSION_MAX_ENTRIES - 1));
}

TEST_F(VersionFileTest, ANewListReplacesTheOldOne) {
    ASSERT_EQ(parse("A,b,c\nB,c,d\n"), 1);
    ASSERT_EQ(parse("C,d,e\n"), 1);
    ASSERT_EQ(info.entryCount, 1u);
    EXPECT_STREQ(info.entries[0].first, "C");
}

TEST_F(VersionFileTest, MissingFileFails) {
    EXPECT_EQ(ParseVersionInfo(&info, dir.file("none").c_str()), 0);
    EXPECT_STREQ(info.status, ZK_VERSION_TEXT_FAILED);
}

TEST(VersionEndpoint, TableByClientTag) {
    const char* maker = "http://maker.test";
    const char* own = "own.test:8080";
    struct Case {
        std::string tag;
        const char* want; // none: no endpoint
    } cases[] = {
        {std::string(21, ' '), "http://maker.test/UserFiles/File/testNet.txt"},
        {std::string(20, ' '), nullptr},
        {"Qirune/Fellodo", "http://maker.test/UserFiles/File/qirune.txt"},
        {"Namberi", "http://maker.test/UserFiles/File/lodanvey.txt"},
        {"Kelvoran", "http://maker.test/UserFiles/File/namberiplus.txt"},
        {"Gorvant", "own.test:8080/yt.txt"},
        {"Qirune", nullptr},
        {"namberi", nullptr},
        {"TAVO", nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("'" + c.tag + "'");
        char url[256];
        int got = ZK_Version_endpointUrl(c.tag.c_str(), c.tag.size(), maker, own, url, sizeof url);
        EXPECT_EQ(got, c.want ? 1 : 0);
        EXPECT_STREQ(url, c.want ? c.want : "");
    }
}

TEST(VersionEndpoint, UnknownServerGivesNoUrl) {
    char url[256];
    EXPECT_EQ(ZK_Version_endpointUrl("Namberi", 7, "", "own", url, sizeof url), 0);
    EXPECT_EQ(ZK_Version_endpointUrl("Gorvant", 7, "maker", nullptr, url, sizeof url), 0);
    EXPECT_STREQ(url, "");
}

TEST(VersionEndpoint, DefaultBuildHasNoVersionCheck) {
    char url[256];
    EXPECT_EQ(GetVersionInfoUrl(url, sizeof url), 0);
    EXPECT_STREQ(url, "");
}

TEST(VersionEndpoint, TmpFileLivesInThePrivateTemporaryDirectory) {
    char path[ZK_PATH_TEMP_CAPACITY], dir[ZK_PATH_TEMP_CAPACITY];
    ASSERT_EQ(ZK_Version_tmpPath(path), 1);
    ASSERT_EQ(ZK_Path_temp(dir, nullptr), 1);
    EXPECT_EQ(std::string(path), std::string(dir) + "Tmp");
}

TEST(VersionNewest, DecisionByDeviceDate) {
    VersionInfo single{};
    single.onlineVersion = 20130520;
    VersionInfo list = single;
    list.listMode = 1;
    VersionInfo none{};
    VersionInfo failed{};
    failed.onlineVersion = -1;
    RegionDate same{0, 0, 0, 20, 5, 2013}, dayOlder{0, 0, 0, 19, 5, 2013},
        newer{0, 0, 0, 1, 1, 2014}, zero{};
    struct Case {
        const char* what;
        const VersionInfo* info;
        bool localFile;
        const RegionDate* date;
        bool want;
    } cases[] = {
        {"equal date", &single, false, &same, true},
        {"one day older", &single, false, &dayOlder, false},
        {"newer device", &single, false, &newer, true},
        {"local package chosen", &single, true, &same, false},
        {"list form", &list, false, &same, false},
        {"no online version", &none, false, &same, false},
        {"failed check", &failed, false, &same, false},
        {"device without GPS date", &single, false, &zero, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(IsNewestVersion(c.info, c.localFile, ZK_Version_deviceValue(c.date)), c.want);
    }
    EXPECT_EQ(ZK_Version_deviceValue(&same), 20130520u);
}

} // namespace
