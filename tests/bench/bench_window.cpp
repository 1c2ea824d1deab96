// The window's costs (run by hand, not by CI):
//   bench_window latency PACKAGE   event-loop latency of the window's thread
//                                  during a full simulated update (max, p99)
//   bench_window cpu PACKAGE       CPU time of the update through the window
//   bench_window paint             time from the start of main to the first
//                                  paint of the window (one start; repeat it)
// Use QT_QPA_PLATFORM=offscreen for latency and cpu, a real X server (xvfb-run)
// for paint.
#include "app/korvanadlg.h"
#include "widgets/textprogress.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

namespace {

class QuietSeam : public UiSeam {
  public:
    bool messageBox(QWidget*, const QString&, const QString&, Icon, bool) override { return true; }
};

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class PaintProbe : public QObject {
  public:
    QElapsedTimer* clock;
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Paint) {
            std::printf("first paint after %.1f ms\n", clock->nsecsElapsed() / 1e6);
            QMetaObject::invokeMethod(qApp, "quit", Qt::QueuedConnection);
            o->removeEventFilter(this);
        }
        return false;
    }
};

} // namespace

int main(int argc, char** argv) {
    QElapsedTimer sinceStart;
    sinceStart.start();
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    std::string mode = argv[1];
    ZK_App_initProcess(nullptr, nullptr);
    QuietSeam seam;
    KorvanaOptions options;
    options.session.simulate = true;

    if (mode == "paint") {
        CKorvanaDlg window(options, &seam);
        PaintProbe probe;
        probe.clock = &sinceStart;
        window.installEventFilter(&probe);
        window.show();
        return app.exec();
    }
    if (argc < 3)
        return 2;
    CKorvanaDlg window(options, &seam);
    window.takePackage(argv[2]);
    std::vector<double> late;
    QElapsedTimer tick;
    QTimer probe;
    if (mode == "latency") {
        // A 5 ms timer: how much later than due it fires is how long the
        // window's thread was busy.
        probe.setTimerType(Qt::PreciseTimer);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            late.push_back(std::max(0.0, tick.nsecsElapsed() / 1e6 - 5.0));
            tick.restart();
        });
        tick.start();
        probe.start(5);
    }
    double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QMetaObject::invokeMethod(window.findChild<QPushButton*>("1002"), "click");
    // Wait in the event loop (a busy loop here would count as the window's CPU).
    QEventLoop loop;
    QTimer done;
    QObject::connect(&done, &QTimer::timeout, [&] {
        if (!window.workerRunning())
            loop.quit();
    });
    done.start(10);
    loop.exec();
    double cpu = cpuSeconds() - cpu0;
    std::printf("update: wall %.3f s, CPU %.3f s, bar text \"%s\"\n", wall.nsecsElapsed() / 1e9,
                cpu, window.progressBar()->GetWindowText().toUtf8().constData());
    if (mode == "latency" && !late.empty()) {
        std::sort(late.begin(), late.end());
        std::printf("event-loop lateness over %zu probes: max %.2f ms, p99 %.2f ms\n", late.size(),
                    late.back(), late[late.size() * 99 / 100]);
    }
    return 0;
}
