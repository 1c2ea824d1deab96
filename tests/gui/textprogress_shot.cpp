// Shows the progress bar at 40 % with a caption and saves what the screen
// shows to a PNG, to check the two-colour text by eye under a real X server:
//   xvfb-run -a build/tests/gui/textprogress_shot /tmp/bar.png [CAPTION]
#include "widgets/textprogress.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png [CAPTION]\n", argv[0]);
        return 2;
    }
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* bar = new CTextProgressCtrl(&window);
    layout->addWidget(bar);
    window.resize(420, 60);
    window.show();
    bar->SetWindowText(argc > 2 ? QString::fromUtf8(argv[2])
                                : QStringLiteral("Writing voice data, please do not unplug"));
    bar->SetPos(40);

    // Wait until the window is on screen and painted, then take the screen's pixels.
    while (!window.windowHandle() || !window.windowHandle()->isExposed())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
    bar->repaint();
    QPixmap shot = QGuiApplication::platformName() == QLatin1String("offscreen")
                       ? window.grab()
                       : window.screen()->grabWindow(window.winId());
    if (!shot.save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
