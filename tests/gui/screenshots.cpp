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
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
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
    void about(QWidget* parent, const QString& caption, const QString& text,
               const QString& ok) override {
        auto* box =
            new QMessageBox(QMessageBox::Information, caption, text, QMessageBox::Ok, parent);
        box->button(QMessageBox::Ok)->setText(ok);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->show();
        aboutBox = box;
    }
    QMessageBox* last = nullptr;
    QMessageBox* aboutBox = nullptr;
    bool showAbout = false;
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
    QPixmap grabbed = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    // Xvfb runs no window manager: draw the title bar, since the title is
    // where the window shows the device's state.
    const int bar = 26;
    QPixmap shot(grabbed.width(), grabbed.height() + bar);
    shot.fill(QColor(48, 52, 58));
    QPainter p(&shot);
    p.drawPixmap(0, bar, grabbed);
    p.setPen(Qt::white);
    QFont font = window->font();
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRect(10, 0, shot.width() - 20, bar), Qt::AlignVCenter | Qt::AlignLeft,
               window->windowTitle());
    p.end();
    QString path = dir + "/" + name + ".png";
    bool ok = !grabbed.isNull() && shot.save(path);
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
    QTemporaryDir work;
    QString package = work.filePath("sample.dzk");
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

    // The About box carries the Chinese texts: they must render, not as boxes.
    seam.showAbout = true;
    QMetaObject::invokeMethod(
        &window, [&] { window.runAbout(); }, Qt::QueuedConnection);
    ok &= waitFor([&] { return seam.aboutBox != nullptr; });
    ok &= shoot(dir, "about", seam.aboutBox);
    seam.aboutBox->close();

    window.setProgressPosition(10000);
    window.setProgressText("Updated 100.00%   Time 2 Second");
    window.showResult(true, "Update Successfully!");
    ok &= shoot(dir, "success", &window);
    if (seam.last)
        seam.last->close();
    return ok ? 0 : 1;
}
