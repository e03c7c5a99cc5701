#include "engine/core/runtime/SystemQueue.h"

#include <new>

#include "engine/base/AppLog.h"

CSystemQueue::CSystemQueue(ISystemQueueHost* host)
    : VigilonThread("SystemQueueThread#", 16384), m_host(host), m_queueLock("SystemQueueMutex#")
{
}

CSystemQueue::~CSystemQueue()
{
    Stop();
    WaitForEnd();
}

int CSystemQueue::Post(uint32_t type, uint32_t flags)
{
    std::unique_ptr<SystemQueueRequest> request(new (std::nothrow) SystemQueueRequest);
    if (!request)
        return 0;
    request->type = type;
    request->flags = flags;
    return Add(std::move(request));
}

int CSystemQueue::Add(std::unique_ptr<SystemQueueRequest> request)
{
    if (!request) {
        AppLog::Instance()->Printf(kLogError, "CSystemQueue::Add( ) passed null pointer");
        return 0;
    }
    AppLog::Instance()->Printf(kLogDebug, "CSystemQueue::Add( type = %u, flags = %08X", request->type,
                               request->flags);
    bool queued = true;
    {
        MutexLock lock(m_queueLock, kLockTimeoutMs);
        if (!lock.Locked()) {
            AppLog::Instance()->Printf(kLogError, "CSystemQueue::Add( ) failed to lock the queue before adding");
            return 0; // the request goes with its owner
        }
        try {
            m_requests.push_back(std::move(request));
        } catch (const std::bad_alloc&) {
            queued = false;
        }
    }
    if (!queued)
        return 0;
    SignalThread();
    return 1;
}

std::unique_ptr<SystemQueueRequest> CSystemQueue::GetNextEntry()
{
    std::unique_ptr<SystemQueueRequest> request;
    {
        MutexLock lock(m_queueLock, kLockTimeoutMs);
        if (lock.Locked() && !m_requests.empty()) {
            request = std::move(m_requests.front());
            m_requests.pop_front();
        }
        if (lock.Locked())
            return request;
    }
    AppLog::Instance()->Printf(kLogError, "CSystemQueue::GetNextEntry( ) failed to lock queue");
    return nullptr;
}

size_t CSystemQueue::Count()
{
    MutexLock lock(m_queueLock, kLockTimeoutMs);
    return lock.Locked() ? m_requests.size() : 1;
}

int CSystemQueue::StartThread()
{
    if (!Start()) {
        AppLog::Instance()->Printf(kLogError, "[%08lX] System Queue Thread could not be started", GetId());
        return 0;
    }
    AppLog::Instance()->Printf(kLogDebug, "[%08lX] Started System Queue Thread", GetId());
    return 1;
}

void CSystemQueue::SignalThread()
{
    AppLog::Instance()->Printf(kLogDebug, "[%08lX] System Queue Thread Signalled", GetId());
    Signal();
}

void CSystemQueue::StopThread()
{
    AppLog::Instance()->Printf(kLogDebug, "[%08lX] Stopped System Queue Thread", GetId());
    Stop();
}

int CSystemQueue::Destroy()
{
    {
        std::lock_guard<std::mutex> lock(m_scanMutex);
        m_destroying = true;
        if (m_runningScan)
            m_runningScan->Cancel();
    }
    StopThread();
    // The work in hand uses the managers that are destroyed after the queue: it must have ended.
    WaitForEnd();
    std::deque<std::unique_ptr<SystemQueueRequest>> left;
    {
        MutexLock lock(m_queueLock, kLockTimeoutMs);
        if (lock.Locked())
            left.swap(m_requests);
    }
    for (const auto& request : left)
        if (request && request->type == kSystemRequestDiscovery && m_host)
            m_host->ClearDiscoveryRequested(); // a discovery that will never run is no longer requested
    return 1; // left frees the requests without running them
}

void CSystemQueue::OnQueueThread()
{
    std::unique_ptr<SystemQueueRequest> request = GetNextEntry();
    if (!request)
        return;
    AppLog::Instance()->Printf(kLogDebug, "CSystemQueue::OnQueueThread( type = %u, flags = %08X",
                               request->type, request->flags);
    if (!m_host)
        return;
    try {
        Run(*request);
    } catch (const std::exception& e) {
        AppLog::Instance()->Printf(kLogError, "CSystemQueue::OnQueueThread( type = %u ) failed: %s",
                                   request->type, e.what());
    } catch (...) {
        AppLog::Instance()->Printf(kLogError, "CSystemQueue::OnQueueThread( type = %u ) failed", request->type);
    }
}

void CSystemQueue::Run(const SystemQueueRequest& request)
{
    switch (request.type) {
    case kSystemRequestStarted:
        m_host->OnStarted();
        break;
    case kSystemRequestDiscovery:
        RunDiscovery();
        break;
    case kSystemRequestAdjustThreads:
        m_host->AdjustRemoteThreads();
        break;
    case kSystemRequestWriteConfig:
        m_host->WriteConfigFile();
        break;
    case kSystemRequestSaveFiles:
        m_host->SaveDataFiles(request.flags);
        break;
    default:
        break; // kSystemRequestNothing and unknown types
    }
}

void CSystemQueue::RunDiscovery()
{
    std::unique_ptr<INetScan> scan;
    try {
        scan = m_host->CreateNetScan();
    } catch (...) {
        scan.reset();
    }
    if (!scan) {
        m_host->RecordDiscoveryErrors("Could not create the network scan object.  Aborting discovery");
        // The request is over: a flag left set would hold off every later discovery.
        m_host->ClearDiscoveryRequested();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_scanMutex);
        m_runningScan = scan.get();
        if (m_destroying)
            scan->Cancel();
    }
    struct Unregister {
        CSystemQueue& queue;
        ~Unregister()
        {
            std::lock_guard<std::mutex> lock(queue.m_scanMutex);
            queue.m_runningScan = nullptr;
        }
    } unregister{*this};
    m_host->SuspendRemoteThreads();
    try {
        scan->Start();
    } catch (...) {
        m_host->ClearDiscoveryRequested();
        m_host->ResumeRemoteThreads();
        throw;
    }
    m_host->ClearDiscoveryRequested();
    {
        std::lock_guard<std::mutex> lock(m_scanMutex);
        m_runningScan = nullptr;
    }
    scan.reset();
    m_host->ResumeRemoteThreads();
    m_host->AdjustRemoteThreads();
}

void CSystemQueue::main()
{
    try {
        RunLoop();
    } catch (...) {
        // Nothing leaves the thread.
    }
}

void CSystemQueue::RunLoop()
{
    AppLog::Instance()->Printf(kLogDebug, "Entering CSystemQueue::main( %s )", GetName());
    while (WaitForWork(Count() != 0 ? kPendingWaitMs : -1)) {
        OnQueueThread();
        if (!CheckRunning())
            break;
    }
    AppLog::Instance()->Printf(kLogDebug, "Exiting CSystemQueue::main( %s )", GetName());
}
