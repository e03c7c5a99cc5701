#pragma once
// CHaltwatchApp: the console's start-up. In order: a single instance per user (a second start hands over
// to the first, which opens its window, and ends), the check that the engine's service runs (unless
// -noservice), the login probe with the built-in community (at the -a address, or on the host's own
// addresses), then the main window, locked when the probe failed.
//
// Threads: GUI thread only. The probes run on the EngineWorker.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "console/CDlgAgentLogin.h"
#include "console/CHaltwatchDlg.h"
#include "console/ConsoleOids.h"
#include "console/ConsoleOptions.h"
#include "console/ConsoleSession.h"

class EngineWorker;
class IEngineTransport;
class IMessageBoxSink;
class QLocalServer;
class SnmpThread;

struct ConsoleEnvironment {
    IEngineTransport* transport = nullptr;  // required
    SnmpThread* snmpThread = nullptr;       // the trap listener's; null: no listener
    IMessageBoxSink* messages = nullptr;    // required
    std::function<bool()> serviceRunning;   // empty: IsEngineServiceRunning
    QStringList localAddresses;             // empty: 127.0.0.1, then the host's IPv4 addresses
    QString instanceName;                   // empty: one name per user
    int keepAliveMs = 10000;
    int countdownSilenceMs = 15000;
    bool useSystemTray = true;
};

class CHaltwatchApp : public QObject, public IConsoleSession {
    Q_OBJECT
public:
    enum class StartResult { Running, HandedOver, ServiceStopped, InstanceFailed };
    static constexpr const char* kServiceStopped = "Vigilon Agent service is stopped, please start the service first.";

    CHaltwatchApp(ConsoleEnvironment environment, ConsoleOptions options);
    ~CHaltwatchApp() override;

    StartResult Start();
    // Ends the window, the worker's session and the single-instance server.
    void Shutdown();

    // IConsoleSession: the login and the engine it found, as the window sees them.
    void PromptLogin(std::function<void(bool)> done) override;
    bool LoggedIn() const override { return m_loggedIn; }
    QString RequestCommunity() const override { return m_community; }
    void SetRequestCommunity(const QString& community) override { m_community = community; }
    QString EngineAddress() const override { return m_engineAddress; }

    const ConsoleOptions& Options() const { return m_options; }
    CHaltwatchDlg* Window() const { return m_window.get(); }
    CDlgAgentLogin* LoginDialog() const { return m_loginDialog; }
    EngineWorker& Worker() { return *m_worker; }
    // The name of the single-instance server for this user.
    static QString DefaultInstanceName();

signals:
    // The main window exists (after the start-up probe).
    void windowCreated();
    void exitRequested();

private:
    bool ClaimInstance();
    void OnProbed(bool ok, const QString& engineAddress);
    void OnHandOver();

    ConsoleEnvironment m_env;
    ConsoleOptions m_options;
    std::unique_ptr<EngineWorker> m_worker;
    std::unique_ptr<CHaltwatchDlg> m_window;
    QLocalServer* m_instanceServer = nullptr;
    QPointer<CDlgAgentLogin> m_loginDialog;
    QString m_engineAddress;
    QString m_community = console_oid::kDefaultCommunity;
    bool m_loggedIn = false;
    bool m_openPending = false;
};
