#pragma once
// EngineWorker: the console's SNMP worker. It owns the main session to the engine and runs every request
// on its own thread, one job at a time, in the order the jobs were posted; each result goes back to the
// GUI thread by queued invocation on a context object (dropped when that object is gone) or by a queued
// signal.
//
// Threads: construct, post jobs (the public methods) and destroy on the GUI thread; the jobs run on the
// worker thread. The transport must outlive the worker.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

#include "console/ConsoleModel.h"
#include "console/SnmpServer.h"
#include "console/StatusPoll.h"

class IEngineTransport;

Q_DECLARE_METATYPE(EngineSnapshot)

class EngineWorker : public QObject {
    Q_OBJECT
public:
    static constexpr int kEnginePort = 3664;

    explicit EngineWorker(IEngineTransport& transport);
    ~EngineWorker() override;

    // Opens the main session (SNMPv2c) and registers the console: a read of the console-activation
    // variable, then the console's own trap port written to the engine. done(opened).
    void OpenSession(const QString& address, const QString& community, int port, int trapPort, QObject* context,
                     std::function<void(bool)> done);
    void CloseSession();
    // The keep-alive read, then the status poll (StatusPoll.h: the countdown, the status of devices, and
    // the console's registration, written back when another console that had taken it is gone). An engine
    // that lost the console (a restart, a drop) thus sends to the right port again, and a console on this
    // host that still holds the notices keeps them. Emits keepAliveDone(whether the engine answered; false
    // also when no session is open, the poll). A keep-alive posted while another waits is dropped.
    void KeepAlive(std::vector<int> devices = {});
    // Reads a snapshot and emits refreshed. A refresh posted while another waits is merged with it.
    void Refresh();
    // engineBusy reads 0. done(idle).
    void CheckIdle(QObject* context, std::function<void(bool)> done);

    // Login probes on temporary SNMPv1 sessions. ProbeLocal tries each address in order and reads the
    // engine's own address (done gets that address, or the one asked when the engine reports 0.0.0.0);
    // ProbeAt asks the engine at address for its device count: any answer, an error status included, proves
    // the community. done(ok, engine address).
    void ProbeLocal(const QString& community, const QStringList& addresses, int port, QObject* context,
                    std::function<void(bool, QString)> done);
    void ProbeAt(const QString& community, const QString& address, int port, QObject* context,
                 std::function<void(bool, QString)> done);

    IEngineTransport& Transport() { return m_transport; }

    // Runs any job on the worker thread (for the editing parts of the console).
    void Post(std::function<void(SnmpServer& session)> job);

signals:
    void refreshed(const EngineSnapshot& snapshot);
    void keepAliveDone(bool ok, const StatusPoll& poll);

private:
    // The first registration of a session: the console takes the notices (a newer console on this host
    // takes them from an older one, which sees it in its status poll).
    bool Register();

    IEngineTransport& m_transport;
    QThread m_thread;
    // Lives on m_thread: jobs are invoked on it.
    QObject* m_runner = nullptr;
    // Worker thread only.
    std::unique_ptr<SnmpServer> m_session;
    int m_trapPort = 0;
    std::atomic<bool> m_refreshQueued{false};
    std::atomic<bool> m_keepAliveQueued{false};
};
