#include "console/CHaltwatchApp.h"

#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>

#include "console/CDlgAgentLogin.h"
#include "console/DialogPlacement.h"
#include "console/EngineWorker.h"
#include "console/MessageBoxSink.h"
#include "console/ServiceCheck.h"
#include "console/StatusPoll.h"

namespace {

constexpr const char* kOpenRequest = "open\n";

}  // namespace

CHaltwatchApp::CHaltwatchApp(ConsoleEnvironment environment, ConsoleOptions options)
    : m_env(std::move(environment)), m_options(std::move(options))
{
    if (m_env.instanceName.isEmpty())
        m_env.instanceName = DefaultInstanceName();
    if (!m_env.serviceRunning)
        m_env.serviceRunning = IsEngineServiceRunning;
}

CHaltwatchApp::~CHaltwatchApp()
{
    Shutdown();
}

QString CHaltwatchApp::DefaultInstanceName()
{
    return QString("vigilon-haltwatch-%1").arg(getuid());
}

bool CHaltwatchApp::ClaimInstance()
{
    {
        QLocalSocket socket;
        socket.connectToServer(m_env.instanceName);
        if (socket.waitForConnected(1000)) {
            socket.write(kOpenRequest);
            socket.waitForBytesWritten(1000);
            socket.disconnectFromServer();
            return false;
        }
    }
    m_instanceServer = new QLocalServer(this);
    m_instanceServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_instanceServer->listen(m_env.instanceName)) {
        // A socket left behind by a console that did not end cleanly: nobody answered on it.
        QLocalServer::removeServer(m_env.instanceName);
        m_instanceServer->listen(m_env.instanceName);
    }
    connect(m_instanceServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = m_instanceServer->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                const QByteArray data = client->readAll();
                if (data.contains("open"))
                    OnHandOver();
            });
        }
    });
    return true;
}

void CHaltwatchApp::OnHandOver()
{
    if (m_window)
        m_window->OnOpenConsoleWindow();
    else
        m_openPending = true;
}

CHaltwatchApp::StartResult CHaltwatchApp::Start()
{
    if (!ClaimInstance())
        return StartResult::HandedOver;
    if (!m_instanceServer->isListening())
        return StartResult::InstanceFailed;
    if (!m_options.noService && !m_env.serviceRunning()) {
        m_env.messages->Show(nullptr, kMessageCaption, kServiceStopped);
        return StartResult::ServiceStopped;
    }
    m_worker = std::make_unique<EngineWorker>(*m_env.transport);
    m_community = console_oid::kDefaultCommunity;
    const int port = m_options.enginePort;
    if (m_options.haveAddress) {
        m_engineAddress = m_options.engineAddress;
        m_worker->ProbeAt(m_community, m_engineAddress, port, this,
                          [this](bool ok, const QString& address) { OnProbed(ok, address); });
    } else {
        const QStringList addresses = m_env.localAddresses.isEmpty() ? HostAddresses() : m_env.localAddresses;
        m_worker->ProbeLocal(m_community, addresses, port, this,
                             [this](bool ok, const QString& address) { OnProbed(ok, address); });
    }
    return StartResult::Running;
}

void CHaltwatchApp::OnProbed(bool ok, const QString& engineAddress)
{
    m_loggedIn = ok;
    if (ok)
        m_engineAddress = engineAddress;
    MainWindowSettings settings;
    settings.enginePort = m_options.enginePort;
    settings.trapPort = m_options.trapPort;
    settings.keepAliveMs = m_env.keepAliveMs;
    settings.countdownSilenceMs = m_env.countdownSilenceMs;
    settings.useSystemTray = m_env.useSystemTray;
    settings.noCenter = m_options.noCenter;
    m_window = std::make_unique<CHaltwatchDlg>(*this, *m_worker, *m_env.messages, m_env.snmpThread, settings);
    connect(m_window.get(), &CHaltwatchDlg::exitRequested, this, &CHaltwatchApp::exitRequested);
    m_window->InitDialog();
    emit windowCreated();
    if (m_openPending) {
        m_openPending = false;
        m_window->OnOpenConsoleWindow();
    }
}

void CHaltwatchApp::PromptLogin(std::function<void(bool)> done)
{
    if (m_loginDialog) {
        done(false);
        return;
    }
    const int port = m_options.enginePort;
    auto probe = [this, port](const QString& password, std::function<void(CDlgAgentLogin::Answer)> answered) {
        auto finish = [this, password, answered, port](bool ok, const QString& address) {
            if (ok) {
                m_community = password;
                m_engineAddress = address;
                answered(true);
                return;
            }
            // An engine drops a request with a password it does not take: no answer is all there is. On this
            // host the engine's port tells a refusal from an engine that does not run.
            const QString where = m_options.haveAddress ? m_options.engineAddress : QString("127.0.0.1");
            switch (LocalEnginePort(where, port)) {
            case EnginePortState::Held:
                answered(false);
                break;
            case EnginePortState::Free:
                answered({false, CDlgAgentLogin::kEngineNotRunning, false});
                break;
            case EnginePortState::Elsewhere:
                answered({false, CDlgAgentLogin::kNoAnswer, true});
                break;
            }
        };
        // With -a the typed password is tried where the console was told the engine is.
        if (m_options.haveAddress)
            m_worker->ProbeAt(password, m_options.engineAddress, port, this, finish);
        else
            m_worker->ProbeLocal(password,
                                 m_env.localAddresses.isEmpty() ? HostAddresses() : m_env.localAddresses, port,
                                 this, finish);
    };
    auto* dialog = new CDlgAgentLogin(probe, m_window.get());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_loginDialog = dialog;
    connect(dialog, &QDialog::finished, this, [this, done](int result) {
        if (result == QDialog::Accepted)
            m_loggedIn = true;
        done(result == QDialog::Accepted);
    });
    dialog->setWindowModality(Qt::ApplicationModal);
    // Over the window when it shows; in the tray the window is hidden: over the screen.
    dialog->adjustSize();
    CenterOverOwner(dialog, m_window.get());
    dialog->show();
}

void CHaltwatchApp::Shutdown()
{
    if (m_loginDialog)
        m_loginDialog->reject();
    // The window posts its last work to the worker; the worker ends (its jobs may still answer to the
    // window) before the window goes.
    if (m_window)
        m_window->Teardown();
    m_worker.reset();
    m_window.reset();
    if (m_instanceServer) {
        m_instanceServer->close();
        delete m_instanceServer;
        m_instanceServer = nullptr;
    }
}
