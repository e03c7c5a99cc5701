#include "console/CDlgAgentLogin.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

CDlgAgentLogin::CDlgAgentLogin(Probe probe, QWidget* parent) : QDialog(parent), m_probe(std::move(probe))
{
    setObjectName("loginDialog");
    setWindowTitle("Vigilon Shutdown Agent Login");
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    auto* label = new QLabel("Password:", this);
    m_edit = new QLineEdit(this);
    m_edit->setObjectName("passwordEdit");
    m_edit->setEchoMode(QLineEdit::Password);
    m_edit->setMaxLength(kMaxPassword);
    label->setBuddy(m_edit);
    row->addWidget(label);
    row->addWidget(m_edit);
    layout->addLayout(row);
    auto* buttons = new QHBoxLayout;
    m_ok = new QPushButton("OK", this);
    m_ok->setObjectName("okButton");
    m_ok->setEnabled(false);
    m_ok->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("cancelButton");
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(m_ok, &QPushButton::clicked, this, &CDlgAgentLogin::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_edit, &QLineEdit::textChanged, this, &CDlgAgentLogin::OnPasswordChange);
}

void CDlgAgentLogin::OnPasswordChange()
{
    m_ok->setEnabled(!m_probing && !m_edit->text().isEmpty());
}

void CDlgAgentLogin::OnOK()
{
    if (m_probing || m_edit->text().isEmpty())
        return;
    const QString text = m_edit->text().left(kMaxPassword);
    m_probing = true;
    m_ok->setEnabled(false);
    m_edit->setEnabled(false);
    QPointer<CDlgAgentLogin> self(this);
    m_probe(text, [self, text](bool ok) {
        if (!self)
            return;
        self->m_probing = false;
        self->m_edit->setEnabled(true);
        if (ok) {
            self->m_password = text;
            self->accept();
            return;
        }
        self->m_edit->clear();
        if (--self->m_attemptsLeft <= 0)
            self->reject();
        else
            self->m_edit->setFocus();
    });
}
