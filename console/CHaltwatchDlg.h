#pragma once
// CHaltwatchDlg: the console's main window "Vigilon Shutdown Console" and its tray icon. It owns the model
// (GUI thread only), the trap queue and listener, and the keep-alive timer; every SNMP request goes to the
// EngineWorker and its answer comes back queued.
//
// Where the desktop has no system tray the window is never hidden into it: it starts shown, Close only
// minimises it, and Log In, About and Exit buttons take the tray menu's place.
//
// An engine that stops answering (a failed keep-alive or refresh) is shown as unreachable: the status
// texts, the tray's critical icon and its tooltip say so, the window keeps what the engine last reported,
// and the next answered keep-alive refreshes everything. A running countdown is then no longer shown as if
// it were known: the alert says when the engine was last heard and what it said then. An engine on this
// host that still holds its port but no longer answers has taken another password: the window says so and
// offers the login again.
//
// Notices can be lost (UDP) or go to another console on this host (the engine keeps one registration per
// address): every keep-alive also polls the countdown, the status of the UPS shown and the registration
// (StatusPoll.h). A countdown read there opens the alert as a notice would; while another console on this
// host receives the notices the window and the tray say so, and the console takes them back once that
// console is gone.
//
// Edits not yet saved survive every refresh (a reconnect, a notice that reloads the window): they are laid
// over the engine's new values, marked as not saved, and Exit asks before dropping them.
//
// The window knows the console's start-up only as an IConsoleSession (login state, engine address, the
// community in use, the login dialog). The discovery dialogs do not know the window: it gives them its
// worker and model, registers the progress dialog a CAgentDiscovery announces (progressStarted) and passes
// it the engine's discovery notices until it finishes; the rows the dialog writes reach the window through
// the refresh the dialog asks of the worker.
//
// Threads: GUI thread, except QueueTrap (any thread; it only pushes into the trap queue) and the trap
// queue's sink, which posts each record to the GUI thread.

#include <QDateTime>
#include <QIcon>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

#include <QPointer>

#include "console/ConsoleModel.h"
#include "console/DiscoveryDialogs.h"
#include "console/StatusPoll.h"
#include "console/TrapQueue.h"

class DiscoveryProber;
class ShutdownNotification;
class SnmpServer;
class EngineWorker;
class IConsoleSession;
class IMessageBoxSink;
class QAction;
class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QSystemTrayIcon;
class QTreeWidget;
class SnmpListener;
class SnmpThread;

struct MainWindowSettings {
    int enginePort = 3664;
    int trapPort = 3665;      // 0: any free port
    int keepAliveMs = 10000;
    bool useSystemTray = true;  // false: behave as on a desktop without a tray
    // A countdown whose notices stop for this long is read from the engine (a lost final notice).
    int countdownSilenceMs = 15000;
    // The shutdown alert shows at the top of the screen instead of its centre.
    bool noCenter = false;
};

class CHaltwatchDlg : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kTitle = "Vigilon Shutdown Console";
    // Asked before a UPS is added or removed.
    static constexpr const char* kMonitoredUpsQuestion =
        "Changing the monitored UPS resets the reactions of every event on the engine. Do you want to continue?";
    // The status texts and the tray's tooltip while the engine does not answer.
    static constexpr const char* kUnreachable = "Engine unreachable";
    static constexpr const char* kUnreachableNote =
        "The engine does not answer. The window shows what it reported last; changes cannot be saved now.";
    static constexpr const char* kSaveFailed =
        "The changes could not be saved: the engine does not answer.";
    static constexpr const char* kDiscoverUnreachable =
        "Discovery cannot start now: the engine does not answer.";
    // The engine on this host holds its port but does not answer this console's password.
    static constexpr const char* kPasswordNotAccepted =
        "The engine runs but does not accept this console's password any more: log in again with the new one.";
    // Shown in the window and the tray while the engine sends the notices to another console of this host.
    static constexpr const char* kOtherConsole = "Another console on this host receives the notices.";
    // The alert while the engine does not answer: the time it was last heard and what it said then.
    static constexpr const char* kCountdownUnknown =
        "The engine does not answer: the countdown is not known.\nLast heard at %1: %2";
    static constexpr const char* kUnsavedNote = "Changes not saved: press Save to write them to the engine.";
    static constexpr const char* kUnsavedExitQuestion =
        "The changes have not been saved to the engine. Exit and lose them?";
    // The tray's tooltip when the console's own set-up failed (no trap port, no session).
    static constexpr const char* kTrapPortSetupFailed =
        "Console not connected: its trap port is taken (another console may be running).";
    static constexpr const char* kSessionSetupFailed = "Console not connected: the engine session could not be opened.";
    // The trap listener's own message when its port cannot be had, and its caption.
    static constexpr const char* kListenerFailed =
        "Register for notification failed, An instance of Shutdown Agent Console may already be running.";
    static constexpr const char* kListenerCaption = "Vigilon ShutdownAgent";

    // snmpThread may be null: no trap listener (records then come only through QueueTrap).
    CHaltwatchDlg(IConsoleSession& session, EngineWorker& worker, IMessageBoxSink& messages, SnmpThread* snmpThread,
                  const MainWindowSettings& settings);
    ~CHaltwatchDlg() override;

    // The set-up after the login probe: session, listener, timer, tray, first visibility.
    void InitDialog();
    // Opens the engine session and the trap listener; done(ok) once the session answered.
    void InitSnmp(std::function<void(bool)> done);
    void Refresh();
    void UpdateControls();
    void UpdateStatus();
    bool QueueTrap(TrapRecord record);
    void OnTrap(const TrapRecord& record);

    void OnOpenConsoleWindow();
    void OnCloseButton();
    void OnDiscoverAgents();
    void OnAbout();
    // Asks first when edits are not saved.
    void OnExit();
    // The login again (a password changed on the engine while the console ran), or the first one.
    void OnLogIn();

    // The shutdown alert and the countdown it shows.
    ShutdownNotification& Alert() { return *m_alert; }
    uint32_t LastShownCountdown() const { return m_lastCountdown; }
    // The last countdown heard (notice or read); 0 when none runs.
    uint32_t CountdownValue() const { return m_countdownValue; }
    bool CountdownStale() const { return m_countdownStale; }
    bool OtherConsoleReceives() const { return m_otherConsole; }
    bool HasUnsavedEdits() const;
    void ApplyCountdown(uint32_t seconds);

    // Discovery: the progress dialog receives the engine's discovery notices from now until it finishes
    // (or goes); a later registration takes the place of an earlier one.
    void RegisterDiscovery(CDiscoveryProgress* dialog);
    CDiscoveryProgress* Discovery() const { return m_discovery; }
    CAgentDiscovery* DiscoveryDialog() const { return m_agentDiscovery; }
    EngineWorker& Worker() { return m_worker; }

    // The editor: event reactions, operating mode, shutdown type, password, Save, deletion of a UPS.
    static constexpr int kDirtyMode = 1;
    static constexpr int kDirtyShutdownType = 2;
    static constexpr int kDirtySecurity = 0x10;
    int Dirty() const { return m_dirty; }
    bool RedundantChosen() const { return m_redundantChoice; }
    bool HibernateChosen() const { return m_hibernateChoice; }
    // Resets every event's reactions on the engine at once, then in the model.
    void ClearEventActions();
    void UpdateEventControls();
    void OnEventListItemChanged();
    void OnShutdownWhenInAlarm(bool checked);
    void OnExecuteScriptWhenInAlarm(bool checked);
    // up: a longer delay.
    void OnShutdownDelayStep(bool up);
    void OnCommandDelayStep(bool up);
    // which 0: after the delay, 1: when the alarm clears. A text with a blank is refused.
    void OnCommandEdited(int which, const QString& text);
    void OnStandardConfiguration();
    void OnRedundantConfiguration();
    void OnShutdownTypeShutdown();
    void OnShutdownTypeHibernate();
    void OnRequirePassword();
    void OnPasswordChange();
    void OnSave();
    // n 1 or 2: asks, then stops monitoring that UPS.
    void OnDeleteUps(int n);
    void DeleteMonitoredUps(int n);

    // Ends the session, listener, queue and timer (also done by the destructor).
    void Teardown();

    ConsoleModel& Model() { return m_model; }
    bool TrayAvailable() const { return m_tray != nullptr; }
    bool EngineReachable() const { return m_engineReachable; }
    TraySlot CurrentTraySlot() const { return m_traySlot; }
    QString TrayToolTip() const { return m_trayToolTip; }
    uint16_t TrapPort() const { return m_trapPort; }
    TrapQueue& Queue() { return m_queue; }
    // Notifications the trap listener received (0 without a listener).
    uint64_t TrapsReceived() const;
    const std::vector<EventListRow>& EventRows() const { return m_eventRows; }
    QAction* OpenAction() const { return m_openAction; }
    QAction* ExitAction() const { return m_exitAction; }
    int RefreshCount() const { return m_refreshes; }

signals:
    void refreshApplied();
    // A refresh got no answer: nothing shown was changed.
    void refreshUnanswered();
    // A notification was handled: its code and the OID of its first varbind (dotted, may be empty).
    void trapHandled(int specific, const QString& firstOid);
    void discoveryRequested();
    void exitRequested();
    // Save's writes are done (the refresh that follows is asked for), or they could not reach the engine.
    void saved();
    // A deletion's writes are done (or it was refused).
    void deleteDone();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void BuildTray();
    void OnRefreshed(const EngineSnapshot& snapshot);
    void SetTray(TraySlot slot, const QString& toolTip = QString());
    void SetEngineReachable(bool reachable);
    // The trap port cannot be had: the window ends (the console stays in the tray, or ends without one).
    void OnListenerFailed();
    void ShowUps(int slot);
    void ClearUps(int slot);
    void BuildEventList();
    void CenterAndShow();
    void OnCountdownSilent();
    void ShowCountdownStale();
    void ApplyPoll(const StatusPoll& poll);
    // The devices whose status the window shows (the poll reads them).
    std::vector<int> PolledDevices();
    // After an edit: Save enabled, the note shown.
    void MarkUnsaved();
    void UpdateUnsavedNote();
    void OnDiscoveryNotice(const TrapRecord& record);
    // The model's events of the selected row's pairs (only those found).
    std::vector<EventEntry*> SelectedEvents();
    void ShowSelectedEvent();
    void SetEditorDirty(int bit);
    void SetMode(bool redundant);

    IConsoleSession& m_session;
    EngineWorker& m_worker;
    IMessageBoxSink& m_messages;
    SnmpThread* m_snmpThread;
    MainWindowSettings m_settings;

    ConsoleModel m_model;
    std::vector<EventListRow> m_eventRows;
    TrapQueue m_queue;
    std::unique_ptr<SnmpListener> m_listener;
    uint16_t m_trapPort = 0;
    QTimer m_keepAlive;
    bool m_sessionOpen = false;
    bool m_firstRefreshPending = false;
    bool m_engineReachable = true;
    // Non-empty when the console's own set-up failed: the tray's tooltip.
    QString m_setupFailure;
    bool m_otherConsole = false;
    bool m_tornDown = false;
    int m_refreshes = 0;

    QSystemTrayIcon* m_tray = nullptr;
    QMenu* m_trayMenu = nullptr;
    QAction* m_openAction = nullptr;
    QAction* m_aboutAction = nullptr;
    QAction* m_exitAction = nullptr;
    TraySlot m_traySlot = TraySlot::Locked;
    QString m_trayToolTip;
    QIcon m_icons[9];

    std::unique_ptr<ShutdownNotification> m_alert;
    uint32_t m_lastCountdown = 0;
    uint32_t m_countdownValue = 0;
    QDateTime m_countdownHeard;
    bool m_countdownStale = false;
    // When the last countdown or status notice was handled (a poll read before it is older news).
    std::chrono::steady_clock::time_point m_lastNoticeAt;
    QTimer m_countdownWatch;
    std::unique_ptr<DiscoveryProber> m_prober;
    QPointer<CDiscoveryProgress> m_discovery;
    QPointer<CAgentDiscovery> m_agentDiscovery;

    int m_dirty = 0;
    bool m_redundantChoice = false;
    bool m_hibernateChoice = false;
    QLineEdit* m_shutdownDelayEdit = nullptr;
    QSpinBox* m_shutdownDelaySpin = nullptr;
    QLineEdit* m_commandDelayEdit = nullptr;
    QSpinBox* m_commandDelaySpin = nullptr;
    QLineEdit* m_commandEdits[2] = {};

    struct UpsControls {
        QLineEdit* octets[4] = {};
        QLineEdit* community = nullptr;
        QLineEdit* model = nullptr;
        QLineEdit* location = nullptr;
        QLineEdit* status = nullptr;
        QPushButton* deleteButton = nullptr;
    } m_ups[2];
    QPushButton* m_close = nullptr;
    QPushButton* m_save = nullptr;
    QPushButton* m_discover = nullptr;
    QPushButton* m_login = nullptr;
    QPushButton* m_exitButton = nullptr;
    QPushButton* m_aboutButton = nullptr;
    QLabel* m_unreachableNote = nullptr;
    QLabel* m_otherConsoleNote = nullptr;
    QLabel* m_unsavedNote = nullptr;
    QLabel* m_eventLabel = nullptr;
    QTreeWidget* m_eventList = nullptr;
    QCheckBox* m_shutdownCheck = nullptr;
    QWidget* m_shutdownDelay[3] = {};  // label, edit, up-down
    QCheckBox* m_commandCheck = nullptr;
    QWidget* m_commandControls[7] = {};  // delay label, edit, up-down, after label, edit, clear label, edit
    QRadioButton* m_standard = nullptr;
    QLabel* m_standardText = nullptr;
    QRadioButton* m_redundant = nullptr;
    QLabel* m_redundantText = nullptr;
    QCheckBox* m_requirePassword = nullptr;
    QLineEdit* m_password = nullptr;
    QLineEdit* m_retype = nullptr;
    QRadioButton* m_shutdownType = nullptr;
    QRadioButton* m_hibernateType = nullptr;
};
