#pragma once
// TrapQueue: the bounded hand-over of received notifications from the SNMP thread to the GUI thread.
//
// Push never blocks: when kCapacity records wait already, the new one is dropped and counted. The queue's
// own thread takes the records in arrival order and passes each to the sink (which only posts it to the
// GUI thread); between records it checks the stop flag, so Stop returns once the record in hand is done.
//
// Threads: Push, Dropped and Size from any thread; Start, Stop and StopAndClear from the owner's thread.
// The sink runs on the queue's thread, outside the queue's lock.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "console/TrapRecord.h"

class TrapQueue {
public:
    static constexpr size_t kCapacity = 256;
    using Sink = std::function<void(TrapRecord&&)>;

    explicit TrapQueue(size_t capacity = kCapacity) : m_capacity(capacity) {}
    ~TrapQueue() { StopAndClear(); }
    TrapQueue(const TrapQueue&) = delete;
    TrapQueue& operator=(const TrapQueue&) = delete;

    // Starts the thread (a running queue is stopped first); false when it could not be started.
    bool Start(Sink sink);
    // False when the queue is full (the record is dropped and counted) or stopped.
    bool Push(TrapRecord record);
    // Ends the thread and waits for it; queued records stay.
    void Stop();
    // Stop, then drops every queued record unhandled.
    void StopAndClear();

    uint64_t Dropped() const;
    // False from the moment Stop begins.
    bool IsRunning() const;
    size_t Size() const;

private:
    void Main();

    const size_t m_capacity;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<TrapRecord> m_records;
    bool m_running = false;
    uint64_t m_dropped = 0;
    Sink m_sink;
    std::thread m_thread;
};
