#pragma once
// ShutdownNotification: the shutdown alert "Vigilon Shutdown Alert", a top-most window of its own (no
// owner), shown whatever the tray and the main window do. OK hides it. The countdown rules that decide its
// text and when a closed alert shows again live beside it.
//
// Threads: GUI thread only.

#include <QDialog>
#include <QString>

#include <cstdint>

class QLabel;
class QPushButton;

namespace countdown {

// "Shutdown will occur in ..." with hours, minutes and seconds as the countdown needs them.
QString Text(uint32_t seconds);
// Whether a countdown notice of seconds shows the alert again after the one last shown at last (0: none
// shown yet, which always shows). A closed alert comes back every 15 minutes while an hour or more is left,
// every 5 minutes down to 11 minutes, every minute below that, and on every notice in the last 2 minutes.
bool Reshows(uint32_t last, uint32_t seconds);

}  // namespace countdown

class ShutdownNotification : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kTitle = "Vigilon Shutdown Alert";

    ShutdownNotification();

    void SetText(const QString& text);
    QString Text() const;
    QPushButton* OkButton() const { return m_ok; }

private:
    QLabel* m_text = nullptr;
    QPushButton* m_ok = nullptr;
};
