#include "console/EngineWorker.h"

#include <arpa/inet.h>

#include "console/ConsoleOids.h"

using namespace console_oid;

namespace {

template <class F>
void RunOn(QObject* target, F&& f)
{
    QMetaObject::invokeMethod(target, std::forward<F>(f), Qt::QueuedConnection);
}

QString AddressText(uint32_t a)
{
    return QString("%1.%2.%3.%4").arg(a & 0xFF).arg((a >> 8) & 0xFF).arg((a >> 16) & 0xFF).arg(a >> 24);
}

}  // namespace

EngineWorker::EngineWorker(IEngineTransport& transport)
    : m_transport(transport), m_session(std::make_unique<SnmpServer>(transport))
{
    static const int registered = qRegisterMetaType<EngineSnapshot>() + qRegisterMetaType<StatusPoll>();
    (void)registered;
    m_runner = new QObject;
    m_runner->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_runner, &QObject::deleteLater);
    m_thread.setObjectName("haltwatch-snmp-worker");
    m_thread.start();
}

EngineWorker::~EngineWorker()
{
    m_thread.quit();
    m_thread.wait();
}

void EngineWorker::Post(std::function<void(SnmpServer&)> job)
{
    RunOn(m_runner, [this, job = std::move(job)] { job(*m_session); });
}

bool EngineWorker::Register()
{
    int32_t value = 0;
    bool ok = m_session->GetInt(value, kConsoleActivation);
    if (ok && m_trapPort > 0)
        m_session->SetInt(m_trapPort, kConsoleTrapPort);
    return ok;
}

void EngineWorker::OpenSession(const QString& address, const QString& community, int port, int trapPort,
                               QObject* context, std::function<void(bool)> done)
{
    RunOn(m_runner, [=, this] {
        bool opened = m_session->Open(address.toStdString(), community.toStdString(), port, 2);
        m_trapPort = trapPort;
        if (opened)
            Register();
        RunOn(context, [done, opened] { done(opened); });
    });
}

void EngineWorker::CloseSession()
{
    RunOn(m_runner, [this] {
        m_session->Close();
    });
}

void EngineWorker::KeepAlive(std::vector<int> devices)
{
    if (m_keepAliveQueued.exchange(true))
        return;
    RunOn(m_runner, [this, devices = std::move(devices)] {
        m_keepAliveQueued.store(false);
        StatusPoll poll;
        int32_t value = 0;
        const bool read = m_session->IsOpen() && m_session->GetInt(value, kConsoleActivation);
        // An answer with an error still proves the engine is there.
        const bool answered = read || (m_session->IsOpen() && m_session->LastAnswered());
        if (answered)
            poll = PollStatus(*m_session, static_cast<uint16_t>(m_trapPort > 0 && m_trapPort <= 0xFFFF ? m_trapPort : 0),
                              devices);
        emit keepAliveDone(answered, poll);
    });
}

void EngineWorker::Refresh()
{
    if (m_refreshQueued.exchange(true))
        return;
    RunOn(m_runner, [this] {
        m_refreshQueued.store(false);
        emit refreshed(ReadSnapshot(*m_session));
    });
}

void EngineWorker::CheckIdle(QObject* context, std::function<void(bool)> done)
{
    RunOn(m_runner, [=, this] {
        int32_t busy = 1;
        bool idle = m_session->GetInt(busy, kEngineBusy) && busy == 0;
        RunOn(context, [done, idle] { done(idle); });
    });
}

void EngineWorker::ProbeLocal(const QString& community, const QStringList& addresses, int port, QObject* context,
                              std::function<void(bool, QString)> done)
{
    RunOn(m_runner, [=, this] {
        bool ok = false;
        QString engine;
        for (const QString& address : addresses) {
            SnmpServer probe(m_transport);
            if (!probe.Open(address.toStdString(), community.toStdString(), port, 1))
                continue;
            uint32_t answer = 0;
            if (probe.GetIpAddress(answer, kEngineIpAddress)) {
                ok = true;
                engine = answer != 0 ? AddressText(answer) : address;
                break;
            }
        }
        RunOn(context, [done, ok, engine] { done(ok, engine); });
    });
}

void EngineWorker::ProbeAt(const QString& community, const QString& address, int port, QObject* context,
                           std::function<void(bool, QString)> done)
{
    RunOn(m_runner, [=, this] {
        SnmpServer probe(m_transport);
        bool ok = probe.Open(address.toStdString(), community.toStdString(), port, 1) && probe.Answers(kDeviceCount);
        RunOn(context, [done, ok, address] { done(ok, address); });
    });
}
