// The main window over the simulator, driven as a user would: states and
// title, open and drop, a full update, removal and closing during one, and
// the single instance. Boxes and file dialogs go through a recording seam.
#include "app/korvanaapp.h"
#include "app/korvanadlg.h"
#include "package/sample.h"
#include "widgets/textprogress.h"

#include <QGroupBox>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

struct Box {
    QString text, caption;
    UiSeam::Icon icon;
};

class RecordingSeam : public UiSeam {
  public:
    QList<Box> boxes;
    QString openAnswer, saveAnswer;
    int saves = 0;
    bool messageBox(QWidget*, const QString& text, const QString& caption, Icon icon,
                    bool) override {
        boxes.append({text, caption, icon});
        return true;
    }
    QString openFileName(QWidget*, const QString&) override { return openAnswer; }
    QString saveFileName(QWidget*, const QString&, const QString&) override {
        ++saves;
        return saveAnswer;
    }
    void about(QWidget*, const QString& caption, const QString& text, const QString& ok) override {
        boxes.append({text + "|" + ok, caption, Information});
    }
};

QPushButton* button(CKorvanaDlg& w, const char* id) {
    return w.findChild<QPushButton*>(id);
}

void dropFile(CKorvanaDlg& w, const QString& path) {
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(path)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &enter);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &drop);
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir dir;
    QString sample;
    KorvanaOptions simulated() {
        KorvanaOptions o;
        o.session.simulate = true;
        return o;
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        qputenv("XDG_RUNTIME_DIR", dir.path().toLocal8Bit());
        ZK_App_initProcess(nullptr, nullptr);
        sample = dir.filePath("sample.dzk");
        QVERIFY(ZK_Sample_build(sample.toLocal8Bit().constData()));
    }

    void startsWithoutDevice() {
        RecordingSeam seam;
        CKorvanaDlg w(KorvanaOptions{}, &seam);
        QCOMPARE(w.windowTitle(), QString("Update Tool   No hardware connected!"));
        QVERIFY(!button(w, "1000")->isEnabled());
        QVERIFY(!button(w, "1002")->isEnabled());
        QVERIFY(button(w, "1006")->isEnabled());
        QCOMPARE(button(w, "1002")->text(), QString("Update"));
        QCOMPARE(w.findChild<QGroupBox*>("1012")->title(), QString("Update the File"));
        // The update button without a device tells so.
        QMetaObject::invokeMethod(button(w, "1002"), "click");
        QVERIFY(seam.boxes.isEmpty()); // disabled: the click does nothing
    }

    void followsArrivalRemovalAndTheDiskForm() {
        RecordingSeam seam;
        CKorvanaDlg w(simulated(), &seam);
        QVERIFY(w.windowTitle().startsWith("Update Tool   GPS Connected   V:"));
        QVERIFY(button(w, "1000")->isEnabled());
        QVERIFY(!button(w, "1002")->isEnabled()); // nothing to write yet
        w.simulateUnplug();
        QTRY_COMPARE(w.windowTitle(), QString("Update Tool   No hardware connected!"));
        QVERIFY(!button(w, "1000")->isEnabled());
        w.simulatePlug();
        QTRY_VERIFY(w.windowTitle().startsWith("Update Tool   GPS Connected"));
        w.simulateDiskForm();
        QTRY_COMPARE(w.windowTitle(), QString("Update Tool   GPS Connecting..."));
        // The delayed search finds the device once it is back as HID.
        QTRY_VERIFY_WITH_TIMEOUT(w.windowTitle().startsWith("Update Tool   GPS Connected"), 15000);
    }

    void packageChosenWithoutDeviceWaitsForOne() {
        RecordingSeam seam;
        seam.openAnswer = sample;
        CKorvanaDlg w(simulated(), &seam);
        w.simulateUnplug();
        QTRY_COMPARE(w.statusView().state, (int)ZK_DEVICE_NONE);
        QMetaObject::invokeMethod(button(w, "1006"), "click");
        QCOMPARE(w.findChild<QLabel*>("1032")->text(), sample);
        QVERIFY(!button(w, "1002")->isEnabled());
        w.simulatePlug();
        QTRY_VERIFY(button(w, "1002")->isEnabled());
    }

    void dropsTakeOnlyPackages() {
        RecordingSeam seam;
        CKorvanaDlg w(simulated(), &seam);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        dropFile(w, dir.filePath("notes.txt"));
        QCOMPARE(w.findChild<QLabel*>("1032")->text(), QString());
        dropFile(w, dir.filePath("X.DZK"));
        QCOMPARE(w.findChild<QLabel*>("1032")->text(), dir.filePath("X.DZK"));
        QVERIFY(button(w, "1002")->isEnabled());
    }

    void fullUpdateShowsProgressAndOneBox() {
        RecordingSeam seam;
        CKorvanaDlg w(simulated(), &seam);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.takePackage(sample);
        QSet<QString> texts;
        auto* bar = w.progressBar();
        QTimer probe;
        connect(&probe, &QTimer::timeout, [&] { texts.insert(bar->GetWindowText()); });
        probe.start(1);
        QMetaObject::invokeMethod(button(w, "1002"), "click");
        QVERIFY(w.workerRunning());
        // A drop while the worker runs is ignored.
        dropFile(w, dir.filePath("other.dzk"));
        QCOMPARE(w.findChild<QLabel*>("1032")->text(), sample);
        QTRY_VERIFY_WITH_TIMEOUT(!w.workerRunning(), 30000);
        QCOMPARE(seam.boxes.size(), 1);
        QCOMPARE(seam.boxes[0].text, QString("Update Successfully!"));
        QCOMPARE(seam.boxes[0].caption, QString("Update Tool"));
        QCOMPARE(seam.boxes[0].icon, UiSeam::Information);
        QVERIFY(bar->GetWindowText().startsWith("Updated 100.00%"));
        QVERIFY(button(w, "1002")->isEnabled());
        QVERIFY(w.windowTitle().startsWith("Update Tool   GPS Connected   V:"));
    }

    void removalDuringAnUpdateEndsItWithItsFailure() {
        RecordingSeam seam;
        KorvanaOptions o = simulated();
        o.session.simFaults = {"disconnect:3000"};
        CKorvanaDlg w(o, &seam);
        w.takePackage(sample);
        QMetaObject::invokeMethod(button(w, "1002"), "click");
        QTRY_VERIFY_WITH_TIMEOUT(!w.workerRunning(), 30000);
        QCOMPARE(seam.boxes.size(), 1);
        QVERIFY2(seam.boxes[0].text.startsWith("Update Failed!  -"),
                 qPrintable(seam.boxes[0].text));
        QCOMPARE(seam.boxes[0].caption, QString());
        QTRY_COMPARE(w.windowTitle(), QString("Update Tool   No hardware connected!"));
    }

    // Closing while the worker waits for the window (its first sent message
    // is never handled): no box, no deadlock, and nothing more is written.
    void closingDuringAnUpdateNeverBlocks() {
        RecordingSeam seam;
        auto* w = new CKorvanaDlg(simulated(), &seam);
        w->takePackage(sample);
        QMetaObject::invokeMethod(button(*w, "1002"), "click");
        QVERIFY(w->workerRunning());
        w->close(); // without running the event loop first
        QVERIFY(!w->workerRunning());
        QVERIFY(seam.boxes.isEmpty());
        delete w;
    }

    void aboutAndCommands() {
        RecordingSeam seam;
        CKorvanaDlg w(simulated(), &seam);
        seam.saveAnswer = dir.filePath("dump.txt");
        w.runCommand(10000);
        QCOMPARE(seam.boxes.last().text, QString("Write Ok!"));
        QVERIFY(QFile::exists(seam.saveAnswer));
        seam.saveAnswer = dir.filePath("server.bin");
        w.runCommand(10001);
        QCOMPARE(seam.boxes.last().text, QString("Write Ok!"));
        QCOMPARE(seam.boxes.last().caption, QString("Tips"));
        w.simulateUnplug();
        QTRY_COMPARE(w.statusView().state, (int)ZK_DEVICE_NONE);
        w.runCommand(10000);
        QCOMPARE(seam.boxes.last().text, QString("   No hardware connected!"));
    }

    // A second start hands its request to the first; a lock or a socket left
    // by a crashed instance never keeps the tool from starting.
    void singleInstance() {
        QString lock = CKorvanaApp::runtimeDir() + "/" + KORVANA_LOCK_NAME;
        QString socket = CKorvanaApp::runtimeDir() + "/KORVANA_CLASS";
        {
            QFile stale(lock);
            QVERIFY(stale.open(QIODevice::WriteOnly));
            QFile staleSocket(socket);
            QVERIFY(staleSocket.open(QIODevice::WriteOnly));
        }
        RecordingSeam seam;
        CKorvanaDlg w(simulated(), &seam);
        CKorvanaApp first;
        QVERIFY(first.takeLock());
        QVERIFY(first.listen(&w));
        CKorvanaApp second;
        QVERIFY(!second.takeLock());

        std::atomic<int> sent{-1};
        std::thread other([&] { sent = CKorvanaApp::sendToRunning("open " + sample) ? 1 : 0; });
        QTRY_COMPARE(w.findChild<QLabel*>("1032")->text(), sample);
        other.join();
        QCOMPARE(sent.load(), 1);

        seam.saveAnswer = dir.filePath("dump2.txt");
        std::thread command([&] { sent = CKorvanaApp::sendToRunning("command 10000") ? 1 : 0; });
        QTRY_COMPARE(seam.saves, 1);
        command.join();
        QVERIFY(QFile::exists(seam.saveAnswer));
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
