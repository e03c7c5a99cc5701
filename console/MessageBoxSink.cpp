#include "console/MessageBoxSink.h"

#include <QMessageBox>

void QtMessageBoxSink::Show(QWidget* parent, const QString& caption, const QString& text)
{
    QMessageBox::warning(parent, caption, text, QMessageBox::Ok);
}

bool QtMessageBoxSink::Ask(QWidget* parent, const QString& caption, const QString& text)
{
    return QMessageBox::question(parent, caption, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}
