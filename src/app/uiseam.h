// The one place where the window asks the user something: message boxes and
// file dialogs. Tests put their own in (answering at once and recording what
// was shown); the logic around them stays the same.
#pragma once

#include <QString>

class QWidget;

class UiSeam {
  public:
    enum Icon { NoIcon, Information, Error, Question };
    virtual ~UiSeam() = default;
    // A modal box; returns true for OK/Yes. `yesNo` gives Yes and No buttons.
    virtual bool messageBox(QWidget* parent, const QString& text, const QString& caption, Icon icon,
                            bool yesNo);
    // The path chosen, or empty when cancelled. `filters` as QFileDialog takes them.
    virtual QString openFileName(QWidget* parent, const QString& filters);
    virtual QString saveFileName(QWidget* parent, const QString& filters,
                                 const QString& defaultSuffix);
    // The About box: the window's icon, `text` and one `ok` button.
    virtual void about(QWidget* parent, const QString& caption, const QString& text,
                       const QString& ok);
};
