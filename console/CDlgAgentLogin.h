#pragma once
// CDlgAgentLogin: the password dialog. The password is the engine's community: OK probes the engine with
// it (through the probe function, which answers later on the GUI thread). A wrong password empties the
// edit; the third ends the dialog as rejected.
//
// Threads: GUI thread only.

#include <QDialog>

#include <functional>

class QLineEdit;
class QPushButton;

class CDlgAgentLogin : public QDialog {
    Q_OBJECT
public:
    static constexpr int kAttempts = 3;
    static constexpr int kMaxPassword = 15;
    // probe(password, done): done(true) when the engine accepted it.
    using Probe = std::function<void(const QString&, std::function<void(bool)>)>;

    CDlgAgentLogin(Probe probe, QWidget* parent = nullptr);
    int AttemptsLeft() const { return m_attemptsLeft; }
    QString Password() const { return m_password; }

private:
    void OnOK();
    void OnPasswordChange();

    Probe m_probe;
    QLineEdit* m_edit = nullptr;
    QPushButton* m_ok = nullptr;
    int m_attemptsLeft = kAttempts;
    bool m_probing = false;
    QString m_password;
};
