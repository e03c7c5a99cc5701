#pragma once
// CRemoteTrapQueue: the first-in first-out queue of received traps with one thread that hands them,
// one at a time, to the owner's trap processing and frees them.
//
// Before a record takes a place, the owner admits it (AdmitTrap): a trap whose sender is no agent of
// ours, or whose community is not that agent's, is refused there and counted, so a flood of such traps
// takes no place from the agents' own. The owner also names what the record's state is about (its
// coalescing key, RemoteTrapBacklog). The queue is bounded (kMaxRecords): when it is full, records made
// obsolete by a later state of the same alarm give way, so the latest state of every alarm is
// processed; a full queue with nothing obsolete refuses the newest record and counts it. The caller
// keeps (and frees) a refused record.
//
// Threads: Push, GetCount and the counters from any thread (the trap listener, the SNMP thread through
// the forwarded-trap variable); Start and Stop belong to the owner. The queue lock is held only while a
// record is appended or taken out; processing runs without it on the queue's thread, so traps are
// processed one at a time in arrival order.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/base/Mutex.h"
#include "engine/base/VigilonThread.h"
#include "engine/remote/RemoteTrapBacklog.h"
#include "engine/remote/RemoteTrapRecord.h"

class IRemoteTrapOwner {
public:
    virtual ~IRemoteTrapOwner() = default;
    // On the pushing thread, before the record takes a place: false refuses it. key: the record's
    // coalescing key ("" for none).
    virtual bool AdmitTrap(const RemoteTrapRecord& record, std::string& key)
    {
        (void)record;
        key.clear();
        return true;
    }
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
    // On success the queue owns the record (record is then null); false when the owner does not admit
    // it, the lock was not had in 2000 ms or the queue is full with nothing obsolete (both counted), and
    // the caller keeps it.
    bool Push(std::unique_ptr<RemoteTrapRecord>& record);
    // The queued records; 1 when the lock cannot be had in 2000 ms (so the thread keeps polling).
    size_t GetCount();
    // Records refused by a full queue; records not admitted; queued records that gave way to a later
    // state of theirs.
    uint64_t GetDropped() const { return m_dropped.load(); }
    uint64_t GetNotAdmitted() const { return m_notAdmitted.load(); }
    uint64_t GetCoalesced() const { return m_coalesced.load(); }
    uint64_t GetProcessed() const { return m_processed.load(); }

protected:
    void main() override;
    // Takes the first record out under the lock and processes it without the lock; false when there was
    // none (or the lock was not had).
    bool ProcessNext();

private:
    Mutex m_queueLock;
    RemoteTrapBacklog m_records{kMaxRecords};
    std::atomic<IRemoteTrapOwner*> m_owner{nullptr};
    std::atomic<uint64_t> m_dropped{0};
    std::atomic<uint64_t> m_notAdmitted{0};
    std::atomic<uint64_t> m_coalesced{0};
    std::atomic<uint64_t> m_processed{0};
};
