// Logging, streams, counted allocation and the string helpers.
#include "support/log.h"
#include "support/mem.h"
#include "support/str.h"
#include "support/stream.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

struct Captured {
    std::string file, function, text;
    int line = 0, level = 0, calls = 0;
};

void captureSink(void* user, const char* file, int line, const char* function, int, int level,
                 const char* text) {
    auto* c = static_cast<Captured*>(user);
    c->file = file;
    c->line = line;
    c->function = function;
    c->level = level;
    c->text = text;
    ++c->calls;
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override { ZK_Log_setSink(captureSink, &got); }
    void TearDown() override {
        ZK_Log_setSink(ZK_Log_consoleSink, nullptr);
        ZK_Log_setMinLevel(0, 0);
    }
    Captured got;
};

TEST_F(LogTest, StripsOneLineEndingAndReducesFileName) {
    struct Case {
        const char* file;
        const char* text;
        const char* wantFile;
        const char* wantText;
    } cases[] = {
        {"a\\b\\ZK_Machine", "done\r\n", "ZK_Machine", "done"},
        {"src/device/machine.cpp", "done\n\n", "machine.cpp", "done\n"},
        {"x", "done\r", "x", "done\r"},
        {"C:\\w/mixed\\m.c", "plain", "m.c", "plain"},
    };
    for (const auto& c : cases) {
        ZK_Log_print(c.file, 7, "fn", "%s", c.text);
        EXPECT_EQ(got.file, c.wantFile);
        EXPECT_EQ(got.text, c.wantText);
        EXPECT_EQ(got.level, ZK_LOG_INFO);
        EXPECT_EQ(got.line, 7);
    }
}

TEST_F(LogTest, CutsAt4095Characters) {
    std::string big(5000, 'q');
    ZK_LOG("%s", big.c_str());
    EXPECT_EQ(got.text.size(), 4095u);
}

TEST_F(LogTest, MinimumLevelFilterAndNoSink) {
    ASSERT_EQ(ZK_Log_setMinLevel(0, 4), 1);
    ZK_LOG("dropped");
    EXPECT_EQ(got.calls, 0);
    ASSERT_EQ(ZK_Log_setMinLevel(0, 3), 1);
    ZK_LOG("kept");
    EXPECT_EQ(got.calls, 1);

    ZK_Log_setSink(nullptr, nullptr);
    int32_t before = ZK_Mem_liveBlocks();
    ZK_LOG("nothing");
    EXPECT_EQ(ZK_Mem_liveBlocks(), before);
    EXPECT_EQ(got.calls, 1);
}

TEST(LogConsole, LineFormat) {
    testing::internal::CaptureStdout();
    ZK_Log_consoleSink(nullptr, "x", 12, "ZK_Machine_write", 0, 3, "hello");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[       x][   12][    ZK_Machine_write][INFO]: hello\n");
}

TEST(MemoryStream, ReadsSeeksAndEnds) {
    uint8_t block[10];
    for (int i = 0; i < 10; ++i)
        block[i] = (uint8_t)i;
    ByteStream s;
    ASSERT_EQ(ZK_Stream_openMemory(&s, block, sizeof block), 1);
    uint8_t buf[4];
    EXPECT_EQ(ZK_Stream_read(&s, 4, buf), 4);
    EXPECT_EQ(ZK_Stream_read(&s, 4, buf), 4);
    EXPECT_EQ(ZK_Stream_read(&s, 4, buf), 2);
    EXPECT_EQ(buf[1], 9);
    EXPECT_EQ(ZK_Stream_read(&s, 4, buf), 0);
    EXPECT_TRUE(ZK_Stream_atEnd(&s));
    EXPECT_EQ(ZK_Stream_seek(&s, 10), 1);
    EXPECT_EQ(ZK_Stream_seek(&s, 11), 0);
    EXPECT_EQ(ZK_Stream_tell(&s), 10);
    EXPECT_EQ(ZK_Stream_read(&s, 0, buf), -1);
    EXPECT_EQ(ZK_Stream_read(&s, 1, nullptr), -1);
    ZK_Stream_release(&s);
    EXPECT_EQ(block[3], 3); // the caller's block is not freed or touched
}

TEST(MemoryStream, GrowingBufferDoubles) {
    ByteStream s;
    ASSERT_EQ(ZK_Stream_openMemory(&s, nullptr, 0), 1);
    auto* m = static_cast<MemoryBlock*>(s.handle);
    EXPECT_EQ(m->end - m->base, 1024);
    std::vector<uint8_t> data(1025, 0xAB);
    EXPECT_EQ(ZK_Stream_write(&s, data.size(), data.data()), 1025);
    m = static_cast<MemoryBlock*>(s.handle);
    EXPECT_EQ(m->end - m->base, 2048);
    EXPECT_EQ(ZK_Stream_size(&s), 1025);
    EXPECT_EQ(ZK_Stream_memoryData(&s)[1024], 0xAB);
    ZK_Stream_release(&s);
}

TEST(MemoryStream, FixedBlockWriteIsCut) {
    uint8_t block[4] = {};
    ByteStream s;
    ASSERT_EQ(ZK_Stream_openMemory(&s, block, sizeof block), 1);
    EXPECT_EQ(ZK_Stream_write(&s, 6, "abcdef"), 4);
    EXPECT_EQ(ZK_Stream_write(&s, 1, "g"), 0);
    EXPECT_EQ(std::memcmp(block, "abcd", 4), 0);
    ZK_Stream_release(&s);
}

TEST(FileStream, ModesAppendAndFlushOnRelease) {
    testutil::TempDir dir;
    std::string path = dir.file("f.bin");
    ByteStream* w = ZK_Stream_create(path.c_str(), ZK_STREAM_WRITE);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(ZK_Stream_printf(w, "%s-%d", "ab", 12), 5);
    EXPECT_EQ(ZK_Stream_printf(w, "%s", ""), -1);
    ZK_Stream_release(w); // flushes: the bytes are on disk before we read
    ByteStream* a = ZK_Stream_create(path.c_str(), ZK_STREAM_APPEND);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(ZK_Stream_write(a, 2, "xy"), 2);
    ZK_Stream_release(a);

    ByteStream r;
    ASSERT_EQ(ZK_Stream_openFile(&r, path.c_str(), 5), 1); // any other mode reads
    EXPECT_EQ(ZK_Stream_size(&r), 7);
    char buf[16] = {};
    EXPECT_EQ(ZK_Stream_read(&r, sizeof buf, buf), 7);
    EXPECT_STREQ(buf, "ab-12xy");
    EXPECT_EQ(ZK_Stream_read(&r, 1, buf), -1);
    ZK_Stream_release(&r);

    EXPECT_EQ(ZK_Stream_create(dir.file("no/such/dir").c_str(), ZK_STREAM_READ), nullptr);
    ByteStream bad;
    EXPECT_EQ(ZK_Stream_openFile(&bad, dir.file("missing").c_str(), ZK_STREAM_READ), 0);
    EXPECT_EQ(ZK_Stream_read(&bad, 1, buf), -1);
    EXPECT_EQ(ZK_Stream_seek(&bad, 0), 0);
}

TEST(FileStream, LongPrintfUsesItsOwnBlock) {
    ByteStream s;
    ASSERT_EQ(ZK_Stream_openMemory(&s, nullptr, 0), 1);
    std::string big(10000, 'z');
    EXPECT_EQ(ZK_Stream_printf(&s, "%s!", big.c_str()), 10001);
    EXPECT_EQ(ZK_Stream_size(&s), 10001);
    ZK_Stream_release(&s);
}

TEST(StreamReadLine, EndingsAndCapacity) {
    const char text[] = "ab\r\n\nline3\rxyz123456";
    ByteStream s;
    ASSERT_EQ(ZK_Stream_openMemory(&s, (void*)text, sizeof text - 1), 1);
    char line[7];
    EXPECT_EQ(ZK_Stream_readLine(line, &s, sizeof line), 3);
    EXPECT_STREQ(line, "ab");
    EXPECT_EQ(ZK_Stream_readLine(line, &s, sizeof line), 1);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(ZK_Stream_readLine(line, &s, sizeof line), 6);
    EXPECT_STREQ(line, "line3");
    EXPECT_EQ(ZK_Stream_readLine(line, &s, sizeof line), 6); // cut at capacity - 1
    EXPECT_STREQ(line, "xyz123");
    EXPECT_EQ(ZK_Stream_readLine(line, &s, 1), -1);
    EXPECT_EQ(ZK_Stream_readLine(line, &s, sizeof line), 3);
    EXPECT_STREQ(line, "456");
    EXPECT_EQ(ZK_Stream_readLine(line, &s, sizeof line), -1);
    ZK_Stream_release(&s);
}

TEST(Strings, CopyAppendFormat) {
    char buf[4];
    ZK_Str_copy(sizeof buf, "abcdef", buf, 0);
    EXPECT_STREQ(buf, "abc");
    ZK_Str_copy(sizeof buf, "abcdef", buf, 2);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(ZK_Str_append("xyz", sizeof buf, buf), 1);
    EXPECT_STREQ(buf, "abx");
    EXPECT_EQ(ZK_Str_append("xyz", 0, buf), 0);
    ZK_Str_format(buf, sizeof buf, "%d", 123456);
    EXPECT_STREQ(buf, "123");
    char* d = ZK_Str_dup("hello");
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d, "hello");
    ZK_Mem_free(d);
    EXPECT_EQ(ZK_Str_dup(nullptr), nullptr);
}

TEST(Strings, TrimAndToInt) {
    char a[] = "  x ";
    ZK_Str_trimLeft(a);
    EXPECT_STREQ(a, "x ");
    ZK_Str_trimRight(a);
    EXPECT_STREQ(a, "x");
    char b[] = "   ";
    ZK_Str_trimLeft(b);
    EXPECT_STREQ(b, "");
    struct {
        const char* text;
        int32_t want;
    } cases[] = {{"  -42abc", -42}, {"+7", 7},      {"x1", 0},
                 {"", 0},           {"\t\n12", 12}, {"4294967297", 1}};
    for (const auto& c : cases)
        EXPECT_EQ(ZK_Str_toInt(c.text), c.want) << c.text;
    EXPECT_EQ(ZK_Str_toInt(nullptr), 0);
}

TEST(Strings, SplitAtCommas) {
    const char* starts[ZK_STR_MAX_FIELDS];
    int lengths[ZK_STR_MAX_FIELDS];
    auto fields = [&](const char* text, int length = 0) {
        std::vector<std::string> out;
        int n = ZK_Str_split(starts, lengths, text, length);
        for (int i = 0; i < n; ++i)
            out.emplace_back(starts[i], (size_t)lengths[i]);
        return out;
    };
    EXPECT_EQ(fields(" a , b,c "), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(fields("abc "), (std::vector<std::string>{"abc"}));
    EXPECT_EQ(fields("a,b,c", 3), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(fields("a,,"), (std::vector<std::string>{"a", "", ""}));
    EXPECT_TRUE(fields("").empty());
    EXPECT_EQ(fields(std::string(19, ',').c_str()).size(), 20u);
    EXPECT_TRUE(fields(std::string(20, ',').c_str()).empty());
}

TEST(Strings, TempPathIsPrivate) {
    char path[ZK_PATH_TEMP_CAPACITY];
    ASSERT_EQ(ZK_Path_temp(path, "tmp.dzk"), 1);
    std::string p = path;
    ASSERT_GT(p.size(), 8u);
    EXPECT_EQ(p.substr(p.size() - 8), "/tmp.dzk");
    std::string dir = p.substr(0, p.size() - 7);
    struct stat st;
    ASSERT_EQ(lstat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 077, 0u);
    ASSERT_EQ(ZK_Path_temp(path, nullptr), 1);
    EXPECT_EQ(std::string(path), dir);
}

TEST(Memory, CountedBlocksAndBoundsChecks) {
    int32_t before = ZK_Mem_liveBlocks();
    EXPECT_EQ(ZK_Mem_alloc(0), nullptr);
    void* p = ZK_Mem_alloc(16);
    EXPECT_EQ(ZK_Mem_liveBlocks(), before + 1);
    ZK_Mem_free(p);
    ZK_Mem_free(nullptr);
    EXPECT_EQ(ZK_Mem_liveBlocks(), before);
    EXPECT_EQ(ZK_Mem_calloc(SIZE_MAX / 2, 4), nullptr);

    const uint8_t b[6] = {1, 2, 3, 4, 5, 6};
    uint32_t v = 0;
    EXPECT_EQ(ZK_Bytes_readU32LE(b, 6, 2, &v), 1);
    EXPECT_EQ(v, 0x06050403u);
    EXPECT_EQ(ZK_Bytes_readU32LE(b, 6, 3, &v), 0);
    EXPECT_EQ(ZK_Bytes_readU32LE(b, 6, SIZE_MAX - 1, &v), 0);
    EXPECT_EQ(ZK_Bytes_readU32BE(b, 6, 0, &v), 1);
    EXPECT_EQ(v, 0x01020304u);
    EXPECT_EQ(ZK_Bytes_sum(b, 6), 21u);
}

} // namespace
