// Takes a screenshot of each state of the main window from the X server's
// screen (run under xvfb-run): no device, connecting, connected, updating at
// about 40 %, the success box, and the settings button disabled while no
// device is there. Usage: korvana_screenshots OUTDIR
#include "app/korvanadlg.h"
#include "package/sample.h"
#include "widgets/textprogress.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

// Boxes are shown without blocking, so that they can be photographed.
class ShownSeam : public UiSeam {
  public:
    bool messageBox(QWidget* parent, const QString& text, const QString& caption, Icon icon,
                    bool) override {
        auto* box = new QMessageBox(parent);
        box->setText(text);
        box->setWindowTitle(caption);
        box->setIcon(icon == Information ? QMessageBox::Information
                     : icon == Error     ? QMessageBox::Critical
                                         : QMessageBox::NoIcon);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->show();
        last = box;
        return true;
    }
    QMessageBox* last = nullptr;
};

void settle(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool waitFor(const std::function<bool()>& condition, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!condition() && t.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return condition();
}

bool shoot(const QString& dir, const char* name, QWidget* window) {
    settle(300);
    QScreen* screen = QGuiApplication::primaryScreen();
    QRect area = window->frameGeometry().adjusted(-8, -8, 8, 8);
    QPixmap shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    QString path = dir + "/" + name + ".png";
    bool ok = !shot.isNull() && shot.save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", path.toLocal8Bit().constData());
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: korvana_screenshots OUTDIR\n");
        return 2;
    }
    QString dir = argv[1];
    QDir().mkpath(dir);
    QString package = dir + "/.sample.dzk";
    if (!ZK_Sample_build(package.toLocal8Bit().constData()))
        return 1;
    ZK_App_initProcess(nullptr, nullptr);
    bool ok = true;
    ShownSeam seam;

    KorvanaOptions options;
    options.session.simulate = true;
    CKorvanaDlg window(options, &seam);
    window.move(40, 40);
    window.show();
    ok &= waitFor([&] { return window.statusView().state == ZK_DEVICE_CONNECTED; });

    window.simulateUnplug();
    ok &= waitFor([&] { return window.statusView().state == ZK_DEVICE_NONE; });
    ok &= shoot(dir, "no-device", &window);
    ok &= shoot(dir, "settings-disabled", window.findChild<QPushButton*>("1000")->window());

    window.simulatePlug();
    ok &= waitFor([&] { return window.statusView().state == ZK_DEVICE_CONNECTED; });
    window.simulateDiskForm();
    ok &= waitFor([&] { return window.statusView().state == ZK_DEVICE_CONNECTING; });
    ok &= shoot(dir, "connecting", &window);
    ok &= waitFor([&] { return window.statusView().state == ZK_DEVICE_CONNECTED; });

    window.takePackage(package);
    ok &= shoot(dir, "main", &window);

    // The worker's view at about 40 %, as its progress messages set it.
    window.setButtonsEnabled(false);
    window.setProgressRange(10000);
    window.setProgressPosition(4012);
    window.setProgressText("Updated 40.12%   Time 1 Second");
    ok &= shoot(dir, "updating", &window);

    window.setProgressPosition(10000);
    window.setProgressText("Updated 100.00%   Time 2 Second");
    window.showResult(true, "Update Successfully!");
    ok &= shoot(dir, "success", &window);
    if (seam.last)
        seam.last->close();
    QFile::remove(package);
    return ok ? 0 : 1;
}
