// The downloader against real servers on 127.0.0.1: lighttpd (plain, TLS with
// a throw-away CA, basic auth, ranges) and a small scripted server for the
// replies lighttpd does not give (no Content-Length, stalls, odd statuses).
#include "net/http.h"
#include "support/log.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <curl/curl.h>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using testutil::TempDir;
using namespace std::chrono_literals;

constexpr auto kDeadline = 30s; // for conditions that hold within milliseconds normally

int spawnWait(std::vector<std::string> args) {
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

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, (sockaddr*)&a, sizeof a) != 0 || getsockname(fd, (sockaddr*)&a, &len) != 0) {
        close(fd);
        return -1;
    }
    close(fd);
    return ntohs(a.sin_port);
}

bool accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, (sockaddr*)&a, sizeof a) == 0;
    close(fd);
    return ok;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (uint8_t)(seed + i * 13 + (i >> 8));
    return v;
}

// lighttpd with a plain and a TLS port, both on 127.0.0.1, for the suite.
class Lighttpd {
  public:
    bool start() {
        std::string d = dir.path();
        mkdir((d + "/www").c_str(), 0755);
        mkdir((d + "/www/secret").c_str(), 0755);
        testutil::writeText(d + "/users", "u:p\n");
        if (!makeCertificates())
            return false;
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = freePort();
            tlsPort = freePort();
            if (port <= 0 || tlsPort <= 0 || port == tlsPort)
                continue;
            writeConfig();
            std::string conf = d + "/lighttpd.conf";
            std::vector<std::string> args{"lighttpd", "-D", "-f", conf};
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            if (posix_spawnp(&pid, "lighttpd", nullptr, nullptr, argv.data(), environ) != 0)
                return false;
            if (waitUntilUp())
                return true;
            stop();
        }
        return false;
    }
    void stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    void put(const std::string& name, const std::vector<uint8_t>& bytes) {
        testutil::writeFile(dir.path() + "/www/" + name, bytes);
    }
    std::string url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(port) + "/" + name;
    }
    std::string caFile() const { return dir.file("ca.pem"); }

    TempDir dir;
    int port = -1, tlsPort = -1;

  private:
    bool makeCertificates() {
        std::string d = dir.path() + "/";
        std::string ec = "ec:" + d + "ec.param";
        testutil::writeText(d + "ext.cnf", "subjectAltName=DNS:localhost\n"
                                           "basicConstraints=CA:FALSE\n");
        return spawnWait({"openssl", "ecparam", "-name", "prime256v1", "-out", d + "ec.param"}) ==
                   0 &&
               spawnWait({"openssl", "req", "-x509", "-newkey", ec, "-nodes", "-keyout",
                          d + "ca.key", "-out", d + "ca.pem", "-days", "2", "-subj",
                          "/CN=Korvana Test CA"}) == 0 &&
               spawnWait({"openssl", "req", "-newkey", ec, "-nodes", "-keyout", d + "srv.key",
                          "-out", d + "srv.csr", "-subj", "/CN=localhost"}) == 0 &&
               spawnWait({"openssl", "x509", "-req", "-in", d + "srv.csr", "-CA", d + "ca.pem",
                          "-CAkey", d + "ca.key", "-CAcreateserial", "-out", d + "srv.pem", "-days",
                          "2", "-extfile", d + "ext.cnf"}) == 0;
    }
    void writeConfig() {
        std::string d = dir.path();
        testutil::writeText(
            d + "/lighttpd.conf",
            "server.document-root = \"" + d + "/www\"\n" + "server.bind = \"127.0.0.1\"\n" +
                "server.port = " + std::to_string(port) + "\n" + "server.errorlog = \"" + d +
                "/error.log\"\n" +
                "server.modules = (\"mod_auth\", \"mod_authn_file\", \"mod_openssl\")\n"
                "mimetype.assign = (\"\" => \"application/octet-stream\")\n"
                "auth.backend = \"plain\"\n"
                "auth.backend.plain.userfile = \"" +
                d +
                "/users\"\n"
                "auth.require = (\"/secret/\" => (\"method\" => \"basic\", \"realm\" => "
                "\"korvana\", \"require\" => \"valid-user\"))\n"
                "$SERVER[\"socket\"] == \"127.0.0.1:" +
                std::to_string(tlsPort) +
                "\" {\n"
                "  ssl.engine = \"enable\"\n"
                "  ssl.pemfile = \"" +
                d + "/srv.pem\"\n  ssl.privkey = \"" + d + "/srv.key\"\n}\n");
    }
    bool waitUntilUp() {
        auto until = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < until) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return false; // did not start (port taken): try others
            }
            if (accepts(port) && accepts(tlsPort))
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    pid_t pid = -1;
};

// A scripted server: answers every connection with `reply`, then closes it,
// or keeps it open without sending more until stopped.
class TinyServer {
  public:
    TinyServer(std::string reply, bool stall) : reply_(std::move(reply)), stall_(stall) {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(listen_, (sockaddr*)&a, sizeof a);
        listen(listen_, 8);
        getsockname(listen_, (sockaddr*)&a, &len);
        port = ntohs(a.sin_port);
        if (pipe(wake_) != 0)
            wake_[0] = wake_[1] = -1;
        thread_ = std::thread([this] { run(); });
    }
    ~TinyServer() {
        if (write(wake_[1], "x", 1) < 0) {
        }
        thread_.join();
        close(listen_);
        close(wake_[0]);
        close(wake_[1]);
    }
    std::string url(const std::string& path = "/f") const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    std::string request() {
        std::lock_guard<std::mutex> lock(mutex_);
        return request_;
    }
    int port = 0;

  private:
    // Waits for `fd` or the stop pipe; false once stopped.
    bool wait(int fd) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        return poll(p, 2, -1) > 0 && !(p[1].revents & POLLIN);
    }
    void run() {
        while (wait(listen_)) {
            int c = accept(listen_, nullptr, nullptr);
            if (c < 0)
                continue;
            std::string got;
            char buf[4096];
            while (got.find("\r\n\r\n") == std::string::npos && wait(c)) {
                ssize_t n = read(c, buf, sizeof buf);
                if (n <= 0)
                    break;
                got.append(buf, (size_t)n);
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                request_ = got;
            }
            if (send(c, reply_.data(), reply_.size(), MSG_NOSIGNAL) < 0) {
            }
            if (stall_) {
                while (wait(c)) {
                    if (read(c, buf, sizeof buf) <= 0)
                        break;
                }
            }
            close(c);
        }
    }
    std::string reply_;
    bool stall_;
    int listen_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::string request_;
};

// Collects the messages of one transfer.
class Recorder {
  public:
    DownloadSink sink() { return {&Recorder::notify, this}; }
    std::vector<DownloadMessage> all() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::vector<DownloadMessage> of(uint32_t message) {
        std::vector<DownloadMessage> out;
        for (const auto& m : all())
            if (m.message == message)
                out.push_back(m);
        return out;
    }
    // Waits until a message satisfies `pred`; false when none did in time.
    bool waitFor(const std::function<bool(const DownloadMessage&)>& pred) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, kDeadline, [&] {
            for (const auto& m : messages_)
                if (pred(m))
                    return true;
            return false;
        });
    }
    bool waitFinished() {
        return waitFor([](const DownloadMessage& m) { return m.message == MSG_DOWNLOAD_FINISHED; });
    }
    // The one FINISHED message, which must be the last one.
    std::pair<uintptr_t, intptr_t> end() {
        auto msgs = all();
        auto fin = of(MSG_DOWNLOAD_FINISHED);
        EXPECT_EQ(fin.size(), 1u);
        EXPECT_FALSE(msgs.empty());
        if (fin.size() != 1 || msgs.back().message != MSG_DOWNLOAD_FINISHED)
            return {99, -1};
        return {fin[0].wParam, fin[0].lParam};
    }

  private:
    static void notify(void* user, const DownloadMessage* m) {
        auto* self = static_cast<Recorder*>(user);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->messages_.push_back(*m);
        self->cv_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<DownloadMessage> messages_;
};

class HttpTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server = new Lighttpd;
        if (!server->start()) {
            delete server;
            server = nullptr;
        }
    }
    static void TearDownTestSuite() {
        if (server)
            server->stop();
        delete server;
        server = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(server, nullptr) << "lighttpd (with mod_openssl) and openssl are needed";
        unsetenv("KORVANA_CA_FILE");
        local = dir.file("local.bin");
    }
    void TearDown() override { unsetenv("KORVANA_CA_FILE"); }

    // Sets the common parameters: no proxy, no credentials, no limit.
    void setUp(const std::string& url, uint32_t offset = 0, double rate = 0.0,
               const std::string& user = "", const std::string& password = "") {
        dl.SetParameters(rec.sink(), url, local, "", "", "", user, password, ZK_PROXY_DIRECT, false,
                         false, false, rate, offset);
    }
    bool localExists() const { return access(local.c_str(), F_OK) == 0; }

    static Lighttpd* server;
    TempDir dir;
    std::string local;
    Recorder rec;
    CHttpDownload dl;
};
Lighttpd* HttpTest::server = nullptr;

TEST_F(HttpTest, DownloadsWithPercentAndOneFinish) {
    std::vector<uint8_t> body = pattern(50000, 1);
    server->put("file.bin", body);
    for (bool synchronous : {true, false}) {
        SCOPED_TRACE(synchronous ? "synchronous" : "own thread");
        Recorder fresh;
        dl.SetParameters(fresh.sink(), server->url("file.bin"), local, "", "", "", "", "",
                         ZK_PROXY_SYSTEM, false, false, false, 0.0, 0);
        ASSERT_EQ(dl.Start(synchronous), "");
        ASSERT_TRUE(fresh.waitFinished());
        dl.Stop();
        EXPECT_EQ(fresh.end(), (std::pair<uintptr_t, intptr_t>{0, 0}));
        auto started = fresh.of(MSG_DOWNLOAD_STARTED);
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].wParam, 50000u);
        EXPECT_EQ(started[0].lParam, 0);
        EXPECT_EQ(fresh.all().front().message, MSG_DOWNLOAD_STARTED);
        auto percents = fresh.of(MSG_DOWNLOAD_PERCENT);
        ASSERT_FALSE(percents.empty());
        for (size_t i = 1; i < percents.size(); ++i)
            EXPECT_GT(percents[i].wParam, percents[i - 1].wParam);
        EXPECT_EQ(percents.back().wParam, 100u);
        EXPECT_EQ(testutil::readFile(local), body);
        EXPECT_TRUE(dl.IsFinished());
    }
}

TEST_F(HttpTest, UrlWithoutSchemeIsFetchedOverHttp) {
    server->put("plain.txt", {'o', 'k'});
    std::string bare = "127.0.0.1:" + std::to_string(server->port) + "/plain.txt";
    setUp(bare);
    ASSERT_EQ(dl.Start(true), "");
    EXPECT_EQ(dl.GetUrl(), "http://" + bare);
    EXPECT_EQ(rec.end(), (std::pair<uintptr_t, intptr_t>{0, 0}));
    EXPECT_EQ(testutil::readFile(local), (std::vector<uint8_t>{'o', 'k'}));
}

TEST_F(HttpTest, StartRefusalsPostNothing) {
    testutil::writeText(local, "old");
    struct Case {
        const char* what;
        std::string url;
        std::string file;
        bool failIfExists;
        uint32_t offset;
        std::string want;
    } cases[] = {
        {"other scheme", "ftp://127.0.0.1/x", local, false, 0,
         "Failed to parse the URL: ftp://127.0.0.1/x\n"},
        {"file scheme", "file:///etc/passwd", local, false, 0,
         "Failed to parse the URL: file:///etc/passwd\n"},
        {"empty", "", local, false, 0, "Failed to parse the URL: http://\n"},
        {"exists", server->url("x"), local, true, 0, "The file '" + local + "' already exists."},
        {"no such directory", server->url("x"), dir.file("no/such"), false, 0,
         "An error occured while opening the file to be downloaded, Error:2"},
        {"resume past the end", server->url("x"), local, false, 4,
         "An error occurred while seeking to the end of the file to be downloaded, Error:22"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dl.SetParameters(rec.sink(), c.url, c.file, "", "", "", "", "", ZK_PROXY_DIRECT,
                         c.failIfExists, false, false, 0.0, c.offset);
        EXPECT_EQ(dl.Start(false), c.want);
        dl.Stop();
    }
    EXPECT_TRUE(rec.all().empty());
}

TEST_F(HttpTest, NotFoundDeletesTheFile) {
    testutil::writeText(local, "previous content");
    setUp(server->url("missing.bin"));
    ASSERT_EQ(dl.Start(true), "");
    EXPECT_EQ(rec.end(), (std::pair<uintptr_t, intptr_t>{5, 404}));
    EXPECT_TRUE(rec.of(MSG_DOWNLOAD_STARTED).empty());
    EXPECT_FALSE(localExists());
}

TEST_F(HttpTest, ServerAuthentication) {
    std::vector<uint8_t> body = pattern(3000, 4);
    server->put("secret/f.bin", body);
    struct Case {
        const char* what;
        std::string user, password;
        std::pair<uintptr_t, intptr_t> want;
    } cases[] = {
        {"no user: the refusal is a failure, not an empty success", "", "", {5, 401}},
        {"wrong password", "u", "x", {5, 401}},
        {"right credentials", "u", "p", {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Recorder fresh;
        dl.SetParameters(fresh.sink(), server->url("secret/f.bin"), local, "", "", "", c.user,
                         c.password, ZK_PROXY_DIRECT, false, false, false, 0.0, 0);
        ASSERT_EQ(dl.Start(true), "");
        EXPECT_EQ(fresh.end(), c.want);
        if (c.want.first == 0)
            EXPECT_EQ(testutil::readFile(local), body);
        else
            EXPECT_FALSE(localExists());
    }
}

TEST_F(HttpTest, ResumeCutsTheLocalFileAndAsksForTheRest) {
    struct Case {
        size_t served, offset, localSize;
        uint32_t firstPercentAtLeast;
    } cases[] = {
        {250, 100, 250, 100},         // one piece: straight to 100
        {250000, 150000, 151000, 60}, // the kept 150000 bytes count as received
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.served);
        // A name per case: lighttpd caches what it knows of a file.
        std::string name = "resume" + std::to_string(c.served) + ".bin";
        std::vector<uint8_t> body = pattern(c.served, 9);
        server->put(name, body);
        std::vector<uint8_t> have(body.begin(), body.begin() + (long)c.offset);
        have.resize(c.localSize, 0xEE); // garbage past the resume point
        testutil::writeFile(local, have);
        Recorder fresh;
        dl.SetParameters(fresh.sink(), server->url(name), local, "", "", "", "", "",
                         ZK_PROXY_DIRECT, false, false, false, 0.0, (uint32_t)c.offset);
        ASSERT_EQ(dl.Start(true), "");
        EXPECT_EQ(fresh.end(), (std::pair<uintptr_t, intptr_t>{0, 0}));
        auto started = fresh.of(MSG_DOWNLOAD_STARTED);
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].wParam, c.served - c.offset); // the 206 reply's length
        EXPECT_EQ(started[0].lParam, (intptr_t)c.offset);
        auto percents = fresh.of(MSG_DOWNLOAD_PERCENT);
        ASSERT_FALSE(percents.empty());
        EXPECT_GE(percents.front().wParam, c.firstPercentAtLeast);
        EXPECT_EQ(percents.back().wParam, 100u);
        EXPECT_EQ(testutil::readFile(local), body);
    }
}

TEST_F(HttpTest, ResumeHeaderIsSentAndAFullReplyStartsOver) {
    // This server ignores the range and sends the whole file with 200.
    std::string body = "0123456789abcdef";
    TinyServer tiny("HTTP/1.1 200 OK\r\nContent-Length: 16\r\nConnection: close\r\n\r\n" + body,
                    false);
    testutil::writeText(local, "0123456789");
    setUp(tiny.url(), 5);
    ASSERT_EQ(dl.Start(true), "");
    EXPECT_NE(tiny.request().find("\r\nRange: bytes=5-\r\n"), std::string::npos) << tiny.request();
    EXPECT_EQ(rec.end(), (std::pair<uintptr_t, intptr_t>{0, 0}));
    auto started = rec.of(MSG_DOWNLOAD_STARTED);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].lParam, 0);
    auto got = testutil::readFile(local);
    EXPECT_EQ(std::string(got.begin(), got.end()), body);
}

TEST_F(HttpTest, ProgressMessagesAreMoreThanASecondApart) {
    // 40 bytes per millisecond over 130000 bytes: the rate limit alone makes
    // the transfer last over three seconds.
    server->put("slow.bin", pattern(130000, 3));
    setUp(server->url("slow.bin"), 0, 40.0);
    ASSERT_EQ(dl.Start(true), "");
    EXPECT_EQ(rec.end(), (std::pair<uintptr_t, intptr_t>{0, 0}));
    auto started = rec.of(MSG_DOWNLOAD_STARTED);
    auto progress = rec.of(MSG_DOWNLOAD_PROGRESS);
    ASSERT_EQ(started.size(), 1u);
    ASSERT_GE(progress.size(), 2u);
    uint32_t last = started[0].tick;
    intptr_t lastBytes = 0;
    for (const auto& m : progress) {
        EXPECT_GT((uint32_t)(m.tick - last), 1000u);
        EXPECT_GT(m.lParam, lastBytes);
        EXPECT_GT(m.wParam, 0u);
        last = m.tick;
        lastBytes = m.lParam;
    }
}

TEST_F(HttpTest, ReplyWithoutContentLength) {
    std::string body(5000, 'z');
    TinyServer tiny("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body, false);
    setUp(tiny.url());
    ASSERT_EQ(dl.Start(true), "");
    EXPECT_EQ(rec.end(), (std::pair<uintptr_t, intptr_t>{0, 0}));
    auto started = rec.of(MSG_DOWNLOAD_STARTED);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].wParam, 0u);
    EXPECT_TRUE(rec.of(MSG_DOWNLOAD_PERCENT).empty());
    EXPECT_EQ(testutil::readFile(local).size(), body.size());
}

TEST_F(HttpTest, StopEndsATransferStalledMidBody) {
    TinyServer tiny("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(3000, 'a'),
                    true);
    setUp(tiny.url());
    ASSERT_EQ(dl.Start(false), "");
    ASSERT_TRUE(rec.waitFor([](const DownloadMessage& m) {
        return m.message == MSG_DOWNLOAD_PERCENT && m.wParam == 3; // all 3000 bytes in
    }));
    dl.Stop();
    EXPECT_EQ(rec.end(), (std::pair<uintptr_t, intptr_t>{6, 0}));
    EXPECT_EQ(testutil::readFile(local).size(), 3000u); // an abort keeps what came
}

TEST_F(HttpTest, StalledServerTimesOutWithoutStop) {
    TinyServer tiny("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(10, 'a'),
                    true);
    setUp(tiny.url());
    dl.SetTimeouts(30000, 1);
    ASSERT_EQ(dl.Start(true), "");
    EXPECT_EQ(rec.end(), (std::pair<uintptr_t, intptr_t>{3, CURLE_OPERATION_TIMEDOUT}));
    EXPECT_FALSE(localExists());
}

TEST_F(HttpTest, FailureStages) {
    struct Case {
        const char* what;
        std::string reply;
        std::pair<uintptr_t, intptr_t> want;
    } cases[] = {
        {"closed without a reply", "", {2, CURLE_GOT_NOTHING}},
        {"not HTTP", "SSH-2.0-Other\r\n\r\n", {4, CURLE_UNSUPPORTED_PROTOCOL}},
        {"bad status line", "HTTP/1.1 abc\r\n\r\n", {4, CURLE_UNSUPPORTED_PROTOCOL}},
        {"server error", "HTTP/1.1 500 Oops\r\nContent-Length: 2\r\n\r\nno", {5, 500}},
        // Redirects are followed over http and https only.
        {"redirect to a file",
         "HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\n\r\n",
         {2, CURLE_UNSUPPORTED_PROTOCOL}},
        {"redirect to a closed port",
         "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" + std::to_string(freePort()) +
             "/x\r\nContent-Length: 0\r\n\r\n",
         {2, CURLE_COULDNT_CONNECT}},
        {"body cut short",
         "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc",
         {3, CURLE_PARTIAL_FILE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TinyServer tiny(c.reply, false);
        Recorder fresh;
        dl.SetParameters(fresh.sink(), tiny.url(), local, "", "", "", "", "", ZK_PROXY_DIRECT,
                         false, false, false, 0.0, 0);
        ASSERT_EQ(dl.Start(true), "");
        EXPECT_EQ(fresh.end(), c.want);
        EXPECT_FALSE(localExists());
    }
    // Nothing listens on a port just freed.
    setUp("http://127.0.0.1:" + std::to_string(freePort()) + "/x");
    ASSERT_EQ(dl.Start(true), "");
    EXPECT_EQ(rec.end(), (std::pair<uintptr_t, intptr_t>{2, CURLE_COULDNT_CONNECT}));
}

TEST_F(HttpTest, HttpsVerifiesCertificateAndHostName) {
    std::vector<uint8_t> body = pattern(20000, 7);
    server->put("tls.bin", body);
    std::string port = std::to_string(server->tlsPort);
    struct Case {
        const char* what;
        bool trustTestCa;
        std::string host;
        std::pair<uintptr_t, intptr_t> want;
    } cases[] = {
        {"unknown CA", false, "localhost", {2, CURLE_PEER_FAILED_VERIFICATION}},
        {"trusted CA", true, "localhost", {0, 0}},
        {"trusted CA, other host name", true, "127.0.0.1", {2, CURLE_PEER_FAILED_VERIFICATION}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.trustTestCa)
            setenv("KORVANA_CA_FILE", server->caFile().c_str(), 1);
        else
            unsetenv("KORVANA_CA_FILE");
        Recorder fresh;
        dl.SetParameters(fresh.sink(), "https://" + c.host + ":" + port + "/tls.bin", local, "", "",
                         "", "", "", ZK_PROXY_DIRECT, false, false, false, 0.0, 0);
        ASSERT_EQ(dl.Start(true), "");
        EXPECT_EQ(fresh.end(), c.want);
        if (c.want.first == 0)
            EXPECT_EQ(testutil::readFile(local), body);
        else
            EXPECT_FALSE(localExists());
    }
}

std::string g_log;
void captureLog(void*, const char*, int, const char*, int, int, const char* text) {
    g_log += text;
    g_log += '\n';
}

TEST_F(HttpTest, CredentialsInTheUrlAreNeverLogged) {
    server->put("secret/c.bin", {'c'});
    std::string url = server->url("secret/c.bin");
    url.insert(std::string("http://").size(), "u:p@");
    g_log.clear();
    ZK_Log_setSink(captureLog, nullptr);
    setUp(url + "?token=hush");
    std::string result = dl.Start(true);
    ZK_Log_setSink(ZK_Log_consoleSink, nullptr);
    ASSERT_EQ(result, "");
    EXPECT_EQ(rec.end(), (std::pair<uintptr_t, intptr_t>{0, 0}));
    EXPECT_NE(g_log.find("/secret/c.bin"), std::string::npos) << g_log;
    EXPECT_EQ(g_log.find("u:p"), std::string::npos) << g_log;
    EXPECT_EQ(g_log.find("hush"), std::string::npos) << g_log;
}

TEST_F(HttpTest, StopBeforeTheTransferEndsDeliversOneAbort) {
    TinyServer tiny("", true); // accepts and never answers
    setUp(tiny.url());
    ASSERT_EQ(dl.Start(false), "");
    dl.Stop();
    EXPECT_EQ(rec.end(), (std::pair<uintptr_t, intptr_t>{6, 0}));
    dl.Stop(); // a second stop changes nothing
    EXPECT_EQ(rec.all().size(), 1u);
}

} // namespace
