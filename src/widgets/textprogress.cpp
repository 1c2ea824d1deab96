#include "widgets/textprogress.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QPalette>

#include <algorithm>
#include <cstdint>

namespace {

// Share of the range covered, as the exact integer part of
// (pos - min) * scale / (max - min), with pos held inside the range. Integer
// arithmetic, because the floating form turns 29 of 100 into 28%.
int scaledShare(int pos, int min, int max, int scale) {
    if (min >= max || scale <= 0)
        return 0;
    const int64_t span = (int64_t)max - min;
    const int64_t done = std::clamp<int64_t>((int64_t)pos - min, 0, span);
    return (int)(done * scale / span);
}

} // namespace

CTextProgressCtrl::CTextProgressCtrl(QWidget* parent) : QWidget(parent) {
    takePaletteColours();
}

CTextProgressCtrl::~CTextProgressCtrl() = default;

void CTextProgressCtrl::takePaletteColours() {
    const QPalette& p = palette();
    m_crBarColour = p.color(QPalette::Highlight);
    m_crRestColour = p.color(QPalette::Dark);
    m_crRestTextColour = p.color(QPalette::ButtonText);
    m_crBarTextColour = p.color(QPalette::HighlightedText);
}

int CTextProgressCtrl::FilledWidth() const {
    return scaledShare(m_nPos, m_nMin, m_nMax, width());
}

QString CTextProgressCtrl::DisplayText() const {
    if (!m_bShowText)
        return QString();
    if (!m_strText.isEmpty())
        return m_strText;
    return QString::asprintf("%d%%", scaledShare(m_nPos, m_nMin, m_nMax, 100));
}

int CTextProgressCtrl::SetPos(int pos) {
    const int old = m_nPos;
    m_nPos = pos;
    const int filled = FilledWidth();
    if (filled != m_nLastWidth) {
        m_nLastWidth = filled;
        repaint();
    }
    return old;
}

int CTextProgressCtrl::OffsetPos(int delta) {
    return SetPos((int)std::clamp<int64_t>((int64_t)m_nPos + delta, INT32_MIN, INT32_MAX));
}

int CTextProgressCtrl::StepIt() {
    return OffsetPos(m_nStep);
}

int CTextProgressCtrl::SetStep(int step) {
    const int old = m_nStep;
    m_nStep = step;
    return old;
}

void CTextProgressCtrl::SetRange(int lower, int upper) {
    m_nMin = lower;
    m_nMax = upper;
}

QSize CTextProgressCtrl::sizeHint() const {
    const QFontMetrics fm(font());
    return QSize(fm.horizontalAdvance(QStringLiteral("100%")) * 6, fm.height() + 8);
}

void CTextProgressCtrl::paintEvent(QPaintEvent*) {
    if (m_nMin >= m_nMax)
        return;
    // The widget's backing store already double-buffers; one painter suffices.
    QPainter painter(this);
    const QRect client = rect();
    const int filled = FilledWidth();
    const QRect bar(client.left(), client.top(), filled, client.height());
    const QRect rest(client.left() + filled, client.top(), client.width() - filled,
                     client.height());
    painter.fillRect(bar, m_crBarColour);
    painter.fillRect(rest, m_crRestColour);

    const QString text = DisplayText();
    if (text.isEmpty())
        return;
    const int flags = Qt::AlignCenter | Qt::TextSingleLine;
    painter.setFont(font());
    // Each part shows only its own slice of the text; an empty part shows none.
    if (!bar.isEmpty()) {
        painter.setClipRect(bar);
        painter.setPen(m_crBarTextColour);
        painter.drawText(client, flags, text);
    }
    if (!rest.isEmpty()) {
        painter.setClipRect(rest);
        painter.setPen(m_crRestTextColour);
        painter.drawText(client, flags, text);
    }
}

void CTextProgressCtrl::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_nLastWidth = -1;
}

void CTextProgressCtrl::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    switch (event->type()) {
    case QEvent::WindowTitleChange:
        // QString compares a null text equal to an empty one.
        if (windowTitle() != m_strText) {
            m_strText = windowTitle();
            update();
        }
        break;
    case QEvent::PaletteChange:
        takePaletteColours();
        update();
        break;
    default:
        break;
    }
}
