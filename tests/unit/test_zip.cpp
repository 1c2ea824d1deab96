// Package extraction from zip archives made at run time by Python's zipfile.
#include "package/package.h"
#include "package/sample.h"
#include "package/zip.h"
#include "support/stream.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using testutil::TempDir;

// One member: its name, the file holding its bytes, and how it is stored.
struct Member {
    std::string name;
    std::string source; // empty: no data
    bool deflate = true;
};

// Writes the archive with zipfile: argv is OUT then NAME SOURCE METHOD
// triples; an empty SOURCE stands for no data.
const char kZipScript[] = R"(
import sys, zipfile
out, rest = sys.argv[1], sys.argv[2:]
with zipfile.ZipFile(out, 'w') as z:
    for i in range(0, len(rest), 3):
        name, src, method = rest[i], rest[i + 1], rest[i + 2]
        data = open(src, 'rb').read() if src else b''
        kind = zipfile.ZIP_DEFLATED if method == 'd' else zipfile.ZIP_STORED
        z.writestr(zipfile.ZipInfo(name), data, compress_type=kind)
)";

// A deflated member of `size` zero bytes, streamed so Python never holds it.
const char kBombScript[] = R"(
import sys, zipfile
out, name, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:
    with z.open(name, 'w', force_zip64=False) as m:
        chunk = bytes(1 << 20)
        while size > 0:
            m.write(chunk[:min(size, len(chunk))])
            size -= len(chunk)
)";

int run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ZipTest : public ::testing::Test {
  protected:
    std::string source(const std::string& tag, const std::vector<uint8_t>& bytes) {
        std::string path = dir.file("src-" + tag);
        testutil::writeFile(path, bytes);
        return path;
    }
    std::string makeZip(const std::vector<Member>& members) {
        std::string out = dir.file("a.zip");
        std::vector<std::string> args{"python3", "-c", kZipScript, out};
        for (const Member& m : members) {
            args.push_back(m.name);
            args.push_back(m.source);
            args.push_back(m.deflate ? "d" : "s");
        }
        EXPECT_EQ(run(args), 0);
        return out;
    }
    // Extracts into a fresh file; returns the result and leaves the bytes in `out`.
    int extract(const std::string& zip, std::vector<uint8_t>* out) {
        std::string path = dir.file("out.dzk");
        ByteStream stream;
        EXPECT_EQ(ZK_Stream_openFile(&stream, path.c_str(), ZK_STREAM_WRITE), 1);
        int result = ZK_Zip_extractPackage(zip.c_str(), onProgress, this, &stream);
        ZK_Stream_release(&stream);
        *out = testutil::readFile(path);
        return result;
    }
    static void onProgress(void* user, uint64_t total, uint64_t done) {
        auto* self = static_cast<ZipTest*>(user);
        self->totals.push_back(total);
        self->positions.push_back(done);
    }

    TempDir dir;
    std::vector<uint64_t> totals, positions;
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (uint8_t)(seed + i * 7 + (i >> 9));
    return v;
}

TEST_F(ZipTest, PicksTheFirstPackageMemberByExtension) {
    std::vector<uint8_t> pkg = pattern(5000, 1), other = pattern(300, 9), second = pattern(70, 3);
    std::string p = source("pkg", pkg), o = source("other", other), s = source("second", second);
    struct Case {
        const char* what;
        std::vector<Member> members;
        std::vector<uint8_t> want;
    } cases[] = {
        {"capitals, in a subfolder, after a directory and a text",
         {{"docs/", ""}, {"docs/readme.txt", o}, {"pkg/FW.DZK", p}},
         pkg},
        {"only the text after the last dot counts", {{"x.dzk.txt", o}, {"a.b.dzk", p}}, pkg},
        {"a base name without a dot is compared whole", {{"dir/dzk", p}}, pkg},
        {"mixed case, stored", {{"Fw.DzK", p, false}}, pkg},
        {"a size-0 member is skipped", {{"x.dzk", "", false}, {"y.dzk", p}}, pkg},
        {"two package members: the first wins", {{"one.dzk", s}, {"two.dzk", p}}, second},
        {"a directory named like a package is no member", {{"p.dzk/", ""}, {"q.dzk", p}}, pkg},
        {"no package member: 1 and nothing written", {{"readme.txt", o}, {"dzk.bin", o}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> got;
        EXPECT_EQ(extract(makeZip(c.members), &got), 1);
        EXPECT_EQ(got, c.want);
    }
}

TEST_F(ZipTest, ProgressRangeIsTheMemberSizeAndFollowsEveryChunk) {
    std::vector<uint8_t> pkg = pattern(2500, 5);
    std::vector<uint8_t> got;
    ASSERT_EQ(extract(makeZip({{"p.dzk", source("p", pkg)}}), &got), 1);
    EXPECT_EQ(positions, (std::vector<uint64_t>{0, 1024, 2048, 2500}));
    EXPECT_EQ(totals, (std::vector<uint64_t>(4, 2500)));
}

TEST_F(ZipTest, ExtractedSamplePackageOpens) {
    std::string sample = dir.file("sample.dzk");
    ASSERT_EQ(ZK_Sample_build(sample.c_str()), 1);
    std::vector<uint8_t> got;
    ASSERT_EQ(extract(makeZip({{"update/Sample.dzk", sample}}), &got), 1);
    EXPECT_EQ(got, testutil::readFile(sample));
    UpdatePackage* p = ZK_Package_open(dir.file("out.dzk").c_str());
    ASSERT_NE(p, nullptr);
    ZK_Package_close(p);
}

TEST_F(ZipTest, BrokenArchivesFail) {
    std::vector<uint8_t> pkg = pattern(40000, 2);
    std::string zip = makeZip({{"p.dzk", source("p", pkg)}});
    std::vector<uint8_t> whole = testutil::readFile(zip);
    ASSERT_GT(whole.size(), 200u);

    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"not a zip", std::vector<uint8_t>(whole.size(), 'x')},
        {"empty file", {}},
        {"cut before the central directory",
         std::vector<uint8_t>(whole.begin(), whole.begin() + (long)whole.size() / 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::writeFile(zip, c.bytes);
        std::vector<uint8_t> got;
        EXPECT_EQ(extract(zip, &got), 0);
    }
    std::vector<uint8_t> got;
    EXPECT_EQ(extract(dir.file("missing.zip"), &got), 0);
}

// The deflated data damaged, the directory intact: inflate or the CRC fails,
// and the extraction must not report success.
TEST_F(ZipTest, DamagedMemberDataFails) {
    std::vector<uint8_t> pkg = pattern(40000, 2);
    for (bool deflate : {true, false}) {
        SCOPED_TRACE(deflate ? "deflated" : "stored");
        std::string zip = makeZip({{"p.dzk", source("p", pkg), deflate}});
        std::vector<uint8_t> bytes = testutil::readFile(zip);
        // Local header (30 bytes + name "p.dzk") then the data.
        for (size_t i = 30 + 5 + 100; i < 30 + 5 + 400; ++i)
            bytes[i] ^= 0x5A;
        testutil::writeFile(zip, bytes);
        std::vector<uint8_t> got;
        EXPECT_EQ(extract(zip, &got), 0);
    }
}

TEST_F(ZipTest, MemberLargerThanAnyPackageIsRefused) {
    std::string zip = dir.file("bomb.zip");
    std::string size = std::to_string(ZK_PACKAGE_MAX_FILE_SIZE + 1);
    ASSERT_EQ(run({"python3", "-c", kBombScript, zip, "BOMB.DZK", size}), 0);
    std::vector<uint8_t> got;
    EXPECT_EQ(extract(zip, &got), 0);
    EXPECT_TRUE(got.empty()); // refused on the size it announces, before writing
}

// The limit the extraction shares with the reader: a package padded (sparse,
// zeros between its regions and its trailer) to exactly the limit opens, one
// byte more does not.
TEST_F(ZipTest, ReaderOpensPackagesUpToTheLimit) {
    std::string sample = dir.file("sample.dzk");
    ASSERT_EQ(ZK_Sample_build(sample.c_str()), 1);
    std::vector<uint8_t> bytes = testutil::readFile(sample);
    ASSERT_GT(bytes.size(), (size_t)ZK_TRAILER_520);
    size_t body = bytes.size() - ZK_TRAILER_520;
    for (uint64_t size : {ZK_PACKAGE_MAX_FILE_SIZE, ZK_PACKAGE_MAX_FILE_SIZE + 1}) {
        std::string path = dir.file("padded.dzk");
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, bytes.data(), body, 0), (ssize_t)body);
        ASSERT_EQ(::pwrite(fd, bytes.data() + body, ZK_TRAILER_520, (off_t)(size - ZK_TRAILER_520)),
                  (ssize_t)ZK_TRAILER_520);
        ::close(fd);
        UpdatePackage* p = ZK_Package_open(path.c_str());
        EXPECT_EQ(p != nullptr, size == ZK_PACKAGE_MAX_FILE_SIZE) << size;
        ZK_Package_close(p);
    }
}

TEST_F(ZipTest, PathLongerThanItsBufferIsRefused) {
    std::string longPath = dir.path() + "/" + std::string(1100, 'a') + ".zip";
    ByteStream stream;
    ASSERT_EQ(ZK_Stream_openMemory(&stream, nullptr, 0), 1);
    EXPECT_EQ(ZK_Zip_extractPackage(longPath.c_str(), nullptr, nullptr, &stream), 0);
    EXPECT_EQ(ZK_Zip_extractPackage(nullptr, nullptr, nullptr, &stream), 0);
    ZK_Stream_release(&stream);
}

} // namespace
