#include "engine/remote/RemoteAgentThread.h"

#include "engine/base/AppLog.h"

int CRemoteAgentThread::IdleWaitMs(uint32_t minutes)
{
    uint64_t m = minutes < 1 ? 1 : minutes > 1440 ? 1440 : minutes;
    return static_cast<int>(m * 60000ull);
}

CRemoteAgentThread::CRemoteAgentThread(IRemoteWorkOwner* owner) : VigilonThread("RemoteAgentThread#", 0x4000), m_owner(owner)
{
}

CRemoteAgentThread::~CRemoteAgentThread()
{
    Stop();
}

bool CRemoteAgentThread::Start()
{
    if (!VigilonThread::Start())
        return false;
    AppLog::Instance()->Printf(kLogDebug, "[%08lX] Started remote agent thread", GetId());
    return true;
}

void CRemoteAgentThread::Stop()
{
    const bool wasRunning = IsRunning();
    VigilonThread::Stop();
    WaitForEnd();
    if (wasRunning)
        AppLog::Instance()->Printf(kLogDebug, "[%08lX] Stopped remote agent thread", GetId());
}

void CRemoteAgentThread::SignalThread()
{
    AppLog::Instance()->Printf(kLogDebug, "[%08lX] CRemoteAgentThread::SignalThread called", GetId());
    m_timeout.store(kSignalTimeoutMs);
    Signal();
}

bool CRemoteAgentThread::Suspend()
{
    bool suspended = false;
    if (IsRunning()) {
        MutexLock lock(*this, kSuspendLockMs);
        suspended = lock.Locked();
        if (suspended) {
            m_suspended.store(true);
            m_timeout.store(-1);
        }
    }
    if (suspended) {
        AppLog::Instance()->Printf(kLogDebug, "[%08lX] Suspended remote agent thread", GetId());
        return true;
    }
    AppLog::Instance()->Printf(kLogError, "[%08lX] Could not pause remote agent thread", GetId());
    return false;
}

bool CRemoteAgentThread::Resume()
{
    bool resumed = false;
    if (IsRunning()) {
        MutexLock lock(*this, kSuspendLockMs);
        resumed = lock.Locked();
        if (resumed)
            m_suspended.store(false);
    }
    if (resumed) {
        AppLog::Instance()->Printf(kLogDebug, "[%08lX] Resumed remote agent thread", GetId());
        return true;
    }
    AppLog::Instance()->Printf(kLogDebug, "[%08lX] Could not resume remote agent thread", GetId());
    return false;
}

void CRemoteAgentThread::DoWork()
{
    m_timeout.store(kWorkTimeoutMs);
    if (m_owner)
        m_owner->Process(*this);
}

void CRemoteAgentThread::main()
{
    AppLog::Instance()->Printf(kLogDebug, "[%08lX] CRemoteAgentThread::main started", GetId());
    while (WaitForWork(m_timeout.load())) {
        {
            MutexLock lock(*this, kUnitLockMs);
            if (lock.Locked() && !m_suspended.load()) {
                try {
                    DoWork();
                } catch (...) {
                    AppLog::Instance()->Log(kLogError, "[CRemoteAgentThread::main]: unit of work failed");
                }
                m_units.fetch_add(1);
            }
        }
        if (!CheckRunning())
            break;
    }
}
