#pragma once
// CHaltwatchDlg: the console's main window "Vigilon Shutdown Console" and its tray icon. It owns the model
// (GUI thread only), the trap queue and listener, and the keep-alive timer; every SNMP request goes to the
// EngineWorker and its answer comes back queued.
//
// Where the desktop has no system tray the window is never hidden into it: it starts shown, Close only
// minimises it, and Log In and Exit buttons take the tray menu's place.
//
// Threads: GUI thread, except QueueTrap (any thread; it only pushes into the trap queue) and the trap
// queue's sink, which posts each record to the GUI thread.

#include <QIcon>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

#include "console/ConsoleModel.h"
#include "console/TrapQueue.h"

class CHaltwatchApp;
class EngineWorker;
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
};

class CHaltwatchDlg : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kTitle = "Vigilon Shutdown Console";
    static constexpr const char* kDefaultCommunity = "wendolmar";

    // snmpThread may be null: no trap listener (records then come only through QueueTrap).
    CHaltwatchDlg(CHaltwatchApp& app, EngineWorker& worker, IMessageBoxSink& messages, SnmpThread* snmpThread,
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
    void OnExit();
    // Ends the session, listener, queue and timer (also done by the destructor).
    void Teardown();

    ConsoleModel& Model() { return m_model; }
    bool TrayAvailable() const { return m_tray != nullptr; }
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
    // A notification was handled: its code and the OID of its first varbind (dotted, may be empty).
    void trapHandled(int specific, const QString& firstOid);
    void discoveryRequested();
    void exitRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void BuildTray();
    void OnRefreshed(const EngineSnapshot& snapshot);
    void SetTray(TraySlot slot);
    void ShowUps(int slot);
    void ClearUps(int slot);
    void BuildEventList();
    void CenterAndShow();

    CHaltwatchApp& m_app;
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
