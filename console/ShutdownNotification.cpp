#include "console/ShutdownNotification.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

QString countdown::Text(uint32_t seconds)
{
    const uint32_t h = seconds / 3600;
    const uint32_t m = (seconds % 3600) / 60;
    const uint32_t s = seconds % 60;
    if (h > 0)
        return QString("Shutdown will occur in %1 hour(s), %2 minute(s), %3 second(s)").arg(h).arg(m).arg(s);
    if (m == 0)
        return QString("Shutdown will occur in %1 second(s)").arg(s);
    return QString("Shutdown will occur in %1 minute(s), %2 second(s)").arg(m).arg(s);
}

bool countdown::Reshows(uint32_t last, uint32_t seconds)
{
    if (last == 0)
        return true;
    const uint32_t h = seconds / 3600;
    const uint32_t m = (seconds % 3600) / 60;
    // Whole minutes since the last showing; a countdown that went up gives a large value and shows.
    const uint32_t w = (last - seconds) / 60;
    if (h >= 1 && w < 15)
        return false;
    if (h == 0 && m >= 11 && w < 5)
        return false;
    if (h == 0 && m < 11 && w == 0 && m > 1)
        return false;
    return true;
}

ShutdownNotification::ShutdownNotification()
    : QDialog(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::CustomizeWindowHint)
{
    setObjectName("shutdownAlert");
    setWindowTitle(kTitle);
    setModal(false);
    auto* layout = new QVBoxLayout(this);
    m_text = new QLabel(this);
    m_text->setObjectName("countdownText");
    m_text->setMinimumWidth(420);
    m_text->setAlignment(Qt::AlignCenter);
    QFont font = m_text->font();
    font.setPointSize(font.pointSize() + 3);
    font.setBold(true);
    m_text->setFont(font);
    m_ok = new QPushButton("OK", this);
    m_ok->setObjectName("okButton");
    m_ok->setDefault(true);
    layout->addWidget(m_text);
    layout->addWidget(m_ok, 0, Qt::AlignHCenter);
    connect(m_ok, &QPushButton::clicked, this, &QWidget::hide);
}

void ShutdownNotification::SetText(const QString& text)
{
    m_text->setText(text);
}

QString ShutdownNotification::Text() const
{
    return m_text->text();
}
