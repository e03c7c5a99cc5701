#pragma once
// CRemoteAgentThread: one worker of the remote-agent manager's pool. It wakes, runs one unit of the
// owner's work (IRemoteWorkOwner::Process) and sleeps for a wait that the owner and the worker adjust:
// 250 ms while work flows (set before each unit), 100 ms after a signal, the idle wait between polling
// rounds, or without limit while suspended.
//
// Stopping: Stop asks the thread to end and then waits for it without limit, so the owner may free what
// the unit used only after Stop returns. A unit blocked in a client request ends quickly only when its
// request is cancelled first (the owner cancels its sessions before it stops the pool at shutdown).
//
// Threads: Start, Stop and the destructor belong to the owner (the manager, under its pool lock);
// Signal, Suspend, Resume, SetTimeout and GetTimeout are safe from any thread. The worker's own mutex
// (its Condition) is held for each whole unit of work; Suspend and Resume take it, so a suspension waits
// for a running unit to finish. Lock order: the worker's mutex before the manager's locks.

#include <atomic>
#include <cstdint>

#include "engine/base/VigilonThread.h"

class CRemoteAgentThread;

class IRemoteWorkOwner {
public:
    virtual ~IRemoteWorkOwner() = default;
    // One unit of work, on a worker thread; it may change the worker's wait (SetTimeout).
    virtual void Process(CRemoteAgentThread& worker) = 0;
};

class CRemoteAgentThread : public VigilonThread {
public:
    static constexpr int kWorkTimeoutMs = 250;
    static constexpr int kSignalTimeoutMs = 100;
    static constexpr unsigned kSuspendLockMs = 5000;
    static constexpr unsigned kUnitLockMs = 1000;
    // The idle wait between polling rounds: RemoteLoopbackDelay minutes, clamped to 1..1440, in ms.
    static int IdleWaitMs(uint32_t minutes);

    explicit CRemoteAgentThread(IRemoteWorkOwner* owner);
    ~CRemoteAgentThread() override;

    bool Start();
    // Stop flag, signal, then a wait without limit for the thread to end.
    void Stop();
    // Wait 100 ms, then wake.
    void SignalThread();
    bool Suspend();
    bool Resume();
    bool IsSuspended() const { return m_suspended.load(); }
    int GetTimeout() const { return m_timeout.load(); }
    void SetTimeout(int milliseconds) { m_timeout.store(milliseconds); }
    // Units of work run so far (for tests and the log).
    uint64_t GetUnits() const { return m_units.load(); }

protected:
    void main() override;
    virtual void DoWork();

private:
    IRemoteWorkOwner* m_owner;
    std::atomic<int> m_timeout{kWorkTimeoutMs};
    std::atomic<bool> m_suspended{false};
    std::atomic<uint64_t> m_units{0};
};
