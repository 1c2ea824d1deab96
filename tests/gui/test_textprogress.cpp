// The text progress bar as a real widget on the offscreen platform: what it
// shows, in which colours, and when it repaints.
#include "widgets/textprogress.h"

#include <QImage>
#include <QPaintEvent>
#include <QtTest>

namespace {

class CountingBar : public CTextProgressCtrl {
  public:
    using CTextProgressCtrl::CTextProgressCtrl;
    int paints = 0;

  protected:
    void paintEvent(QPaintEvent* event) override {
        ++paints;
        CTextProgressCtrl::paintEvent(event);
    }
};

const QColor kBar(200, 0, 0);
const QColor kRest(0, 150, 0);
const QColor kBarText(255, 255, 255);
const QColor kRestText(0, 0, 0);
const QColor kBehind(0, 0, 255);

// A shown window holding one 200 x 30 bar with colours that are easy to tell apart.
struct Harness {
    QWidget window;
    CountingBar* bar;

    Harness() : bar(new CountingBar(&window)) {
        QPalette p = window.palette();
        p.setColor(QPalette::Window, kBehind);
        window.setPalette(p);
        window.setAutoFillBackground(true);
        window.resize(220, 50);
        bar->setGeometry(10, 10, 200, 30);
        window.show();
    }
    bool ready() {
        if (!QTest::qWaitForWindowExposed(&window))
            return false;
        QCoreApplication::processEvents();
        bar->m_crBarColour = kBar;
        bar->m_crRestColour = kRest;
        bar->m_crBarTextColour = kBarText;
        bar->m_crRestTextColour = kRestText;
        return true;
    }
    QImage picture() { return bar->grab().toImage().convertToFormat(QImage::Format_RGB32); }
};

// Whether any pixel in columns [x0, x1) has exactly this colour.
bool hasColour(const QImage& image, int x0, int x1, const QColor& colour) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = x0; x < x1; ++x)
            if (image.pixelColor(x, y) == colour)
                return true;
    return false;
}

} // namespace

class TextProgressTest : public QObject {
    Q_OBJECT

  private slots:
    void startState() {
        CTextProgressCtrl bar;
        QCOMPARE(bar.m_nPos, 0);
        QCOMPARE(bar.m_nStep, 1);
        QCOMPARE(bar.m_nMax, 100);
        QCOMPARE(bar.m_nMin, 0);
        QVERIFY(bar.m_strText.isEmpty());
        QCOMPARE(bar.m_bShowText, 1);
        QCOMPARE(bar.m_nLastWidth, -1);
        const QPalette& p = bar.palette();
        QCOMPARE(bar.m_crBarColour, p.color(QPalette::Highlight));
        QCOMPARE(bar.m_crRestColour, p.color(QPalette::Dark));
        QCOMPARE(bar.m_crRestTextColour, p.color(QPalette::ButtonText));
        QCOMPARE(bar.m_crBarTextColour, p.color(QPalette::HighlightedText));
    }

    void setPosReturnsThePreviousPosition() {
        CTextProgressCtrl bar;
        QCOMPARE(bar.SetPos(40), 0);
        QCOMPARE(bar.SetPos(-7), 40);
        QCOMPARE(bar.SetPos(250), -7);
        QCOMPARE(bar.GetPos(), 250);
        QCOMPARE(bar.SetStep(10), 1);
        bar.SetPos(5);
        QCOMPARE(bar.StepIt(), 5);
        QCOMPARE(bar.OffsetPos(-3), 15);
        QCOMPARE(bar.GetPos(), 12);
        bar.SetPos(INT_MAX);
        bar.OffsetPos(1); // held at the end instead of wrapping
        QCOMPARE(bar.GetPos(), INT_MAX);
    }

    void repaintsOnlyWhenTheFilledWidthChanges() {
        Harness h;
        QVERIFY(h.ready());
        CountingBar& bar = *h.bar;
        bar.m_nMax = 1000; // 200 px over 1000 steps: one pixel every five
        struct Step {
            int pos;
            bool repaint;
        } steps[] = {
            {1, true},   // first request after start: lastWidth was -1
            {1, false},  // same position
            {4, false},  // 0.8 px, still width 0
            {5, true},   // width 1
            {9, false},  // width 1
            {500, true}, // width 100
            {0, true},   // back to empty
        };
        for (const Step& s : steps) {
            const int before = bar.paints;
            bar.SetPos(s.pos);
            // Immediate: the repaint happens inside SetPos, not later.
            QCOMPARE(bar.paints, before + (s.repaint ? 1 : 0));
            QCoreApplication::processEvents();
            QCOMPARE(bar.paints, before + (s.repaint ? 1 : 0));
            QCOMPARE(bar.m_nLastWidth, bar.FilledWidth());
        }
    }

    void resizeMakesTheNextSetPosRepaint() {
        Harness h;
        QVERIFY(h.ready());
        CountingBar& bar = *h.bar;
        bar.SetPos(50);
        QCOMPARE(bar.m_nLastWidth, 100);
        bar.resize(200, 20); // same width: the reset does not depend on it
        QCOMPARE(bar.m_nLastWidth, -1);
        const int before = bar.paints;
        bar.SetPos(50);
        QCOMPARE(bar.paints, before + 1);
        QCOMPARE(bar.m_nLastWidth, 100);
        bar.resize(100, 20);
        bar.SetPos(50);
        QCOMPARE(bar.m_nLastWidth, 50);
    }

    void displayText_data() {
        QTest::addColumn<int>("min");
        QTest::addColumn<int>("max");
        QTest::addColumn<int>("pos");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<int>("showText");
        QTest::addColumn<QString>("expected");
        QTest::newRow("at min") << 0 << 100 << 0 << "" << 1 << "0%";
        QTest::newRow("at max") << 0 << 100 << 100 << "" << 1 << "100%";
        QTest::newRow("two thirds truncated") << 0 << 3 << 2 << "" << 1 << "66%";
        QTest::newRow("1 of 200 truncated") << 0 << 200 << 1 << "" << 1 << "0%";
        QTest::newRow("29 of 100 exact") << 0 << 100 << 29 << "" << 1 << "29%";
        QTest::newRow("57 of 100 exact") << 0 << 100 << 57 << "" << 1 << "57%";
        QTest::newRow("negative range") << -50 << 50 << 0 << "" << 1 << "50%";
        QTest::newRow("past max") << 0 << 100 << 150 << "" << 1 << "100%";
        QTest::newRow("below min") << 0 << 100 << -20 << "" << 1 << "0%";
        QTest::newRow("whole int range") << INT_MIN << INT_MAX << 0 << "" << 1 << "50%";
        QTest::newRow("caption") << 0 << 100 << 40 << "Writing voice" << 1 << "Writing voice";
        QTest::newRow("no text") << 0 << 100 << 40 << "Writing voice" << 0 << "";
    }
    void displayText() {
        QFETCH(int, min);
        QFETCH(int, max);
        QFETCH(int, pos);
        QFETCH(QString, caption);
        QFETCH(int, showText);
        QFETCH(QString, expected);
        CTextProgressCtrl bar;
        bar.SetRange(min, max);
        bar.SetPos(pos);
        bar.setWindowTitle(caption);
        bar.m_bShowText = showText;
        QCOMPARE(bar.DisplayText(), expected);
    }

    void captionGoesThroughTheWindowText() {
        Harness h;
        QVERIFY(h.ready());
        CountingBar& bar = *h.bar;
        bar.SetPos(40);
        int before = bar.paints;
        bar.SetWindowText(QStringLiteral("Extracting"));
        QCOMPARE(bar.GetWindowText(), QStringLiteral("Extracting"));
        QCOMPARE(bar.windowTitle(), QStringLiteral("Extracting"));
        QCOMPARE(bar.DisplayText(), QStringLiteral("Extracting"));
        QTRY_VERIFY(bar.paints > before);
        bar.setWindowTitle(QString());
        QVERIFY(bar.GetWindowText().isEmpty());
        QCOMPARE(bar.DisplayText(), QStringLiteral("40%"));
        // The same caption again asks for no repaint.
        bar.setWindowTitle(QStringLiteral("Same"));
        QTRY_VERIFY(bar.paints > before);
        QCoreApplication::processEvents();
        before = bar.paints;
        bar.setWindowTitle(QStringLiteral("Same"));
        QCoreApplication::processEvents();
        QCOMPARE(bar.paints, before);
    }

    void barAndRestMeetAtTheFilledWidth_data() {
        QTest::addColumn<int>("max");
        QTest::addColumn<int>("pos");
        QTest::addColumn<int>("filled");
        QTest::newRow("40%") << 100 << 40 << 80;
        QTest::newRow("empty") << 100 << 0 << 0;
        QTest::newRow("full") << 100 << 100 << 200;
        QTest::newRow("two thirds") << 3 << 2 << 133;
        QTest::newRow("past max") << 100 << 150 << 200;
        QTest::newRow("below min") << 100 << -20 << 0;
    }
    void barAndRestMeetAtTheFilledWidth() {
        QFETCH(int, max);
        QFETCH(int, pos);
        QFETCH(int, filled);
        Harness h;
        QVERIFY(h.ready());
        h.bar->m_bShowText = 0;
        h.bar->m_nMax = max;
        h.bar->SetPos(pos);
        QCOMPARE(h.bar->FilledWidth(), filled);
        const QImage image = h.picture();
        QCOMPARE(image.width(), 200);
        for (int y : {0, 15, 29}) {
            if (filled > 0) {
                QCOMPARE(image.pixelColor(0, y), kBar);
                QCOMPARE(image.pixelColor(filled - 1, y), kBar);
            }
            if (filled < 200) {
                QCOMPARE(image.pixelColor(filled, y), kRest);
                QCOMPARE(image.pixelColor(199, y), kRest);
            }
        }
    }

    void textChangesColourWhereTheBarEnds() {
        Harness h;
        QVERIFY(h.ready());
        CTextProgressCtrl& bar = *h.bar;
        QFont big = bar.font();
        big.setPixelSize(22);
        big.setBold(true);
        bar.setFont(big);
        bar.SetWindowText(QStringLiteral("MMMMMMMMMM"));
        bar.SetPos(50);
        const QImage image = h.picture();
        // The caption is centred over the whole bar, so it spans the boundary at 100 px.
        QVERIFY(hasColour(image, 0, 100, kBarText));
        QVERIFY(!hasColour(image, 0, 100, kRestText));
        QVERIFY(hasColour(image, 100, 200, kRestText));
        QVERIFY(!hasColour(image, 100, 200, kBarText));
        // Centred vertically: the rows at the edges carry no text.
        QCOMPARE(image.pixelColor(99, 0), kBar);
        QCOMPARE(image.pixelColor(100, 29), kRest);
    }

    void nothingIsDrawnWhenMinIsNotBelowMax_data() {
        QTest::addColumn<int>("min");
        QTest::addColumn<int>("max");
        QTest::newRow("equal") << 50 << 50;
        QTest::newRow("reversed") << 100 << 0;
    }
    void nothingIsDrawnWhenMinIsNotBelowMax() {
        QFETCH(int, min);
        QFETCH(int, max);
        Harness h;
        QVERIFY(h.ready());
        h.bar->SetRange(min, max);
        h.bar->SetPos(60);
        QCOMPARE(h.bar->FilledWidth(), 0);
        h.bar->repaint();
        // What shows is the window behind the bar, untouched.
        const QImage image = h.window.grab().toImage().convertToFormat(QImage::Format_RGB32);
        for (int y = 10; y < 40; ++y)
            for (int x = 10; x < 210; ++x)
                QCOMPARE(image.pixelColor(x, y), kBehind);
    }
};

QTEST_MAIN(TextProgressTest)
#include "test_textprogress.moc"
