// A progress bar that draws its own text over the bar: the caller's caption,
// or the percentage when there is none. The text is drawn twice, clipped to
// the filled part and to the rest, so it changes colour where the bar passes
// under it.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

class CTextProgressCtrl : public QWidget {
    Q_OBJECT

  public:
    // The parent (when given) owns the widget, as for any Qt widget; use it
    // from the GUI thread only (other threads post their progress to the
    // window). Colours start from the widget's palette and follow later
    // palette changes: Highlight for the filled part, HighlightedText for the
    // text over it, Dark (the button shadow) for the rest, ButtonText over it.
    explicit CTextProgressCtrl(QWidget* parent = nullptr);
    ~CTextProgressCtrl() override;

    // Stores the position and returns the previous one. Repaints at once, but
    // only when the filled width in pixels changes; a position that moves the
    // bar by less than a pixel is stored and drawn with the next repaint.
    // Positions outside [m_nMin, m_nMax] are stored as given and drawn as the
    // nearer end (empty bar and 0%, or full bar and 100%).
    int SetPos(int pos);
    int GetPos() const { return m_nPos; }
    // SetPos(position + delta) and SetPos(position + step); both return the old position.
    int OffsetPos(int delta);
    int StepIt();
    // Stores the step size and returns the previous one.
    int SetStep(int step);
    // Stores the range only, like assigning m_nMin and m_nMax; the next SetPos
    // or paint uses it. A range whose minimum is not below its maximum draws nothing.
    void SetRange(int lower, int upper);

    // The caption is the widget's window text (QWidget's windowTitle, which a
    // child widget keeps without showing): SetWindowText or setWindowTitle
    // stores it and repaints when it differs; an empty text brings the
    // percentage back. GetWindowText returns the stored caption.
    void SetWindowText(const QString& text) { setWindowTitle(text); }
    QString GetWindowText() const { return m_strText; }

    // The filled width in pixels for the current position and width.
    int FilledWidth() const;
    // The text the bar shows now ("" when m_bShowText is 0).
    QString DisplayText() const;

    QSize sizeHint() const override;

    // State, in the order the control keeps it; callers may store m_nMin and
    // m_nMax directly (nothing is repainted by that alone).
    int m_nPos = 0;
    int m_nStep = 1; // step size of StepIt
    int m_nMax = 100;
    int m_nMin = 0;
    QString m_strText;         // caption drawn instead of the percentage when not empty
    int m_bShowText = 1;       // draw text at all
    int m_nLastWidth = -1;     // filled width at the last repaint request; -1 forces the next
    QColor m_crBarColour;      // filled part
    QColor m_crRestColour;     // unfilled part
    QColor m_crRestTextColour; // text over the unfilled part
    QColor m_crBarTextColour;  // text over the filled part

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void takePaletteColours();
};
