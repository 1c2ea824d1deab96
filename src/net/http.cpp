#include "net/http.h"

#include "support/clock.h"
#include "support/log.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kPiece = 1024;
constexpr uint32_t kStopWaitMs = 4000;
constexpr char kDefaultAgent[] = "Update";
constexpr char kProtocols[] = "http,https";

std::once_flag g_curlInit;

void initCurl() {
    std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string format(const char* fmt, const std::string& text) {
    char buf[2048];
    std::snprintf(buf, sizeof buf, fmt, text.c_str());
    return buf;
}

std::string format(const char* fmt, int value) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, value);
    return buf;
}

struct ParsedUrl {
    std::string request; // normalised URL
    std::string log;     // without credentials and query
};

std::string urlPart(CURLU* h, CURLUPart part, unsigned flags = 0) {
    char* value = nullptr;
    std::string out;
    if (curl_url_get(h, part, &value, flags) == CURLUE_OK && value)
        out = value;
    curl_free(value);
    return out;
}

// 1 parsed as http or https; 0 did not parse; -1 parsed with another scheme.
int parseUrl(const std::string& url, ParsedUrl* out) {
    CURLU* h = curl_url();
    if (!h)
        return 0;
    int result = 0;
    if (curl_url_set(h, CURLUPART_URL, url.c_str(), CURLU_ALLOW_SPACE | CURLU_URLENCODE) ==
        CURLUE_OK) {
        std::string scheme = urlPart(h, CURLUPART_SCHEME);
        std::string host = urlPart(h, CURLUPART_HOST);
        if (scheme != "http" && scheme != "https") {
            result = -1;
        } else if (!host.empty()) {
            out->request = urlPart(h, CURLUPART_URL);
            out->log = scheme + "://" + host + ":" +
                       urlPart(h, CURLUPART_PORT, CURLU_DEFAULT_PORT) + urlPart(h, CURLUPART_PATH);
            result = out->request.empty() ? 0 : 1;
        }
    }
    curl_url_cleanup(h);
    return result;
}

} // namespace

// State of one running transfer, shared with the client's callbacks.
struct CHttpDownload::Transfer {
    CHttpDownload* self = nullptr;
    CURL* curl = nullptr;
    bool headerSeen = false; // a whole header block has arrived
    std::string headerUrl;   // the URL that block answered
    bool started = false;    // STARTED delivered, the body is being written
    bool lengthKnown = false;
    uint64_t contentLength = 0;
    uint64_t offset = 0; // where this reply's bytes start in the local file
    uint32_t startTick = 0, lastTick = 0, lastPercent = 0;
    uint64_t received = 0, lastReceived = 0;
    int failStage = 0; // set by a callback that ended the transfer
    long failCode = 0;
};

CHttpDownload::CHttpDownload() {
    initCurl();
}

CHttpDownload::~CHttpDownload() {
    Stop();
}

void CHttpDownload::SetParameters(DownloadSink sink, const std::string& url,
                                  const std::string& localFile, const std::string& proxy,
                                  const std::string& proxyUser, const std::string& proxyPassword,
                                  const std::string& user, const std::string& password,
                                  int proxyMode, bool failIfExists, bool promptProxyCredentials,
                                  bool promptServerCredentials, double maxRate,
                                  uint32_t resumeOffset) {
    // A thread object may not be dropped while it runs.
    Stop();
    m_sink = sink;
    m_strUrl = url;
    m_strLocalFile = localFile;
    m_strProxy = proxy;
    m_strProxyUser = proxyUser;
    m_strProxyPassword = proxyPassword;
    m_strUser = user;
    m_strPassword = password;
    m_nProxyMode = proxyMode;
    m_bFailIfExists = failIfExists;
    m_bPromptProxy = promptProxyCredentials;
    m_bPromptServer = promptServerCredentials;
    m_dMaxRate = maxRate;
    m_nResumeOffset = resumeOffset;
    m_strRequestUrl.clear();
    m_strLogUrl.clear();
    m_bAbort = false;
    m_bFinished = false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bThreadDone = false;
}

void CHttpDownload::SetTimeouts(uint32_t connectMs, uint32_t stallSeconds) {
    m_nConnectMs = connectMs;
    m_nStallSeconds = stallSeconds;
}

std::string CHttpDownload::Start(bool synchronous) {
    if (m_thread.joinable()) {
        if (!m_bFinished)
            return "A download is already running.\n";
        m_thread.join();
    }
    ParsedUrl parsed;
    int parsedAs = parseUrl(m_strUrl, &parsed);
    if (parsedAs == 0) {
        m_strUrl = "http://" + m_strUrl;
        parsedAs = parseUrl(m_strUrl, &parsed);
    }
    if (parsedAs != 1)
        return format("Failed to parse the URL: %s\n", m_strUrl);
    m_strRequestUrl = parsed.request;
    m_strLogUrl = parsed.log;
    const char* ca = std::getenv("KORVANA_CA_FILE");
    m_strCaFile = ca ? ca : "";

    struct stat st;
    bool exists = ::stat(m_strLocalFile.c_str(), &st) == 0;
    if (exists && m_nResumeOffset == 0 && m_bFailIfExists)
        return format("The file '%s' already exists.", m_strLocalFile);
    CloseFile();
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (!(exists && m_nResumeOffset > 0))
        flags |= O_TRUNC;
    m_file = ::open(m_strLocalFile.c_str(), flags, 0666);
    if (m_file < 0)
        return format("An error occured while opening the file to be downloaded, Error:%d", errno);
    // A resume point past the local file's end would leave a hole of zeros
    // in the middle of the result.
    struct stat now;
    int seekError = 0;
    if (::fstat(m_file, &now) != 0)
        seekError = errno;
    else if ((uint64_t)now.st_size < m_nResumeOffset)
        seekError = EINVAL;
    else if (::lseek(m_file, (off_t)m_nResumeOffset, SEEK_SET) < 0 ||
             ::ftruncate(m_file, (off_t)m_nResumeOffset) != 0)
        seekError = errno;
    if (seekError) {
        CloseFile();
        return format("An error occurred while seeking to the end of the file to be downloaded, "
                      "Error:%d",
                      seekError);
    }

    m_bAbort = false;
    m_bFinished = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bThreadDone = false;
    }
    ZK_LOG("download %s to %s from %u", m_strLogUrl.c_str(), m_strLocalFile.c_str(),
           m_nResumeOffset);
    if (synchronous) {
        RunTransfer();
        return std::string();
    }
    try {
        m_thread = std::thread([this] {
            RunTransfer();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bThreadDone = true;
            m_cv.notify_all();
        });
    } catch (const std::system_error&) {
        CloseFile();
        return "Failed to create download thread, dialog is aborting\n";
    }
    return std::string();
}

void CHttpDownload::RequestAbort() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bAbort = true;
    m_cv.notify_all();
}

void CHttpDownload::Stop() {
    if (!m_bFinished)
        RequestAbort();
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            return; // the transfer ends by itself once it sees the abort
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_cv.wait_for(lock, std::chrono::milliseconds(kStopWaitMs),
                               [this] { return m_bThreadDone; }))
                ZK_LOG("transfer still running after %u ms; waiting for its abort", kStopWaitMs);
        }
        // Never killed: the abort hook ends it, and it uses this object.
        m_thread.join();
    }
    CloseFile();
}

void CHttpDownload::WaitForAbort(uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_bAbort.load(); });
}

void CHttpDownload::CloseFile() {
    if (m_file >= 0)
        ::close(m_file);
    m_file = -1;
}

void CHttpDownload::Post(uint32_t message, uintptr_t wParam, intptr_t lParam, uint32_t tick) {
    DownloadMessage m{message, wParam, lParam, tick};
    if (m_sink.notify)
        m_sink.notify(m_sink.user, &m);
}

void CHttpDownload::Finish(int code) {
    m_bFinished = true;
    Post(MSG_DOWNLOAD_FINISHED, (uintptr_t)code, 0, ZK_Clock_tickMs());
}

void CHttpDownload::OnTransferError(int stage, long code) {
    CloseFile();
    if (::unlink(m_strLocalFile.c_str()) != 0 && errno != ENOENT)
        ZK_LOG("cannot delete %s: %d", m_strLocalFile.c_str(), errno);
    ZK_LOG("download %s failed at stage %d (%ld)", m_strLogUrl.c_str(), stage, code);
    m_bFinished = true;
    Post(MSG_DOWNLOAD_FINISHED, (uintptr_t)stage, (intptr_t)code, ZK_Clock_tickMs());
}

void CHttpDownload::OnProgress(uint32_t startTick, uint32_t& lastTick, uint64_t received,
                               uint64_t& lastReceived, uint32_t& lastPercent, bool lengthKnown,
                               uint64_t contentLength) {
    (void)startTick;
    if (lengthKnown) {
        uint64_t total = (uint64_t)m_nResumeOffset + contentLength;
        uint64_t done = (uint64_t)m_nResumeOffset + received;
        uint32_t percent = total ? (uint32_t)(done * 100 / total) : 100;
        if (percent != lastPercent) {
            Post(MSG_DOWNLOAD_PERCENT, percent, 0, ZK_Clock_tickMs());
            lastPercent = percent;
        }
    }
    uint32_t now = ZK_Clock_tickMs();
    uint32_t elapsed = now - lastTick;
    if (elapsed <= 1000)
        return;
    double speed = ((double)(received - lastReceived) / 1024.0) / ((double)elapsed / 1000.0);
    Post(MSG_DOWNLOAD_PROGRESS, (uintptr_t)(speed * 100000.0), (intptr_t)received, now);
    lastTick = now;
    lastReceived = received;
}

bool CHttpDownload::BeginBody(Transfer& t) {
    long status = 0;
    curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200 && status != 206) {
        t.failStage = ZK_DOWNLOAD_FAIL_HTTP_STATUS;
        t.failCode = status;
        return false;
    }
    t.offset = m_nResumeOffset;
    if (m_nResumeOffset > 0 && status == 200) {
        // The server ignored the range and sends the whole file: start the
        // local file over rather than append it after the kept part.
        if (::ftruncate(m_file, 0) != 0 || ::lseek(m_file, 0, SEEK_SET) < 0) {
            t.failStage = ZK_DOWNLOAD_FAIL_TRANSFER;
            t.failCode = errno;
            return false;
        }
        ZK_LOG("server ignored the range; downloading from the start");
        m_nResumeOffset = 0;
        t.offset = 0;
    }
    curl_off_t length = -1;
    if (curl_easy_getinfo(t.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length >= 0) {
        t.lengthKnown = true;
        t.contentLength = (uint64_t)length;
    }
    Post(MSG_DOWNLOAD_STARTED, (uintptr_t)t.contentLength, (intptr_t)t.offset, ZK_Clock_tickMs());
    t.startTick = t.lastTick = ZK_Clock_tickMs();
    t.lastReceived = t.received = 0;
    t.lastPercent = 0;
    t.started = true;
    return true;
}

// Accounts for one piece already in the local file: rate limit, then progress.
bool CHttpDownload::ConsumePiece(Transfer& t, size_t bytes) {
    if (m_dMaxRate > 0) {
        uint32_t elapsed = ZK_Clock_tickMs() - t.startTick;
        double due = (double)t.received / m_dMaxRate; // ms the bytes so far may take
        if (due > (double)elapsed)
            WaitForAbort((uint32_t)(due - (double)elapsed));
    }
    t.received += bytes;
    OnProgress(t.startTick, t.lastTick, t.received, t.lastReceived, t.lastPercent, t.lengthKnown,
               t.contentLength);
    return !AbortRequested();
}

size_t CHttpDownload::WriteCallback(char* data, size_t size, size_t count, void* user) {
    Transfer& t = *static_cast<Transfer*>(user);
    CHttpDownload* self = t.self;
    size_t total = size * count;
    if (self->AbortRequested())
        return 0;
    if (!t.started && !self->BeginBody(t))
        return 0;
    if (self->AbortRequested())
        return 0;
    for (size_t done = 0; done < total;) {
        ssize_t n = ::write(self->m_file, data + done, total - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            t.failStage = ZK_DOWNLOAD_FAIL_TRANSFER;
            t.failCode = n < 0 ? errno : ENOSPC;
            return 0;
        }
        done += (size_t)n;
    }
    for (size_t done = 0; done < total; done += kPiece) {
        size_t piece = total - done < kPiece ? total - done : kPiece;
        if (!self->ConsumePiece(t, piece))
            return 0;
    }
    return total;
}

size_t CHttpDownload::HeaderCallback(char* data, size_t size, size_t count, void* user) {
    Transfer& t = *static_cast<Transfer*>(user);
    size_t total = size * count;
    if (total >= 5 && std::memcmp(data, "HTTP/", 5) == 0)
        t.headerSeen = false;
    else if ((total == 2 && data[0] == '\r' && data[1] == '\n') ||
             (total == 1 && data[0] == '\n')) {
        t.headerSeen = true;
        char* url = nullptr;
        curl_easy_getinfo(t.curl, CURLINFO_EFFECTIVE_URL, &url);
        t.headerUrl = url ? url : "";
    }
    return total;
}

int CHttpDownload::ProgressCallback(void* user, int64_t, int64_t, int64_t, int64_t) {
    return static_cast<Transfer*>(user)->self->AbortRequested() ? 1 : 0;
}

void CHttpDownload::RunTransfer() {
    CURL* curl = curl_easy_init();
    if (!curl) {
        OnTransferError(ZK_DOWNLOAD_FAIL_SETUP, CURLE_FAILED_INIT);
        return;
    }
    Transfer t;
    t.self = this;
    t.curl = curl;
    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (rc == CURLE_OK)
            rc = curl_easy_setopt(curl, option, value);
    };
    set(CURLOPT_URL, m_strRequestUrl.c_str());
    set(CURLOPT_PROTOCOLS_STR, kProtocols);
    set(CURLOPT_REDIR_PROTOCOLS_STR, kProtocols);
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, 10L);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_1_1);
    set(CURLOPT_USERAGENT, m_strUserAgent.empty() ? kDefaultAgent : m_strUserAgent.c_str());
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    if (!m_strCaFile.empty())
        set(CURLOPT_CAINFO, m_strCaFile.c_str());
    set(CURLOPT_CONNECTTIMEOUT_MS, (long)m_nConnectMs);
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, (long)m_nStallSeconds);
    set(CURLOPT_WRITEFUNCTION, &CHttpDownload::WriteCallback);
    set(CURLOPT_WRITEDATA, &t);
    set(CURLOPT_HEADERFUNCTION, &CHttpDownload::HeaderCallback);
    set(CURLOPT_HEADERDATA, &t);
    set(CURLOPT_XFERINFOFUNCTION, &CHttpDownload::ProgressCallback);
    set(CURLOPT_XFERINFODATA, &t);
    set(CURLOPT_NOPROGRESS, 0L);
    switch (m_nProxyMode) {
    case ZK_PROXY_SYSTEM:
        break; // libcurl reads the proxy environment by itself
    case ZK_PROXY_DIRECT:
        set(CURLOPT_PROXY, "");
        break;
    case ZK_PROXY_NAMED:
        set(CURLOPT_PROXY, m_strProxy.c_str());
        break;
    default:
        rc = CURLE_BAD_FUNCTION_ARGUMENT;
        break;
    }
    // Credentials are answered to a 401 or 407 challenge; the request is then
    // sent again by libcurl, and a second refusal ends the transfer.
    if (!m_strUser.empty()) {
        set(CURLOPT_USERNAME, m_strUser.c_str());
        set(CURLOPT_PASSWORD, m_strPassword.c_str());
        set(CURLOPT_HTTPAUTH, (long)CURLAUTH_ANY);
    }
    if (!m_strProxyUser.empty()) {
        set(CURLOPT_PROXYUSERNAME, m_strProxyUser.c_str());
        set(CURLOPT_PROXYPASSWORD, m_strProxyPassword.c_str());
        set(CURLOPT_PROXYAUTH, (long)CURLAUTH_ANY);
    }
    struct curl_slist* headers = curl_slist_append(nullptr, "Pragma: no-cache");
    if (m_nResumeOffset > 0) {
        char range[64];
        std::snprintf(range, sizeof range, "Range: bytes=%u-", m_nResumeOffset);
        headers = curl_slist_append(headers, range);
    }
    if (!headers && rc == CURLE_OK)
        rc = CURLE_OUT_OF_MEMORY;
    set(CURLOPT_HTTPHEADER, headers);

    if (rc != CURLE_OK) {
        OnTransferError(ZK_DOWNLOAD_FAIL_SETUP, rc);
    } else if (AbortRequested()) {
        CloseFile();
        Finish(ZK_DOWNLOAD_ABORTED);
    } else if (!CanProceed()) {
        CloseFile();
    } else {
        rc = curl_easy_perform(curl);
        if (AbortRequested()) {
            CloseFile();
            Finish(ZK_DOWNLOAD_ABORTED);
        } else if (t.failStage) {
            OnTransferError(t.failStage, t.failCode);
        } else if (rc != CURLE_OK) {
            // A redirect being followed has moved on to another URL: the
            // headers seen were those of the redirect, not of this request.
            char* url = nullptr;
            curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url);
            bool following = t.headerSeen && url && t.headerUrl != url;
            // A reply that is no HTTP at all (HTTP/0.9 is refused) has no
            // status to read.
            bool noStatus = rc == CURLE_WEIRD_SERVER_REPLY || rc == CURLE_UNSUPPORTED_PROTOCOL;
            if (t.started)
                OnTransferError(ZK_DOWNLOAD_FAIL_TRANSFER, rc);
            else if (following)
                OnTransferError(ZK_DOWNLOAD_FAIL_CONNECT, rc);
            else if (!t.headerSeen)
                OnTransferError(noStatus ? ZK_DOWNLOAD_FAIL_STATUS : ZK_DOWNLOAD_FAIL_CONNECT, rc);
            else if (BeginBody(t))
                OnTransferError(ZK_DOWNLOAD_FAIL_TRANSFER, rc);
            else
                OnTransferError(t.failStage, t.failCode);
        } else if (!t.started && !BeginBody(t)) {
            OnTransferError(t.failStage, t.failCode);
        } else {
            int closed = ::close(m_file);
            int closeError = errno;
            m_file = -1;
            if (closed != 0)
                OnTransferError(ZK_DOWNLOAD_FAIL_TRANSFER, closeError);
            else
                Finish(ZK_DOWNLOAD_OK);
        }
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
}
