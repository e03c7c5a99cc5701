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
    MutexLock lock(m_queueLock);
    m_records.Clear();
}

bool CRemoteTrapQueue::Push(std::unique_ptr<RemoteTrapRecord>& record)
{
    if (!record)
        return false;
    std::string key;
    IRemoteTrapOwner* owner = m_owner.load();
    try {
        if (owner && !owner->AdmitTrap(*record, key)) {
            m_notAdmitted.fetch_add(1);
            return false;
        }
    } catch (...) {
        AppLog::Instance()->Log(kLogError, "[CRemoteTrapQueue::Push]: the trap could not be checked; refused");
        return false;
    }
    size_t gaveWay = 0;
    RemoteTrapBacklog::AddResult result = RemoteTrapBacklog::AddResult::Refused;
    {
        MutexLock lock(m_queueLock, kLockMs);
        if (!lock)
            return false;
        result = m_records.Add(record, std::move(key), &gaveWay);
    }
    if (result == RemoteTrapBacklog::AddResult::Refused) {
        // One line per hundred drops: a flood must not flood the log too.
        if (m_dropped.fetch_add(1) % 100 == 0)
            AppLog::Instance()->Printf(kLogWarning, "CRemoteTrapQueue: queue full (%zu traps); %llu traps dropped so far",
                                       kMaxRecords, static_cast<unsigned long long>(m_dropped.load()));
        return false;
    }
    const uint64_t before = gaveWay != 0 ? m_coalesced.fetch_add(gaveWay) : 0;
    if (gaveWay != 0 && (before == 0 || before / 1000 != (before + gaveWay) / 1000))
        AppLog::Instance()->Printf(kLogWarning, "CRemoteTrapQueue: queue full (%zu traps); earlier states of the same "
                                                "alarms give way to the latest (%llu so far)",
                                   kMaxRecords, static_cast<unsigned long long>(before + gaveWay));
    AppLog::Instance()->Printf(kLogDebug, "[%08lX] Signalling remote agent trap queue", GetId());
    Signal();
    return true;
}

size_t CRemoteTrapQueue::GetCount()
{
    MutexLock lock(m_queueLock, kLockMs);
    // Not had: the caller is told there is something left, so it comes back.
    return lock ? m_records.Size() : 1;
}

bool CRemoteTrapQueue::ProcessNext()
{
    std::unique_ptr<RemoteTrapRecord> record;
    {
        MutexLock lock(m_queueLock, kLockMs);
        if (!lock)
            return false;
        record = m_records.Take();
    }
    if (!record)
        return false;
    IRemoteTrapOwner* owner = m_owner.load();
    try {
        if (owner)
            owner->ProcessTrap(*record);
    } catch (...) {
        AppLog::Instance()->Log(kLogError, "[CRemoteTrapQueue::ProcessNext]: trap processing failed");
    }
    m_processed.fetch_add(1);
    return true;
}

void CRemoteTrapQueue::main()
{
    AppLog::Instance()->Printf(kLogDebug, "[%08lX] Remote agent trap queue thread main", GetId());
    // Each pass drains the queue; a record pushed meanwhile signals the next pass. With records left
    // (the lock was not had) the next pass comes after kBacklogWaitMs.
    while (WaitForWork(GetCount() != 0 ? kBacklogWaitMs : -1)) {
        while (ProcessNext() && CheckRunning()) {
        }
        if (!CheckRunning())
            break;
    }
}
