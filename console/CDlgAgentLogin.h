#pragma once
// CDlgAgentLogin: the password dialog. The password is the engine's community: OK probes the engine with
// it (through the probe function, which answers later on the GUI thread). A wrong password empties the
// edit; the third ends the dialog as rejected. While a probe runs (up to about 8 s) the dialog says so and
// the edit keeps the focus, so another Enter does nothing.
//
// Threads: GUI thread only.

#include <QDialog>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

class CDlgAgentLogin : public QDialog {
    Q_OBJECT
public:
    static constexpr int kAttempts = 3;
    static constexpr int kMaxPassword = 15;
    static constexpr const char* kTitle = "Vigilon Shutdown Agent Login";
    static constexpr const char* kChecking = "Checking the password with the engine...";
    static constexpr const char* kRefused = "The engine did not accept the password.";
    // The room a title bar takes beside its text: the icon and the window buttons.
    static constexpr int kTitleBarAllowance = 140;
    // probe(password, done): done(true) when the engine accepted it.
    using Probe = std::function<void(const QString&, std::function<void(bool)>)>;

    CDlgAgentLogin(Probe probe, QWidget* parent = nullptr);
    int AttemptsLeft() const { return m_attemptsLeft; }
    QString Password() const { return m_password; }
    bool Probing() const { return m_probing; }

private:
    void OnOK();
    void OnPasswordChange();

    Probe m_probe;
    QLineEdit* m_edit = nullptr;
    QPushButton* m_ok = nullptr;
    QLabel* m_status = nullptr;
    int m_attemptsLeft = kAttempts;
    bool m_probing = false;
    QString m_password;
};
