#pragma once
// CDlgAgentLogin: the password dialog. The password is the engine's community: OK probes the engine with
// it (through the probe function, which answers later on the GUI thread). A wrong password empties the
// edit; the third ends the dialog as rejected. An engine that is not running at all is said to be so (it
// cannot refuse anything) and does not use up an attempt. While a probe runs (up to about 8 s) the dialog says so and
// the edit keeps the focus, so another Enter does nothing.
//
// Threads: GUI thread only.

#include <QDialog>

#include <QString>

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
    static constexpr const char* kEngineNotRunning = "The engine is not running on this host: no password can be checked.";
    // An engine on another host that did not answer: a wrong password and an unreachable engine look alike.
    static constexpr const char* kNoAnswer = "The engine did not answer: the password is wrong or the engine cannot be reached.";
    // What a probe found: accepted, or why not (refused when why is empty).
    struct Answer {
        Answer(bool accepted) : ok(accepted) {}
        Answer(bool accepted, QString reason, bool attempt) : ok(accepted), why(std::move(reason)), counts(attempt) {}
        bool ok = false;
        QString why;
        bool counts = true;  // the failure uses up an attempt
    };
    // probe(password, done): done(true) when the engine accepted it.
    using Probe = std::function<void(const QString&, std::function<void(Answer)>)>;

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
