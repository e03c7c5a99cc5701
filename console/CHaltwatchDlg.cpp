#include "console/CHaltwatchDlg.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/ConsoleOids.h"
#include "console/ConsoleSession.h"
#include "console/DialogPlacement.h"
#include "console/DiscoveryDialogs.h"
#include "console/DiscoveryProber.h"
#include "console/EngineWorker.h"
#include "console/ShutdownNotification.h"
#include "console/MessageBoxSink.h"
#include "console/SnmpListener.h"

using namespace console_oid;

namespace {

QIcon StatusIcon(const QColor& color, bool locked = false)
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(color);
    p.setPen(QPen(Qt::black, 2));
    p.drawEllipse(3, 3, 26, 26);
    if (locked) {
        p.setBrush(Qt::white);
        p.drawRect(10, 15, 12, 9);
        p.setBrush(Qt::NoBrush);
        p.drawArc(12, 8, 8, 12, 0, 180 * 16);
    }
    return QIcon(pixmap);
}

// An up-down without digits: it only steps (its value rests at 0).
class StepButtons : public QSpinBox {
public:
    using QSpinBox::QSpinBox;

protected:
    QString textFromValue(int) const override { return QString(); }
};

QLineEdit* ReadOnlyEdit(QWidget* parent, const QString& name)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setReadOnly(true);
    return edit;
}

bool ParseAddress(const std::string& text, int octets[4])
{
    return std::sscanf(text.c_str(), "%d.%d.%d.%d", &octets[0], &octets[1], &octets[2], &octets[3]) == 4;
}

// The sub-identifiers of an enterprise notification varbind after E, when it begins with prefix.
bool Under(const TrapVarbindRecord& vb, const SnmpOid& prefix)
{
    return vb.oid.size() > prefix.size() && std::equal(prefix.begin(), prefix.end(), vb.oid.begin());
}

}  // namespace

CHaltwatchDlg::CHaltwatchDlg(IConsoleSession& session, EngineWorker& worker, IMessageBoxSink& messages,
                             SnmpThread* snmpThread, const MainWindowSettings& settings)
    : QWidget(nullptr), m_session(session), m_worker(worker), m_messages(messages), m_snmpThread(snmpThread),
      m_settings(settings)
{
    setObjectName("mainWindow");
    setWindowTitle(kTitle);
    m_icons[0] = StatusIcon(QColor(40, 170, 60));
    m_icons[1] = StatusIcon(QColor(240, 200, 0));
    m_icons[2] = StatusIcon(QColor(220, 30, 30));
    for (int i = 3; i <= 7; ++i)
        m_icons[i] = StatusIcon(QColor(140, 140, 140));
    m_icons[8] = StatusIcon(QColor(60, 60, 140), true);
    setWindowIcon(m_icons[0]);
    m_alert = std::make_unique<ShutdownNotification>();
    m_alert->setWindowIcon(m_icons[2]);
    m_prober = std::make_unique<DiscoveryProber>(m_worker.Transport());
    BuildControls();
    m_countdownWatch.setSingleShot(true);
    m_countdownWatch.setInterval(m_settings.countdownSilenceMs);
    connect(&m_countdownWatch, &QTimer::timeout, this, &CHaltwatchDlg::OnCountdownSilent);
    // The next keep-alive is armed when the last one has answered: the engine never sees two closer than
    // the interval, and a slow engine does not pile them up.
    m_keepAlive.setInterval(m_settings.keepAliveMs);
    m_keepAlive.setSingleShot(true);
    m_keepAlive.setTimerType(Qt::PreciseTimer);
    connect(&m_keepAlive, &QTimer::timeout, this, [this] { m_worker.KeepAlive(PolledDevices()); });
    connect(&m_worker, &EngineWorker::keepAliveDone, this, [this](bool ok, const StatusPoll& poll) {
        if (!m_sessionOpen || m_tornDown)
            return;
        if (!ok) {
            SetEngineReachable(false);
        } else {
            if (!m_engineReachable)
                Refresh();
            ApplyPoll(poll);
        }
        m_keepAlive.start();
    });
    connect(&m_worker, &EngineWorker::refreshed, this, &CHaltwatchDlg::OnRefreshed);
}

CHaltwatchDlg::~CHaltwatchDlg()
{
    // The discovery dialogs hold this window's model: end them while it is whole.
    delete m_agentDiscovery.data();
    Teardown();
}

void CHaltwatchDlg::BuildControls()
{
    auto* top = new QVBoxLayout(this);
    m_unreachableNote = new QLabel(kUnreachableNote, this);
    m_unreachableNote->setObjectName("unreachableNote");
    m_unreachableNote->setWordWrap(true);
    m_unreachableNote->setStyleSheet("QLabel { color: #b00000; font-weight: bold; }");
    m_unreachableNote->setVisible(false);
    top->addWidget(m_unreachableNote);
    m_otherConsoleNote = new QLabel(kOtherConsole, this);
    m_otherConsoleNote->setObjectName("otherConsoleNote");
    m_otherConsoleNote->setWordWrap(true);
    m_otherConsoleNote->setStyleSheet("QLabel { color: #b06000; font-weight: bold; }");
    m_otherConsoleNote->setVisible(false);
    top->addWidget(m_otherConsoleNote);

    auto* upsRow = new QHBoxLayout;
    for (int slot = 0; slot < 2; ++slot) {
        const QString prefix = QString("ups%1").arg(slot + 1);
        auto* box = new QGroupBox(QString("UPS %1").arg(slot + 1), this);
        auto* grid = new QGridLayout(box);
        UpsControls& c = m_ups[slot];
        grid->addWidget(new QLabel("Address", box), 0, 0);
        auto* octets = new QHBoxLayout;
        for (int i = 0; i < 4; ++i) {
            c.octets[i] = ReadOnlyEdit(box, QString("%1Address%2").arg(prefix).arg(i + 1));
            c.octets[i]->setMaximumWidth(48);
            octets->addWidget(c.octets[i]);
        }
        grid->addLayout(octets, 0, 1);
        c.community = ReadOnlyEdit(box, prefix + "Community");
        c.model = ReadOnlyEdit(box, prefix + "Model");
        c.location = ReadOnlyEdit(box, prefix + "Location");
        c.status = ReadOnlyEdit(box, prefix + "Status");
        const char* labels[] = {"Community", "Model", "Location", "Status"};
        QLineEdit* edits[] = {c.community, c.model, c.location, c.status};
        for (int i = 0; i < 4; ++i) {
            grid->addWidget(new QLabel(labels[i], box), i + 1, 0);
            grid->addWidget(edits[i], i + 1, 1);
        }
        c.deleteButton = new QPushButton("Delete", box);
        c.deleteButton->setObjectName(prefix + "DeleteButton");
        c.deleteButton->setEnabled(false);
        grid->addWidget(c.deleteButton, 5, 1, Qt::AlignRight);
        upsRow->addWidget(box);
    }
    top->addLayout(upsRow);

    auto* events = new QGroupBox("Events", this);
    auto* eventGrid = new QGridLayout(events);
    m_eventLabel = new QLabel("Event reactions", events);
    m_eventLabel->setObjectName("eventListLabel");
    m_eventList = new QTreeWidget(events);
    m_eventList->setObjectName("eventList");
    m_eventList->setColumnCount(3);
    m_eventList->setHeaderLabels({"Event", "SD", "EX"});
    m_eventList->setRootIsDecorated(false);
    m_eventList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_eventList->setColumnWidth(0, 165);
    m_eventList->setColumnWidth(1, 40);
    m_eventList->setColumnWidth(2, 40);
    m_eventList->headerItem()->setTextAlignment(1, Qt::AlignCenter);
    m_eventList->headerItem()->setTextAlignment(2, Qt::AlignCenter);
    // The three columns always fit, however narrow the window is made.
    m_eventList->setMinimumWidth(165 + 40 + 40 + 2 * m_eventList->frameWidth() +
                                 m_eventList->verticalScrollBar()->sizeHint().width());
    eventGrid->addWidget(m_eventLabel, 0, 0);
    eventGrid->addWidget(m_eventList, 1, 0, 6, 1);

    m_shutdownCheck = new QCheckBox("Shutdown when event is in alarm", events);
    m_shutdownCheck->setObjectName("shutdownCheck");
    auto* shutdownLabel = new QLabel("Delay", events);
    shutdownLabel->setObjectName("shutdownDelayLabel");
    auto* shutdownEdit = ReadOnlyEdit(events, "shutdownDelayEdit");
    auto* shutdownSpin = new StepButtons(events);
    shutdownSpin->setObjectName("shutdownDelaySpin");
    m_shutdownDelayEdit = shutdownEdit;
    m_shutdownDelaySpin = shutdownSpin;
    m_shutdownDelay[0] = shutdownLabel;
    m_shutdownDelay[1] = shutdownEdit;
    m_shutdownDelay[2] = shutdownSpin;
    eventGrid->addWidget(m_shutdownCheck, 1, 1, 1, 3);
    eventGrid->addWidget(shutdownLabel, 2, 1);
    eventGrid->addWidget(shutdownEdit, 2, 2);
    eventGrid->addWidget(shutdownSpin, 2, 3);

    m_commandCheck = new QCheckBox("Execute script when event is in alarm", events);
    m_commandCheck->setObjectName("commandCheck");
    auto* commandLabel = new QLabel("Delay", events);
    commandLabel->setObjectName("commandDelayLabel");
    auto* commandEdit = ReadOnlyEdit(events, "commandDelayEdit");
    auto* commandSpin = new StepButtons(events);
    commandSpin->setObjectName("commandDelaySpin");
    m_commandDelayEdit = commandEdit;
    m_commandDelaySpin = commandSpin;
    auto* afterLabel = new QLabel("Command to execute after delay", events);
    afterLabel->setObjectName("commandAfterDelayLabel");
    auto* afterEdit = new QLineEdit(events);
    afterEdit->setObjectName("commandAfterDelayEdit");
    afterEdit->setMaxLength(static_cast<int>(EventEntry::kMaxCommand));
    auto* clearLabel = new QLabel("Command to execute when alarm clears", events);
    clearLabel->setObjectName("commandOnClearLabel");
    auto* clearEdit = new QLineEdit(events);
    clearEdit->setObjectName("commandOnClearEdit");
    clearEdit->setMaxLength(static_cast<int>(EventEntry::kMaxCommand));
    m_commandEdits[0] = afterEdit;
    m_commandEdits[1] = clearEdit;
    QWidget* commandControls[] = {commandLabel, commandEdit, commandSpin, afterLabel, afterEdit, clearLabel, clearEdit};
    std::copy(std::begin(commandControls), std::end(commandControls), m_commandControls);
    eventGrid->addWidget(m_commandCheck, 3, 1, 1, 3);
    eventGrid->addWidget(commandLabel, 4, 1);
    eventGrid->addWidget(commandEdit, 4, 2);
    eventGrid->addWidget(commandSpin, 4, 3);
    eventGrid->addWidget(afterLabel, 5, 1);
    eventGrid->addWidget(afterEdit, 5, 2, 1, 2);
    eventGrid->addWidget(clearLabel, 6, 1);
    eventGrid->addWidget(clearEdit, 6, 2, 1, 2);
    top->addWidget(events);

    auto* settingsRow = new QHBoxLayout;
    auto* mode = new QGroupBox("Operating mode", this);
    auto* modeLayout = new QGridLayout(mode);
    m_standard = new QRadioButton("Standard Configuration", mode);
    m_standard->setObjectName("standardRadio");
    m_standardText = new QLabel("One UPS protects this computer.", mode);
    m_standardText->setObjectName("standardText");
    m_redundant = new QRadioButton("Redundant UPS Configuration", mode);
    m_redundant->setObjectName("redundantRadio");
    m_redundantText = new QLabel("Two UPS protect this computer.", mode);
    m_redundantText->setObjectName("redundantText");
    modeLayout->addWidget(m_standard, 0, 0);
    modeLayout->addWidget(m_standardText, 1, 0);
    modeLayout->addWidget(m_redundant, 2, 0);
    modeLayout->addWidget(m_redundantText, 3, 0);
    settingsRow->addWidget(mode);

    auto* security = new QGroupBox("Security", this);
    auto* securityLayout = new QGridLayout(security);
    m_requirePassword = new QCheckBox("Require Password", security);
    m_requirePassword->setObjectName("requirePasswordCheck");
    m_password = new QLineEdit(security);
    m_password->setObjectName("passwordEdit");
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setMaxLength(15);
    m_retype = new QLineEdit(security);
    m_retype->setObjectName("retypeEdit");
    m_retype->setEchoMode(QLineEdit::Password);
    m_retype->setMaxLength(15);
    securityLayout->addWidget(m_requirePassword, 0, 0, 1, 2);
    securityLayout->addWidget(new QLabel("Password", security), 1, 0);
    securityLayout->addWidget(m_password, 1, 1);
    securityLayout->addWidget(new QLabel("Retype", security), 2, 0);
    securityLayout->addWidget(m_retype, 2, 1);
    settingsRow->addWidget(security);

    auto* type = new QGroupBox("Shutdown type", this);
    auto* typeLayout = new QVBoxLayout(type);
    m_shutdownType = new QRadioButton("Shutdown", type);
    m_shutdownType->setObjectName("shutdownRadio");
    m_hibernateType = new QRadioButton("Hibernate", type);
    m_hibernateType->setObjectName("hibernateRadio");
    typeLayout->addWidget(m_shutdownType);
    typeLayout->addWidget(m_hibernateType);
    settingsRow->addWidget(type);
    top->addLayout(settingsRow);

    auto* buttons = new QHBoxLayout;
    m_discover = new QPushButton("Discover Agents", this);
    m_discover->setObjectName("discoverButton");
    m_login = new QPushButton("Log In", this);
    m_login->setObjectName("loginButton");
    m_login->setVisible(false);
    m_save = new QPushButton("Save", this);
    m_save->setObjectName("saveButton");
    m_save->setEnabled(false);
    m_close = new QPushButton("Close", this);
    m_close->setObjectName("closeButton");
    m_exitButton = new QPushButton("Exit", this);
    m_exitButton->setObjectName("exitButton");
    m_exitButton->setVisible(false);
    m_aboutButton = new QPushButton("About...", this);
    m_aboutButton->setObjectName("aboutButton");
    m_aboutButton->setVisible(false);
    buttons->addWidget(m_discover);
    buttons->addWidget(m_login);
    buttons->addWidget(m_aboutButton);
    buttons->addStretch();
    m_unsavedNote = new QLabel(kUnsavedNote, this);
    m_unsavedNote->setObjectName("unsavedNote");
    m_unsavedNote->setStyleSheet("QLabel { color: #b00000; }");
    m_unsavedNote->setVisible(false);
    buttons->addWidget(m_unsavedNote);
    buttons->addWidget(m_save);
    buttons->addWidget(m_close);
    buttons->addWidget(m_exitButton);
    top->addLayout(buttons);

    connect(m_close, &QPushButton::clicked, this, &CHaltwatchDlg::OnCloseButton);
    connect(m_discover, &QPushButton::clicked, this, &CHaltwatchDlg::OnDiscoverAgents);
    connect(m_login, &QPushButton::clicked, this, &CHaltwatchDlg::OnLogIn);
    connect(m_exitButton, &QPushButton::clicked, this, &CHaltwatchDlg::OnExit);
    connect(m_aboutButton, &QPushButton::clicked, this, &CHaltwatchDlg::OnAbout);
    connect(m_save, &QPushButton::clicked, this, &CHaltwatchDlg::OnSave);
    for (int slot = 0; slot < 2; ++slot)
        connect(m_ups[slot].deleteButton, &QPushButton::clicked, this, [this, slot] { OnDeleteUps(slot + 1); });

    // Only the user's own actions are edits: clicked and textEdited, never the programmatic changes.
    connect(m_eventList, &QTreeWidget::itemSelectionChanged, this, &CHaltwatchDlg::OnEventListItemChanged);
    connect(m_shutdownCheck, &QCheckBox::clicked, this, &CHaltwatchDlg::OnShutdownWhenInAlarm);
    connect(m_commandCheck, &QCheckBox::clicked, this, &CHaltwatchDlg::OnExecuteScriptWhenInAlarm);
    // The up-downs rest at 0; a step either way is one step of the delay grid.
    for (QSpinBox* spin : {m_shutdownDelaySpin, m_commandDelaySpin}) {
        spin->setRange(-1, 1);
        spin->setValue(0);
        spin->setButtonSymbols(QAbstractSpinBox::UpDownArrows);
        connect(spin, &QSpinBox::valueChanged, this, [this, spin](int value) {
            if (value == 0)
                return;
            {
                QSignalBlocker block(spin);
                spin->setValue(0);
            }
            if (spin == m_shutdownDelaySpin)
                OnShutdownDelayStep(value > 0);
            else
                OnCommandDelayStep(value > 0);
        });
    }
    for (int which = 0; which < 2; ++which)
        connect(m_commandEdits[which], &QLineEdit::textEdited, this,
                [this, which](const QString& text) { OnCommandEdited(which, text); });
    connect(m_standard, &QRadioButton::clicked, this, &CHaltwatchDlg::OnStandardConfiguration);
    connect(m_redundant, &QRadioButton::clicked, this, &CHaltwatchDlg::OnRedundantConfiguration);
    connect(m_shutdownType, &QRadioButton::clicked, this, &CHaltwatchDlg::OnShutdownTypeShutdown);
    connect(m_hibernateType, &QRadioButton::clicked, this, &CHaltwatchDlg::OnShutdownTypeHibernate);
    connect(m_requirePassword, &QCheckBox::clicked, this, &CHaltwatchDlg::OnRequirePassword);
    connect(m_password, &QLineEdit::textEdited, this, &CHaltwatchDlg::OnPasswordChange);
    connect(m_retype, &QLineEdit::textEdited, this, &CHaltwatchDlg::OnPasswordChange);

    m_openAction = new QAction("Open Console Window", this);
    m_openAction->setObjectName("openConsoleAction");
    m_aboutAction = new QAction("About Vigilon...", this);
    m_aboutAction->setObjectName("aboutAction");
    m_exitAction = new QAction("Exit", this);
    m_exitAction->setObjectName("exitAction");
    connect(m_openAction, &QAction::triggered, this, &CHaltwatchDlg::OnOpenConsoleWindow);
    connect(m_aboutAction, &QAction::triggered, this, &CHaltwatchDlg::OnAbout);
    connect(m_exitAction, &QAction::triggered, this, &CHaltwatchDlg::OnExit);
}

void CHaltwatchDlg::BuildTray()
{
    if (!m_settings.useSystemTray || !QSystemTrayIcon::isSystemTrayAvailable()) {
        m_exitButton->setVisible(true);
        m_aboutButton->setVisible(true);
        return;
    }
    m_trayMenu = new QMenu(this);
    m_trayMenu->setObjectName("trayMenu");
    m_trayMenu->addAction(m_openAction);
    m_trayMenu->setDefaultAction(m_openAction);
    m_trayMenu->addAction(m_aboutAction);
    m_trayMenu->addSeparator();
    m_trayMenu->addAction(m_exitAction);
    m_tray = new QSystemTrayIcon(this);
    m_tray->setObjectName("trayIcon");
    m_tray->setContextMenu(m_trayMenu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            OnOpenConsoleWindow();
    });
    m_tray->show();
}

void CHaltwatchDlg::SetTray(TraySlot slot, const QString& toolTip)
{
    m_traySlot = slot;
    m_trayToolTip = toolTip.isEmpty() ? QString(TraySlotText(slot)) : toolTip;
    if (m_tray) {
        m_tray->setIcon(m_icons[static_cast<int>(slot)]);
        m_tray->setToolTip(m_trayToolTip);
    }
}

void CHaltwatchDlg::InitDialog()
{
    BuildTray();
    UpdateControls();
    if (!m_session.LoggedIn()) {
        SetTray(TraySlot::Locked);
        m_login->setVisible(true);
        if (!m_tray)
            CenterAndShow();
        return;
    }
    m_firstRefreshPending = true;
    InitSnmp([this](bool ok) {
        if (!ok) {
            m_firstRefreshPending = false;
            if (!m_tray)
                CenterAndShow();
        }
    });
}

bool CHaltwatchDlg::HasUnsavedEdits() const
{
    if (m_dirty != 0)
        return true;
    for (const DeviceEntry& d : m_model.Devices())
        for (const EventEntry& e : d.Events())
            if (e.Dirty() != 0)
                return true;
    return false;
}

void CHaltwatchDlg::MarkUnsaved()
{
    m_save->setEnabled(true);
    UpdateUnsavedNote();
}

void CHaltwatchDlg::UpdateUnsavedNote()
{
    m_unsavedNote->setVisible(HasUnsavedEdits());
}

void CHaltwatchDlg::InitSnmp(std::function<void(bool)> done)
{
    // The queue's thread only posts each record to this window's thread.
    auto startQueue = [this] {
        return m_queue.Start([this](TrapRecord&& record) {
            QMetaObject::invokeMethod(
                this, [this, record = std::move(record)] { OnTrap(record); }, Qt::QueuedConnection);
        });
    };
    if (m_snmpThread && !m_listener) {
        if (!startQueue()) {
            m_messages.Show(this, kMessageCaption, "Unable to initialize snmp trap queue");
            m_setupFailure = kSessionSetupFailed;
            UpdateStatus();
            done(false);
            return;
        }
        m_listener = std::make_unique<SnmpListener>(*m_snmpThread, m_queue);
        // Beside a loopback engine the console listens on loopback only.
        const QString engine = m_session.EngineAddress();
        const std::string listen = engine.startsWith("127.") ? "127.0.0.1" : "0.0.0.0";
        std::string error;
        m_trapPort = m_listener->Subscribe(listen, static_cast<uint16_t>(m_settings.trapPort), &error);
        if (m_trapPort == 0) {
            m_listener.reset();
            m_queue.StopAndClear();
            m_messages.Show(nullptr, kListenerCaption, kListenerFailed);
            m_messages.Show(this, kMessageCaption,
                            "Unable to establish trap listener, Shutdown Agent Console may already be running.");
            m_setupFailure = kTrapPortSetupFailed;
            UpdateStatus();
            OnListenerFailed();
            return;
        }
    } else if (!m_snmpThread) {
        startQueue();
        if (m_trapPort == 0)
            m_trapPort = static_cast<uint16_t>(m_settings.trapPort);
    }
    QPointer<CHaltwatchDlg> self(this);
    m_worker.OpenSession(m_session.EngineAddress(), m_session.RequestCommunity(), m_settings.enginePort, m_trapPort,
                         this, [this, done](bool opened) {
                             if (!opened) {
                                 m_messages.Show(this, kMessageCaption, "Unable to initialize snmp server");
                                 m_setupFailure = kSessionSetupFailed;
                                 UpdateStatus();
                                 done(false);
                                 return;
                             }
                             m_setupFailure.clear();
                             m_sessionOpen = true;
                             m_keepAlive.start();
                             Refresh();
                             done(true);
                         });
}

void CHaltwatchDlg::OnListenerFailed()
{
    m_firstRefreshPending = false;
    hide();
    // Without a tray nothing could bring a hidden window back: the console ends, without asking about
    // edits (an answer of No would leave it running with no way back).
    if (!m_tray) {
        Teardown();
        emit exitRequested();
    }
}

void CHaltwatchDlg::SetEngineReachable(bool reachable)
{
    if (!reachable) {
        // An engine of this host that still holds its port is running: it no longer takes our password.
        // Looked at on every unanswered request, not only the first: an engine that was down may have
        // come back with a new password meanwhile.
        const bool runsHere = LocalEnginePort(m_session.EngineAddress(), m_settings.enginePort) == EnginePortState::Held;
        m_unreachableNote->setText(runsHere ? kPasswordNotAccepted : kUnreachableNote);
    }
    if (reachable == m_engineReachable)
        return;
    m_engineReachable = reachable;
    m_unreachableNote->setVisible(!reachable);
    m_login->setVisible(!m_session.LoggedIn() || !reachable);
    if (!reachable)
        ShowCountdownStale();
    else if (m_countdownStale)
        OnCountdownSilent();  // reads the countdown at once
    UpdateStatus();
}

void CHaltwatchDlg::Refresh()
{
    if (m_sessionOpen)
        m_worker.Refresh();
}

void CHaltwatchDlg::OnRefreshed(const EngineSnapshot& snapshot)
{
    if (m_tornDown)
        return;
    if (!snapshot.reached) {
        // What the window shows and the edits not yet saved stay as they are.
        if (m_sessionOpen)
            SetEngineReachable(false);
    } else {
        // The edits not yet saved are laid over the engine's new values.
        const bool unsaved = HasUnsavedEdits();
        std::vector<EventEntry> edited;
        for (DeviceEntry& d : m_model.Devices())
            for (EventEntry& e : d.Events())
                if (e.Dirty() != 0)
                    edited.push_back(e);
        const int dirty = m_dirty;
        const bool redundantChoice = m_redundantChoice;
        const bool hibernateChoice = m_hibernateChoice;
        const bool requirePassword = m_requirePassword->isChecked();
        const QString password = m_password->text();
        const QString retype = m_retype->text();

        m_model.Apply(snapshot);
        m_model.LayEdits(edited);
        ++m_refreshes;
        UpdateControls();
        if (unsaved) {
            m_dirty = dirty;
            if (dirty & kDirtyMode) {
                m_redundantChoice = redundantChoice && m_model.MonitoredCount() == 2;
                (m_redundantChoice ? m_redundant : m_standard)->setChecked(true);
            }
            if ((dirty & kDirtyShutdownType) && m_model.MonitoredCount() > 0) {
                m_hibernateChoice = hibernateChoice && m_model.HibernationAllowed();
                (m_hibernateChoice ? m_hibernateType : m_shutdownType)->setChecked(true);
            }
            if (dirty & kDirtySecurity) {
                m_requirePassword->setChecked(requirePassword);
                m_password->setText(password);
                m_retype->setText(retype);
                m_password->setEnabled(requirePassword);
                m_retype->setEnabled(requirePassword);
            }
            BuildEventList();
            UpdateEventControls();
            MarkUnsaved();
        }
        SetEngineReachable(true);
    }
    if (m_firstRefreshPending) {
        m_firstRefreshPending = false;
        // Nothing monitored yet: the window opens; otherwise the console starts in the tray (when there
        // is one).
        if (m_model.RemoteCount() == 0 || !m_tray)
            CenterAndShow();
        else
            hide();
    }
    if (snapshot.reached)
        emit refreshApplied();
    else
        emit refreshUnanswered();
}

void CHaltwatchDlg::ClearUps(int slot)
{
    UpsControls& c = m_ups[slot];
    for (QLineEdit* e : c.octets)
        e->clear();
    c.community->clear();
    c.model->clear();
    c.location->clear();
    c.status->clear();
    c.deleteButton->setEnabled(false);
}

void CHaltwatchDlg::ShowUps(int slot)
{
    const RemoteEntry* remote = m_model.Remote(slot);
    UpsControls& c = m_ups[slot];
    if (!remote) {
        ClearUps(slot);
        return;
    }
    int octets[4] = {0, 0, 0, 0};
    bool parsed = ParseAddress(remote->Address(), octets);
    for (int i = 0; i < 4; ++i)
        c.octets[i]->setText(parsed ? QString::number(octets[i]) : QString());
    c.community->setText(QString::fromStdString(remote->Community()));
    if (DeviceEntry* device = m_model.UpsDevice(slot)) {
        c.model->setText(QString::fromStdString(device->Model()));
        c.location->setText(QString::fromStdString(device->Location()));
    } else {
        c.model->clear();
        c.location->clear();
    }
    c.deleteButton->setEnabled(true);
}

void CHaltwatchDlg::UpdateControls()
{
    m_ups[0].deleteButton->setEnabled(false);
    m_ups[1].deleteButton->setEnabled(false);
    const int monitored = m_model.MonitoredCount();
    const bool any = monitored > 0;
    m_eventList->setEnabled(any);
    m_eventLabel->setEnabled(any);
    m_shutdownCheck->setEnabled(any);
    m_commandCheck->setEnabled(any);
    m_standard->setEnabled(any);
    m_standardText->setEnabled(any);
    m_shutdownType->setEnabled(any);
    m_hibernateType->setEnabled(any && m_model.HibernationAllowed());
    const bool hibernate = m_model.Hibernate() && m_model.HibernationAllowed();
    m_hibernateType->setChecked(any && hibernate);
    m_shutdownType->setChecked(any && !hibernate);
    if (monitored == 1) {
        ClearUps(1);
        m_standard->setChecked(true);
        m_redundant->setEnabled(false);
        m_redundantText->setEnabled(false);
    } else if (monitored == 2) {
        (m_model.Redundant() ? m_redundant : m_standard)->setChecked(true);
        m_redundant->setEnabled(true);
        m_redundantText->setEnabled(true);
    } else {
        ClearUps(0);
        ClearUps(1);
        m_redundant->setEnabled(false);
        m_redundantText->setEnabled(false);
    }
    m_discover->setEnabled(m_session.LoggedIn() && monitored < 2);
    for (int slot = 0; slot < monitored; ++slot)
        ShowUps(slot);
    for (QWidget* w : m_shutdownDelay)
        w->setEnabled(false);
    for (QWidget* w : m_commandControls)
        w->setEnabled(false);

    // The password edits never show the password in use: they start empty for a new one.
    const bool password = m_session.RequestCommunity() != kDefaultCommunity;
    m_requirePassword->setEnabled(m_session.LoggedIn());
    m_requirePassword->setChecked(password);
    m_password->clear();
    m_retype->clear();
    m_password->setEnabled(password);
    m_retype->setEnabled(password);
    m_login->setVisible(!m_session.LoggedIn() || !m_engineReachable);

    m_redundantChoice = m_model.Redundant() && monitored == 2;
    m_hibernateChoice = hibernate;
    m_dirty = 0;
    BuildEventList();
    UpdateEventControls();
    UpdateStatus();
    // Event edits laid over a refresh still wait for Save.
    m_save->setEnabled(HasUnsavedEdits());
    UpdateUnsavedNote();
}

void CHaltwatchDlg::BuildEventList()
{
    m_eventRows = m_model.BuildEventList();
    // Redundant mode lists only the events that both UPS report.
    DeviceEntry* first = m_model.UpsDevice(0);
    DeviceEntry* second = m_model.UpsDevice(1);
    if (m_redundantChoice && first && second && first != second) {
        auto hasDevice = [](const EventListRow& row, int device) {
            return std::any_of(row.events.begin(), row.events.end(),
                               [device](const std::pair<int, int>& p) { return p.first == device; });
        };
        const int a = first->DeviceIndex();
        const int b = second->DeviceIndex();
        m_eventRows.erase(std::remove_if(m_eventRows.begin(), m_eventRows.end(),
                                         [&](const EventListRow& row) { return !hasDevice(row, a) || !hasDevice(row, b); }),
                          m_eventRows.end());
    }
    m_eventList->clear();
    for (size_t i = 0; i < m_eventRows.size(); ++i) {
        const EventListRow& row = m_eventRows[i];
        int actions = 0;
        for (const auto& [deviceIndex, eventIndex] : row.events) {
            DeviceEntry* device = m_model.FindDevice(deviceIndex);
            EventEntry* event = device ? device->FindEvent(eventIndex) : nullptr;
            if (event)
                actions |= event->Actions();
        }
        auto* item = new QTreeWidgetItem(m_eventList);
        item->setText(0, QString::fromStdString(row.name));
        item->setText(1, (actions & EventEntry::kActionShutdown) ? "X" : "");
        item->setText(2, (actions & EventEntry::kActionCommand) ? "X" : "");
        item->setTextAlignment(1, Qt::AlignCenter);
        item->setTextAlignment(2, Qt::AlignCenter);
        // The row's position in m_eventRows, which holds its (device, event) pairs.
        item->setData(0, Qt::UserRole, static_cast<int>(i));
    }
}

void CHaltwatchDlg::UpdateStatus()
{
    if (!m_session.LoggedIn()) {
        SetTray(TraySlot::Locked);
        return;
    }
    for (int slot = 0; slot < 2; ++slot) {
        if (!m_model.Remote(slot))
            m_ups[slot].status->clear();
        else if (!m_engineReachable)
            m_ups[slot].status->setText(kUnreachable);
        else
            m_ups[slot].status->setText(StatusText(m_model.UpsStatus(slot)));
    }
    m_otherConsoleNote->setVisible(m_otherConsole && m_engineReachable && m_setupFailure.isEmpty());
    // A console that could not set itself up hears nothing; nothing is known of a UPS whose engine does
    // not answer: the worst.
    if (!m_setupFailure.isEmpty()) {
        SetTray(TraySlot::Critical, m_setupFailure);
    } else if (!m_engineReachable) {
        SetTray(TraySlot::Critical, kUnreachable);
    } else {
        const TraySlot slot = TraySlotFor(m_model.WorstStatus());
        SetTray(slot, m_otherConsole ? QString("%1\n%2").arg(TraySlotText(slot), kOtherConsole) : QString());
    }
}

std::vector<int> CHaltwatchDlg::PolledDevices()
{
    std::vector<int> devices;
    auto add = [&devices](int index) {
        if (index != 0 && std::find(devices.begin(), devices.end(), index) == devices.end())
            devices.push_back(index);
    };
    for (int slot = 0; slot < 2; ++slot) {
        const RemoteEntry* remote = m_model.Remote(slot);
        if (!remote)
            continue;
        if (remote->IsAggregate()) {
            for (const DeviceEntry& d : m_model.Devices())
                if (d.RemoteIndex() == slot + 1)
                    add(d.DeviceIndex());
        } else if (DeviceEntry* device = m_model.UpsDevice(slot)) {
            add(device->DeviceIndex());
        }
    }
    return devices;
}

void CHaltwatchDlg::ApplyPoll(const StatusPoll& poll)
{
    if (poll.registeredPort != 0)
        m_otherConsole = poll.otherConsole;
    // A notice handled since the poll read is newer: the poll's values would only bring older news back
    // (a countdown that just ended, shown again).
    if (poll.readAt < m_lastNoticeAt) {
        UpdateStatus();
        return;
    }
    for (const auto& [index, status] : poll.statuses)
        if (DeviceEntry* device = m_model.FindDevice(index))
            device->SetStatus(status);
    // A countdown that runs without its notices (lost, or sent to another console) opens the alert; one
    // that ended without its last notice closes it.
    if (poll.countdownRead && (poll.countdown != 0 || m_countdownValue != 0))
        ApplyCountdown(poll.countdown);
    UpdateStatus();
}

uint64_t CHaltwatchDlg::TrapsReceived() const
{
    return m_listener ? m_listener->Received() : 0;
}

bool CHaltwatchDlg::QueueTrap(TrapRecord record)
{
    return m_queue.Push(std::move(record));
}

void CHaltwatchDlg::OnTrap(const TrapRecord& record)
{
    if (m_tornDown)
        return;
    const std::string enterprise = OidToString(kEnterprise);
    if (record.trapOid.compare(0, enterprise.size(), enterprise) != 0)
        return;
    switch (record.specific) {
    case kValueChangedTrap: {
        if (record.varbinds.empty())
            break;
        const TrapVarbindRecord& vb = record.varbinds.front();
        const size_t deviceCell = kDeviceEntry.size() + 2;  // entry, column, device index
        const size_t remoteCell = kRemoteEntry.size() + 2;
        if (Under(vb, kDeviceEntry) && vb.oid.size() >= deviceCell) {
            const uint32_t column = vb.oid[kDeviceEntry.size()];
            DeviceEntry* device = m_model.FindDevice(static_cast<int>(vb.oid[kDeviceEntry.size() + 1]));
            if (column == kDeviceState) {
                Refresh();
            } else if (column == kDeviceLocation && device && vb.value.size() < 64) {
                device->SetLocation(vb.value);
                for (int slot = 0; slot < 2; ++slot)
                    if (m_model.UpsDevice(slot) == device)
                        m_ups[slot].location->setText(QString::fromStdString(device->Location()));
            } else if (column == kDeviceStatus && device) {
                m_lastNoticeAt = std::chrono::steady_clock::now();
                device->SetStatus(static_cast<int32_t>(std::strtol(vb.value.c_str(), nullptr, 10)));
                UpdateStatus();
            }
        } else if (Under(vb, kRemoteEntry) && vb.oid.size() >= remoteCell) {
            // The row index follows the column; only row 2's changes are not announced otherwise.
            if (vb.oid[kRemoteEntry.size() + 1] == 2)
                Refresh();
        } else if (vb.oid == kShutdownCountdown) {
            const unsigned long secs = std::strtoul(vb.value.c_str(), nullptr, 10);
            m_lastNoticeAt = std::chrono::steady_clock::now();
            ApplyCountdown(static_cast<uint32_t>(secs > UINT32_MAX ? UINT32_MAX : secs));
        }
        break;
    }
    case kListChangedTrap:
        Refresh();
        break;
    case kDiscoveryProgressTrap:
        OnDiscoveryNotice(record);
        break;
    default:
        break;
    }
    emit trapHandled(record.specific, record.varbinds.empty() ? QString()
                                                             : QString::fromStdString(OidToString(record.varbinds.front().oid)));
}

void CHaltwatchDlg::ApplyCountdown(uint32_t secs)
{
    m_countdownStale = false;
    m_countdownValue = secs;
    m_countdownHeard = QDateTime::currentDateTime();
    if (secs == 0) {
        m_countdownWatch.stop();
        setWindowTitle(kTitle);
        m_alert->hide();
        m_lastCountdown = 0;
        return;
    }
    const QString text = countdown::Text(secs);
    setWindowTitle(QString("%1 [%2]").arg(kTitle, text));
    m_alert->SetText(text);
    if (countdown::Reshows(m_lastCountdown, secs)) {
        m_lastCountdown = secs;
        if (!m_alert->isVisible()) {
            if (QScreen* screen = QGuiApplication::primaryScreen()) {
                m_alert->adjustSize();
                const QRect area = screen->availableGeometry();
                if (m_settings.noCenter)
                    m_alert->move(area.center().x() - m_alert->width() / 2, area.top());
                else
                    m_alert->move(area.center() - m_alert->rect().center());
            }
            m_alert->show();
            m_alert->raise();
            m_alert->activateWindow();
        }
    }
    // The engine repeats the notice every few seconds while the countdown runs; silence means its last
    // notice (perhaps the end) was lost.
    m_countdownWatch.start();
}

void CHaltwatchDlg::OnCountdownSilent()
{
    if (m_tornDown || !m_sessionOpen)
        return;
    QPointer<CHaltwatchDlg> self(this);
    m_worker.Post([self](SnmpServer& s) {
        uint32_t secs = 0;
        const bool ok = ReadCountdown(s, secs);
        QMetaObject::invokeMethod(
            qApp,
            [self, ok, secs] {
                if (!self || self->m_tornDown || self->m_countdownValue == 0)
                    return;
                if (ok) {
                    self->ApplyCountdown(secs);
                } else {
                    // No answer: the countdown is not known any more.
                    self->SetEngineReachable(false);
                    self->m_countdownWatch.start();
                }
            },
            Qt::QueuedConnection);
    });
}

void CHaltwatchDlg::ShowCountdownStale()
{
    if (m_countdownValue == 0)
        return;
    m_countdownStale = true;
    m_alert->SetText(QString(kCountdownUnknown)
                         .arg(m_countdownHeard.toString("HH:mm:ss"), countdown::Text(m_countdownValue)));
    m_alert->adjustSize();
    setWindowTitle(QString("%1 [%2]").arg(kTitle, kUnreachable));
}

void CHaltwatchDlg::RegisterDiscovery(CDiscoveryProgress* dialog)
{
    m_discovery = dialog;
    // Later notices are no longer the dialog's, whichever way it ends.
    connect(dialog, &QDialog::finished, this, [this, dialog] {
        if (m_discovery == dialog)
            m_discovery = nullptr;
    });
}

void CHaltwatchDlg::OnDiscoveryNotice(const TrapRecord& record)
{
    // Only the engine's own notices, and only while a progress dialog waits for them. An engine on this
    // host may send from a loopback address while it names another of the host's addresses as its own.
    if (!m_discovery)
        return;
    const QString engine = m_session.EngineAddress();
    const QString sender = QString::fromStdString(record.sender);
    const bool fromEngine = sender == engine || (sender.startsWith("127.") && IsHostAddress(engine));
    if (!fromEngine)
        return;
    QPointer<CDiscoveryProgress> dialog = m_discovery;
    m_prober->Handle(record, dialog, [this, dialog](const DiscoveryNotice& notice) {
        if (dialog && m_discovery == dialog)
            dialog->OnNotice(notice);
    });
}

void CHaltwatchDlg::CenterAndShow()
{
    adjustSize();
    CenterOverOwner(this, nullptr);
    showNormal();
    raise();
    activateWindow();
}

void CHaltwatchDlg::OnOpenConsoleWindow()
{
    if (!m_session.LoggedIn()) {
        QPointer<CHaltwatchDlg> self(this);
        m_session.PromptLogin([self](bool ok) {
            if (!self || !ok)
                return;
            self->UpdateControls();
            self->InitSnmp([self](bool) {
                if (self)
                    self->CenterAndShow();
            });
        });
        return;
    }
    if (!m_sessionOpen) {
        // The set-up did not finish (the trap port was taken, the engine did not answer): try it again.
        QPointer<CHaltwatchDlg> self(this);
        InitSnmp([self](bool ok) {
            if (self && ok)
                self->CenterAndShow();
        });
        return;
    }
    Refresh();
    // The controls are reset to the model, unless they hold edits not yet saved.
    if (!HasUnsavedEdits())
        UpdateControls();
    CenterAndShow();
}

void CHaltwatchDlg::OnLogIn()
{
    if (!m_session.LoggedIn() || !m_sessionOpen) {
        OnOpenConsoleWindow();
        return;
    }
    // Logged in, but the engine took another password meanwhile: the session goes on with the new one.
    QPointer<CHaltwatchDlg> self(this);
    m_session.PromptLogin([self](bool ok) {
        if (!self || !ok || self->m_tornDown)
            return;
        self->InitSnmp([](bool) {});
    });
}

void CHaltwatchDlg::OnCloseButton()
{
    if (m_tray)
        hide();
    else
        showMinimized();
}

void CHaltwatchDlg::closeEvent(QCloseEvent* event)
{
    event->ignore();
    OnCloseButton();
}

void CHaltwatchDlg::OnDiscoverAgents()
{
    // Known to be down: say so now instead of after the request's retries.
    if (!m_engineReachable) {
        m_messages.Show(this, kMessageCaption, kDiscoverUnreachable);
        return;
    }
    m_worker.CheckIdle(this, [this](bool idle) {
        if (!idle) {
            m_messages.Show(this, kMessageCaption, "Please retry discovery, Engine is currently busy.");
            return;
        }
        // Adding a UPS resets every event's reactions on the engine.
        if (m_model.MonitoredCount() > 0 && !m_messages.Ask(this, kMessageCaption, kMonitoredUpsQuestion))
            return;
        emit discoveryRequested();
        if (m_agentDiscovery)
            return;
        auto* dialog = new CAgentDiscovery(m_worker, m_model, m_messages, m_session.EngineAddress(), this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        connect(dialog, &CAgentDiscovery::progressStarted, this, &CHaltwatchDlg::RegisterDiscovery);
        m_agentDiscovery = dialog;
        if (!isVisible())
            CenterAndShow();
        dialog->open();
    });
}

void CHaltwatchDlg::OnAbout()
{
    auto* about = new CAboutDlg(this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->adjustSize();
    CenterOverOwner(about, this);
    about->open();
}

void CHaltwatchDlg::OnExit()
{
    if (!m_tornDown && HasUnsavedEdits() && !m_messages.Ask(this, kMessageCaption, kUnsavedExitQuestion))
        return;
    Teardown();
    emit exitRequested();
}

void CHaltwatchDlg::Teardown()
{
    if (m_tornDown)
        return;
    m_tornDown = true;
    m_keepAlive.stop();
    m_countdownWatch.stop();
    m_discovery = nullptr;
    if (m_alert)
        m_alert->hide();
    if (m_listener) {
        m_listener->Unsubscribe(m_trapPort);
        m_listener->StopAll();
        m_listener.reset();
    }
    m_queue.StopAndClear();
    if (m_sessionOpen)
        m_worker.CloseSession();
    m_sessionOpen = false;
    if (m_tray)
        m_tray->hide();
    hide();
}
