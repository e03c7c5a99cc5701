#include "console/CDlgAgentLogin.h"

#include <algorithm>

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/DialogPlacement.h"

CDlgAgentLogin::CDlgAgentLogin(Probe probe, QWidget* parent) : QDialog(parent), m_probe(std::move(probe))
{
    setObjectName("loginDialog");
    setWindowTitle(kTitle);
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
    m_status = new QLabel(this);
    m_status->setObjectName("statusLabel");
    layout->addWidget(m_status);
    auto* buttons = new QHBoxLayout;
    m_ok = new QPushButton("OK", this);
    m_ok->setObjectName("okButton");
    m_ok->setEnabled(false);
    m_ok->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("cancelButton");
    // Enter never means Cancel, wherever the focus is.
    cancel->setAutoDefault(false);
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(m_ok, &QPushButton::clicked, this, &CDlgAgentLogin::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_edit, &QLineEdit::textChanged, this, &CDlgAgentLogin::OnPasswordChange);
    // Wide enough for its title beside the title bar's buttons, and for the status line.
    int status = 0;
    for (const char* text : {kChecking, kRefused, kEngineNotRunning, kNoAnswer})
        status = std::max(status, m_status->fontMetrics().horizontalAdvance(text));
    setMinimumWidth(std::max({MinimumWidthForTitle(kTitle),
                              status + 2 * layout->contentsMargins().left(), sizeHint().width()}));
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
    // Read-only, not disabled: the focus stays in the edit (a disabled one hands it to the next button).
    m_edit->setReadOnly(true);
    m_status->setText(kChecking);
    QPointer<CDlgAgentLogin> self(this);
    m_probe(text, [self, text](Answer answer) {
        if (!self)
            return;
        self->m_probing = false;
        self->m_edit->setReadOnly(false);
        if (answer.ok) {
            self->m_password = text;
            self->accept();
            return;
        }
        self->m_edit->clear();
        self->m_status->setText(answer.why.isEmpty() ? QString(kRefused) : answer.why);
        if (answer.counts && --self->m_attemptsLeft <= 0)
            self->reject();
        else
            self->m_edit->setFocus();
    });
}
