#include "console/MessageBoxSink.h"

#include <QMessageBox>
#include <QShowEvent>

#include "console/DialogPlacement.h"

namespace {

// Its size is final only once its own show handling has laid it out: it centres itself then, before the
// window maps.
class CenteredMessageBox : public QMessageBox {
public:
    CenteredMessageBox(QWidget* owner, const QString& caption, const QString& text, StandardButtons buttons)
        : QMessageBox(QMessageBox::Warning, caption, text, buttons, owner), m_owner(owner)
    {
    }

protected:
    void showEvent(QShowEvent* event) override
    {
        QMessageBox::showEvent(event);
        CenterOverOwner(this, m_owner);
    }

private:
    QWidget* m_owner;
};

}  // namespace

void QtMessageBoxSink::Show(QWidget* parent, const QString& caption, const QString& text)
{
    CenteredMessageBox box(parent, caption, text, QMessageBox::Ok);
    box.exec();
}

bool QtMessageBoxSink::Ask(QWidget* parent, const QString& caption, const QString& text)
{
    // The console asks only before changes that reset the engine's event reactions or drop edits: a
    // warning, and Enter alone does not take it.
    CenteredMessageBox box(parent, caption, text, QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}
