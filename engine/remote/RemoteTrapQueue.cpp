#include "engine/remote/RemoteTrapQueue.h"

#include "engine/base/AppLog.h"

CRemoteTrapQueue::CRemoteTrapQueue() : VigilonThread("RemoteTrapQThread#", 0x4000), m_queueLock("RemoteTrapQLock#")
{
}

CRemoteTrapQueue::~CRemoteTrapQueue()
{
    Stop();
}

bool CRemoteTrapQueue::Start(IRemoteTrapOwner* owner)
{
    m_owner.store(owner);
    if (!VigilonThread::Start())
        return false;
    AppLog::Instance()->Printf(kLogDebug, "[%08lX] Started remote agent trap queue", GetId());
    return true;
}

void CRemoteTrapQueue::Stop()
{
    const bool wasRunning = IsRunning();
    VigilonThread::Stop();
    WaitForEnd();
    if (wasRunning)
        AppLog::Instance()->Printf(kLogDebug, "[%08lX] Stopped remote agent trap queue", GetId());
    std::deque<std::unique_ptr<RemoteTrapRecord>> left;
    {
        MutexLock lock(m_queueLock);
        left.swap(m_records);
    }
}

bool CRemoteTrapQueue::Push(std::unique_ptr<RemoteTrapRecord>& record)
{
    if (!record || m_queueLock.TryLock(kLockMs) != 1)
        return false;
    const bool full = m_records.size() >= kMaxRecords;
    if (!full)
        m_records.push_back(std::move(record));
    m_queueLock.Unlock();
    if (full) {
        // One line per hundred drops: a flood must not flood the log too.
        if (m_dropped.fetch_add(1) % 100 == 0)
            AppLog::Instance()->Printf(kLogWarning, "CRemoteTrapQueue: queue full (%zu traps); %llu traps dropped so far",
                                       kMaxRecords, static_cast<unsigned long long>(m_dropped.load()));
        return false;
    }
    AppLog::Instance()->Printf(kLogDebug, "[%08lX] Signalling remote agent trap queue", GetId());
    Signal();
    return true;
}

size_t CRemoteTrapQueue::GetCount()
{
    if (m_queueLock.TryLock(kLockMs) != 1)
        return 1;
    size_t n = m_records.size();
    m_queueLock.Unlock();
    return n;
}

void CRemoteTrapQueue::ProcessNext()
{
    std::unique_ptr<RemoteTrapRecord> record;
    if (m_queueLock.TryLock(kLockMs) != 1)
        return;
    if (!m_records.empty()) {
        record = std::move(m_records.front());
        m_records.pop_front();
    }
    m_queueLock.Unlock();
    if (!record)
        return;
    IRemoteTrapOwner* owner = m_owner.load();
    try {
        if (owner)
            owner->ProcessTrap(*record);
    } catch (...) {
        AppLog::Instance()->Log(kLogError, "[CRemoteTrapQueue::ProcessNext]: trap processing failed");
    }
    m_processed.fetch_add(1);
}

void CRemoteTrapQueue::main()
{
    AppLog::Instance()->Printf(kLogDebug, "[%08lX] Remote agent trap queue thread main", GetId());
    while (WaitForWork(GetCount() != 0 ? kBacklogWaitMs : -1)) {
        ProcessNext();
        if (!CheckRunning())
            break;
    }
}
