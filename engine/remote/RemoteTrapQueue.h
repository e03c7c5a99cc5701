#pragma once
// CRemoteTrapQueue: the first-in first-out queue of received traps with one thread that hands them,
// one at a time, to the owner's trap processing and frees them.
//
// The queue is bounded (kMaxRecords): a push beyond it is refused and counted, so a flood of traps
// cannot eat the engine's memory; the caller keeps (and frees) a refused record.
//
// Threads: Push, GetCount and GetDropped from any thread (the trap listener, the SNMP thread through
// the forwarded-trap variable); Start and Stop belong to the owner. The queue lock is held only while a
// record is appended or taken out; processing runs without it on the queue's thread, so traps are
// processed one at a time in arrival order.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "engine/base/Mutex.h"
#include "engine/base/VigilonThread.h"
#include "engine/remote/RemoteTrapRecord.h"

class IRemoteTrapOwner {
public:
    virtual ~IRemoteTrapOwner() = default;
    // On the queue's thread, one record at a time.
    virtual void ProcessTrap(const RemoteTrapRecord& record) = 0;
};

class CRemoteTrapQueue : public VigilonThread {
public:
    static constexpr size_t kMaxRecords = 1000;
    static constexpr unsigned kLockMs = 2000;
    static constexpr int kBacklogWaitMs = 30;

    CRemoteTrapQueue();
    ~CRemoteTrapQueue() override;

    bool Start(IRemoteTrapOwner* owner);
    // Stops the thread and frees every record still queued, unprocessed.
    void Stop();
    // On success the queue owns the record (record is then null); false when the lock was not had in
    // 2000 ms or the queue is full (counted), and the caller keeps it.
    bool Push(std::unique_ptr<RemoteTrapRecord>& record);
    // The queued records; 1 when the lock cannot be had in 2000 ms (so the thread keeps polling).
    size_t GetCount();
    uint64_t GetDropped() const { return m_dropped.load(); }
    uint64_t GetProcessed() const { return m_processed.load(); }

protected:
    void main() override;
    // Takes the first record out under the lock and processes it without the lock.
    void ProcessNext();

private:
    Mutex m_queueLock;
    std::deque<std::unique_ptr<RemoteTrapRecord>> m_records;
    std::atomic<IRemoteTrapOwner*> m_owner{nullptr};
    std::atomic<uint64_t> m_dropped{0};
    std::atomic<uint64_t> m_processed{0};
};
