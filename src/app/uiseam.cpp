#include "app/uiseam.h"

#include <QDialog>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

bool UiSeam::messageBox(QWidget* parent, const QString& text, const QString& caption, Icon icon,
                        bool yesNo) {
    QMessageBox box(parent);
    box.setText(text);
    box.setWindowTitle(caption);
    switch (icon) {
    case Information:
        box.setIcon(QMessageBox::Information);
        break;
    case Error:
        box.setIcon(QMessageBox::Critical);
        break;
    case Question:
        box.setIcon(QMessageBox::Question);
        break;
    default:
        box.setIcon(QMessageBox::NoIcon);
        break;
    }
    box.setStandardButtons(yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
    int answer = box.exec();
    return answer == QMessageBox::Ok || answer == QMessageBox::Yes;
}

QString UiSeam::openFileName(QWidget* parent, const QString& filters) {
    return QFileDialog::getOpenFileName(parent, QString(), QString(), filters);
}

QString UiSeam::saveFileName(QWidget* parent, const QString& filters,
                             const QString& defaultSuffix) {
    QFileDialog dialog(parent, QString(), QString(), filters);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(defaultSuffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

void UiSeam::about(QWidget* parent, const QString& caption, const QString& text,
                   const QString& ok) {
    QDialog dialog(parent);
    dialog.setWindowTitle(caption);
    auto* icon = new QLabel(&dialog);
    if (parent)
        icon->setPixmap(parent->windowIcon().pixmap(32, 32));
    auto* label = new QLabel(text, &dialog);
    auto* button = new QPushButton(ok, &dialog);
    button->setDefault(true);
    QObject::connect(button, &QPushButton::clicked, &dialog, &QDialog::accept);
    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addWidget(label, 1);
    auto* column = new QVBoxLayout(&dialog);
    column->addLayout(row);
    column->addWidget(button, 0, Qt::AlignRight);
    dialog.exec();
}
