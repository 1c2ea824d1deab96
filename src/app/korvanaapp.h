// The application object: one running tool per user. A second start finds
// the first (or a sibling tool of the maker) through its local socket, asks
// it to come to the front or to run a command or take a package, and ends.
#pragma once

#include "app/korvanadlg.h"

#include <QLocalServer>
#include <QString>
#include <QStringList>

#include <memory>

// The lock's and the sockets' names, in the per-user runtime directory.
inline constexpr char KORVANA_LOCK_NAME[] = "ZK_APP_ONE_HANDLE";
inline const char* const KORVANA_WINDOW_CLASSES[] = {"KORVANA_CLASS", "KORVANA_PROG_CLASS",
                                                     "KORVANA_DATA_CLASS"};

class CKorvanaApp {
  public:
    CKorvanaApp();
    ~CKorvanaApp(); // ExitInstance: closes the server, then the lock

    // The per-user directory that holds the lock and the sockets.
    static QString runtimeDir();

    // Takes the lock. True: this is the first instance. False: another holds
    // it (a lock left by a crashed instance is free again: the lock is an
    // flock on an open file, which the system drops with its process).
    bool takeLock();
    // Second instance: hands `request` ("raise", "command 10000", "open PATH")
    // to the first window found in class order. True when one took it.
    static bool sendToRunning(const QString& request, int timeoutMs = 2000);
    // First instance: serves the requests for `window` on "KORVANA_CLASS"
    // (a stale socket file of a crashed instance is replaced).
    bool listen(CKorvanaDlg* window);

  private:
    void handle(const QString& request);

    int m_lockFd = -1;
    std::unique_ptr<QLocalServer> m_server;
    CKorvanaDlg* m_window = nullptr;
};

// The command line of `korvana`: KorvanaOptions plus the requests for a
// running instance. Returns false with *error for bad usage.
struct KorvanaCommandLine {
    KorvanaOptions options;
    int command = 0; // --command 10000|10001
    bool help = false;
};
[[nodiscard]] bool Korvana_parseCommandLine(const QStringList& arguments, KorvanaCommandLine* out,
                                            QString* error);
// Runs the tool: 0, or 1 when it could not start; 2 for bad usage.
int Korvana_main(int argc, char** argv);
