#include "console/DialogPlacement.h"

#include <QApplication>
#include <QFontMetrics>
#include <QScreen>
#include <QWidget>

namespace {

// The room a title bar takes beside its text: the icon and the window buttons.
constexpr int kTitleBarAllowance = 140;

}  // namespace

void CenterOverOwner(QWidget* dialog, QWidget* owner)
{
    QRect area;
    if (owner && owner->isVisible()) {
        area = owner->frameGeometry();
    } else {
        QScreen* screen = owner && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
        if (!screen)
            return;
        area = screen->availableGeometry();
    }
    dialog->move(area.center() - QPoint(dialog->width() / 2, dialog->height() / 2));
}

int MinimumWidthForTitle(const QString& title)
{
    QFont font = QApplication::font();
    font.setBold(true);
    return QFontMetrics(font).horizontalAdvance(title) + kTitleBarAllowance;
}
