#pragma once
// The system queue: deferred engine work run in arrival order on one thread of its own.
//
// Any engine thread posts a request and returns at once; the queue's thread runs one request per
// wake-up and, while requests are waiting, wakes again after 200 ms (or at once when a new request
// arrives). The request types are the kSystemRequest constants below; any other type is taken and
// dropped.
//
// Threads: Post, Add, GetNextEntry and Count are safe from any thread; StartThread, StopThread and
// Destroy belong to the owner (the server). The queue lock ("SystemQueueMutex#", private to each
// queue) guards only the list of requests, is taken with a 2000 ms limit and is never held while work
// runs; it is a leaf (only the log is taken under it).

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "engine/base/Mutex.h"
#include "engine/base/VigilonThread.h"

// Request types.
constexpr uint32_t kSystemRequestStarted = 1;       // the server's started step (host: OnStarted)
constexpr uint32_t kSystemRequestNothing = 2;       // nothing to do
constexpr uint32_t kSystemRequestDiscovery = 3;     // one network discovery run, then a pool resize
constexpr uint32_t kSystemRequestAdjustThreads = 5; // resize the remote-agent worker pool
constexpr uint32_t kSystemRequestWriteConfig = 10;  // rewrite the INI file (host: WriteConfigFile)
constexpr uint32_t kSystemRequestSaveFiles = 11;    // save the data files its flags name
// The flags of a save request: the data files to save (host: SaveDataFiles).
constexpr uint32_t kSaveDevices = 1;
constexpr uint32_t kSaveUserExtension = 2;
constexpr uint32_t kSaveConsoles = 4;
constexpr uint32_t kSaveRemoteAgents = 8;

struct SystemQueueRequest {
    uint32_t type = 0;
    uint32_t flags = 0;
};

// One network discovery run (the remote-agent issue builds the scanner).
class INetScan {
public:
    virtual ~INetScan() = default;
    // Runs the discovery to its end on the calling thread.
    virtual void Start() = 0;
    // From another thread: makes a running Start end soon, its threads joined.
    virtual void Cancel() {}
};

// What the queue's work calls. The server implements it; tests put a recorder in its place.
class ISystemQueueHost {
public:
    virtual ~ISystemQueueHost() = default;
    virtual void OnStarted() = 0;
    virtual void WriteConfigFile() = 0;
    virtual void SaveDataFiles(uint32_t flags) = 0;
    // Discovery (type 3) and the worker pool (type 5), through the remote-agent manager.
    virtual std::unique_ptr<INetScan> CreateNetScan() = 0;
    virtual void RecordDiscoveryErrors(const std::string& text) = 0;
    virtual void SuspendRemoteThreads() = 0;
    virtual void ResumeRemoteThreads() = 0;
    virtual void ClearDiscoveryRequested() = 0;
    virtual void AdjustRemoteThreads() = 0;
};

class CSystemQueue : public VigilonThread {
public:
    static constexpr unsigned kLockTimeoutMs = 2000;
    static constexpr int kPendingWaitMs = 200;

    explicit CSystemQueue(ISystemQueueHost* host);
    ~CSystemQueue() override;

    // Queues a new request; 0 when it cannot be had or queued (nothing is left behind), else 1.
    int Post(uint32_t type, uint32_t flags = 0);
    // 1 when queued (the queue owns it now); 0 for a null request or a lock time-out (the request is
    // freed).
    int Add(std::unique_ptr<SystemQueueRequest> request);
    // The oldest request, taken out (the caller owns it), or null.
    std::unique_ptr<SystemQueueRequest> GetNextEntry();
    // Requests waiting; 1 when the lock cannot be had in time (so the thread looks again soon).
    size_t Count();

    // 1, or 0 (logged) when the thread cannot be started.
    int StartThread();
    void SignalThread();
    void StopThread();
    // Cancels a running discovery, stops the thread (waiting for the work in hand to end) and frees
    // every request still queued, without running it. 1.
    int Destroy();

    // Runs one queued request at most (the thread's work; tests call it directly).
    void OnQueueThread();

protected:
    void main() override;

private:
    void RunLoop();
    void Run(const SystemQueueRequest& request);
    void RunDiscovery();

    ISystemQueueHost* m_host;
    Mutex m_queueLock;
    std::deque<std::unique_ptr<SystemQueueRequest>> m_requests;
    // The discovery in hand, for Destroy to cancel (a leaf lock).
    std::mutex m_scanMutex;
    INetScan* m_runningScan = nullptr;
    bool m_destroying = false;
};
