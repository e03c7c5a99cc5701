#include "console/MessageBoxSink.h"

#include <QMessageBox>

void QtMessageBoxSink::Show(QWidget* parent, const QString& caption, const QString& text)
{
    QMessageBox::warning(parent, caption, text, QMessageBox::Ok);
}

bool QtMessageBoxSink::Ask(QWidget* parent, const QString& caption, const QString& text)
{
    // The console asks only before changes that reset the engine's event reactions: a warning, and Enter
    // alone does not take it.
    return QMessageBox::warning(parent, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
}
