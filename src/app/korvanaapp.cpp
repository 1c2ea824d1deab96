#include "app/korvanaapp.h"

#include "support/log.h"
#include "support/str.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QUrl>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

QString socketPath(const char* name) {
    return CKorvanaApp::runtimeDir() + "/" + name;
}

} // namespace

CKorvanaApp::CKorvanaApp() = default;

CKorvanaApp::~CKorvanaApp() {
    m_server.reset();
    if (m_lockFd >= 0)
        close(m_lockFd);
}

QString CKorvanaApp::runtimeDir() {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) {
        char temp[ZK_PATH_TEMP_CAPACITY];
        if (ZK_Path_temp(temp, nullptr))
            dir = QString::fromLocal8Bit(temp);
    }
    while (dir.endsWith('/') && dir.size() > 1)
        dir.chop(1);
    return dir;
}

bool CKorvanaApp::takeLock() {
    QByteArray path = (runtimeDir() + "/" + KORVANA_LOCK_NAME).toLocal8Bit();
    m_lockFd = open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_lockFd < 0) {
        // Like a mutex that cannot be created: start normally.
        ZK_LOG("cannot open the instance lock %s: %s", path.constData(), strerror(errno));
        return true;
    }
    if (flock(m_lockFd, LOCK_EX | LOCK_NB) == 0)
        return true;
    close(m_lockFd);
    m_lockFd = -1;
    return false;
}

bool CKorvanaApp::sendToRunning(const QString& request, int timeoutMs) {
    for (const char* name : KORVANA_WINDOW_CLASSES) {
        QLocalSocket socket;
        socket.connectToServer(socketPath(name));
        if (!socket.waitForConnected(timeoutMs))
            continue;
        if (socket.write((request + "\n").toUtf8()) < 0)
            continue;
        // Written out (flush may already have done it), then the answer that
        // it was taken; a sibling that only reads is fine too.
        while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(timeoutMs)) {
        }
        if (socket.bytesToWrite() > 0)
            continue;
        socket.waitForReadyRead(timeoutMs);
        socket.disconnectFromServer();
        return true;
    }
    return false;
}

bool CKorvanaApp::listen(CKorvanaDlg* window) {
    m_window = window;
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QString path = socketPath(KORVANA_WINDOW_CLASSES[0]);
    // We hold the lock, so a socket file left here is a crashed instance's.
    QLocalServer::removeServer(path);
    if (!m_server->listen(path)) {
        ZK_LOG("cannot listen on %s", path.toLocal8Bit().constData());
        return false;
    }
    QObject::connect(m_server.get(), &QLocalServer::newConnection, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket,
                             &QLocalSocket::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                while (socket->canReadLine()) {
                    QString line = QString::fromUtf8(socket->readLine()).trimmed();
                    socket->write("ok\n");
                    handle(line);
                }
            });
        }
    });
    return true;
}

void CKorvanaApp::handle(const QString& request) {
    if (!m_window)
        return;
    m_window->bringToFront();
    if (request.startsWith("command "))
        m_window->runCommand(request.mid(8).toInt());
    else if (request.startsWith("open "))
        m_window->takePackage(request.mid(5));
}

bool Korvana_parseCommandLine(const QStringList& args, KorvanaCommandLine* out, QString* error) {
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&](QString* v) {
            if (i + 1 >= args.size()) {
                *error = a + " needs a value";
                return false;
            }
            *v = args[++i];
            return true;
        };
        QString v;
        if (a == "--help" || a == "-h") {
            out->help = true;
        } else if (a == "--simulate") {
            out->options.session.simulate = true;
        } else if (a.startsWith("--simulate=")) {
            out->options.session.simulate = true;
            out->options.session.simFlashFile = a.mid(11).toStdString();
        } else if (a == "--sim-profile") {
            if (!value(&v))
                return false;
            out->options.session.simProfile = v.toStdString();
        } else if (a == "--sim-fault") {
            if (!value(&v))
                return false;
            out->options.session.simFaults.push_back(v.toStdString());
        } else if (a == "--command") {
            if (!value(&v))
                return false;
            out->command = v.toInt();
            if (out->command != 10000 && out->command != 10001) {
                *error = "--command takes 10000 (information dump) or 10001 (server data)";
                return false;
            }
        } else if (a.startsWith("-") && a != "-") {
            *error = "unknown option " + a;
            return false;
        } else if (out->options.package.isEmpty()) {
            // A package given as a file or a file:// URL (as a file manager passes it).
            QUrl url(a);
            out->options.package =
                url.isLocalFile() ? url.toLocalFile() : QFileInfo(a).absoluteFilePath();
        } else {
            *error = "only one package can be given";
            return false;
        }
    }
    if (!out->options.session.simulate &&
        (!out->options.session.simFlashFile.empty() ||
         out->options.session.simProfile != "new-502" || !out->options.session.simFaults.empty())) {
        *error = "--sim-profile and --sim-fault need --simulate";
        return false;
    }
    return true;
}

int Korvana_main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("korvana");
    QApplication::setDesktopFileName("io.github.korvana.Update");
    KorvanaCommandLine cmd;
    QString error;
    if (!Korvana_parseCommandLine(QApplication::arguments(), &cmd, &error)) {
        std::fprintf(stderr, "korvana: %s (see korvana --help)\n", error.toLocal8Bit().constData());
        return 2;
    }
    if (cmd.help) {
        std::printf("Usage: korvana [PACKAGE.dzk] [--simulate[=FLASHFILE]] [--sim-profile NAME]\n"
                    "               [--sim-fault FAULT]... [--command 10000|10001]\n"
                    "Updates and configures the Korvana GPS speed-camera warner.\n"
                    "A second start brings the running window to the front; with a package\n"
                    "it hands the package to it, with --command it runs the information dump\n"
                    "(10000) or the server-data copy (10001) there.\n");
        return 0;
    }
    ZK_App_initProcess(std::getenv("KORVANA_LOG") ? ZK_Log_consoleSink : nullptr, nullptr);

    CKorvanaApp instance;
    if (!instance.takeLock()) {
        QString request = cmd.command                      ? QString("command %1").arg(cmd.command)
                          : !cmd.options.package.isEmpty() ? "open " + cmd.options.package
                                                           : QString("raise");
        // No window found although the lock is held: another tool is starting
        // or ending; end quietly.
        (void)CKorvanaApp::sendToRunning(request);
        return 0;
    }
    if (cmd.command) {
        std::fprintf(stderr, "korvana: no running window to send command %d to\n", cmd.command);
        return 1;
    }
    CKorvanaDlg window(cmd.options);
    instance.listen(&window);
    window.show();
    return app.exec();
}
