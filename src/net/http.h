// The resumable HTTP/HTTPS downloader behind the version check and the
// package download.
//
// CHttpDownload fetches one URL into one local file, on the caller's thread
// or on a thread of its own, and reports through a message sink: the window
// posts the messages to itself, the command line prints them. Messages are
// delivered on the transfer's thread. Every transfer that Start began ends
// with exactly one MSG_DOWNLOAD_FINISHED (unless CanProceed refuses it).
//
// HTTPS always verifies the server's certificate and host name against the
// system's CA store, or against the PEM bundle named by the environment
// variable KORVANA_CA_FILE when it is set. Only http and https are fetched,
// redirects included. Credentials in a URL never reach the log.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// Message numbers and payloads, as the window receives them.
inline constexpr uint32_t MSG_DOWNLOAD_FINISHED = 0x8051; // end code, ZK_DownloadEnd's value
inline constexpr uint32_t MSG_DOWNLOAD_STARTED = 0x8052;  // Content-Length (0: none), offset
inline constexpr uint32_t MSG_DOWNLOAD_PERCENT = 0x8053;  // whole percent, 0
inline constexpr uint32_t MSG_DOWNLOAD_PROGRESS = 0x8054; // KB/s * 100000, bytes received

// End codes (wParam of MSG_DOWNLOAD_FINISHED) and what lParam then holds.
enum ZK_DownloadEnd {
    ZK_DOWNLOAD_OK = 0,               // lParam 0
    ZK_DOWNLOAD_FAIL_SETUP = 1,       // client set-up, unsupported proxy mode: CURLcode
    ZK_DOWNLOAD_FAIL_CONNECT = 2,     // resolving, connecting, TLS, sending: CURLcode
    ZK_DOWNLOAD_FAIL_TRANSFER = 3,    // reading the body: CURLcode; writing the file: errno
    ZK_DOWNLOAD_FAIL_STATUS = 4,      // no readable status line: CURLcode
    ZK_DOWNLOAD_FAIL_HTTP_STATUS = 5, // a status other than 200 and 206: the status
    ZK_DOWNLOAD_ABORTED = 6,          // lParam 0; what was written is kept
};

// Proxy modes.
enum ZK_DownloadProxy {
    ZK_PROXY_SYSTEM = 0, // the environment's proxy settings (http_proxy and the like)
    ZK_PROXY_DIRECT = 1,
    ZK_PROXY_NAMED = 2,
};

// One message. `tick` is the monotonic millisecond tick (ZK_Clock_tickMs)
// at which it was made; the progress message carries the tick its speed was
// measured at.
struct DownloadMessage {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
    uint32_t tick;
};

// Receives every message, on the transfer's thread; must not call Stop.
typedef void (*ZK_DownloadNotify)(void* user, const DownloadMessage* message);
struct DownloadSink {
    ZK_DownloadNotify notify; // none: messages are dropped
    void* user;
};

class CHttpDownload {
  public:
    CHttpDownload();
    // Stops a running transfer first (see Stop).
    virtual ~CHttpDownload();
    CHttpDownload(const CHttpDownload&) = delete;
    CHttpDownload& operator=(const CHttpDownload&) = delete;

    // Stores the values for the next Start and clears the flags. `maxRate` is
    // in bytes per millisecond (0 or less: no limit); `resumeOffset` continues
    // the local file from that byte (0: a fresh file). The prompt flags are
    // kept for callers that have a window to prompt from; this class never
    // prompts. A transfer still running is stopped first. The user agent is
    // not touched.
    void SetParameters(DownloadSink sink, const std::string& url, const std::string& localFile,
                       const std::string& proxy, const std::string& proxyUser,
                       const std::string& proxyPassword, const std::string& user,
                       const std::string& password, int proxyMode, bool failIfExists,
                       bool promptProxyCredentials, bool promptServerCredentials, double maxRate,
                       uint32_t resumeOffset);
    // Empty: the transfer was started (synchronous: it has ended and its
    // FINISHED message was delivered). Otherwise the reason, and nothing was
    // started or delivered.
    [[nodiscard]] std::string Start(bool synchronous);
    // Requests an abort unless the transfer has finished, waits for the
    // transfer thread (it notices the abort within about a second, even
    // against a server that sends nothing; a wait past 4000 ms is logged)
    // and closes the local file if Start left it open. Never call it from
    // the sink.
    void Stop();
    // Only asks the transfer to end (code 6); does not wait.
    void RequestAbort();

    bool IsFinished() const { return m_bFinished.load(); }
    // The URL as fetched ("http://" put in front when it had no scheme).
    const std::string& GetUrl() const { return m_strUrl; }
    // Empty means "Update".
    void SetUserAgent(const std::string& agent) { m_strUserAgent = agent; }
    // A connection not made within `connectMs`, or a reply that brings no
    // byte for `stallSeconds`, fails (stage 2 or 3). Defaults 30000 and 60.
    void SetTimeouts(uint32_t connectMs, uint32_t stallSeconds);

  protected:
    // Asked once before the transfer starts; false ends it without a message.
    virtual bool CanProceed() { return true; }
    // Closes and deletes the local file, then delivers FINISHED (stage, code).
    virtual void OnTransferError(int stage, long code);
    virtual void RunTransfer();
    // Percent and speed report after each piece of at most 1024 bytes.
    virtual void OnProgress(uint32_t startTick, uint32_t& lastTick, uint64_t received,
                            uint64_t& lastReceived, uint32_t& lastPercent, bool lengthKnown,
                            uint64_t contentLength);
    void Post(uint32_t message, uintptr_t wParam, intptr_t lParam, uint32_t tick);

  private:
    struct Transfer;
    static size_t WriteCallback(char* data, size_t size, size_t count, void* user);
    static size_t HeaderCallback(char* data, size_t size, size_t count, void* user);
    static int ProgressCallback(void* user, int64_t, int64_t, int64_t, int64_t);
    bool BeginBody(Transfer& t);
    bool ConsumePiece(Transfer& t, size_t bytes);
    void Finish(int code);
    void CloseFile();
    bool AbortRequested() const { return m_bAbort.load(); }
    // Sleeps up to `ms`, waking early on an abort.
    void WaitForAbort(uint32_t ms);

    DownloadSink m_sink{};
    std::string m_strUrl, m_strLocalFile, m_strProxy, m_strProxyUser, m_strProxyPassword;
    std::string m_strUser, m_strPassword, m_strUserAgent;
    int m_nProxyMode = 0;
    bool m_bFailIfExists = false;
    bool m_bPromptProxy = false, m_bPromptServer = false;
    double m_dMaxRate = 0.0;
    uint32_t m_nResumeOffset = 0;
    // The parsed URL.
    std::string m_strRequestUrl; // normalised, as handed to the client
    std::string m_strLogUrl;     // scheme, host, port and path only
    std::string m_strCaFile;     // KORVANA_CA_FILE when Start ran
    uint32_t m_nConnectMs = 30000, m_nStallSeconds = 60;

    std::atomic<bool> m_bAbort{false};
    std::atomic<bool> m_bFinished{false};
    int m_file = -1;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bThreadDone = false; // guarded by m_mutex
};
