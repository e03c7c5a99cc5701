#pragma once
// The base of every engine thread: a Condition that owns one operating-system thread and a stop
// protocol (a stop flag plus Signal, then a bounded wait for the thread to end).
//
// The shape of every main():
//     log the entry at level 7
//     while (WaitForWork(timeout)) {   // wait, clear the signal at once, check the stop flag
//         one pass of work
//         if (!CheckRunning()) break;
//     }
//     log the exit at level 7
// The signal is cleared as soon as the wait returns, before the pass, so a Signal or Stop that arrives
// during the pass wakes the next wait instead of being lost.
//
// An exception that leaves main is caught, logged at level 3 and ends the thread (IsRunning false).
//
// Threads: Start, Stop and the destructor belong to the owner; CheckStop, WaitForWork and
// CheckRunning to the thread itself; GetId and the flag readers are safe from any thread. The owner
// must Stop the thread before destroying it.

#include <atomic>
#include <memory>

#include "engine/base/Mutex.h"
#include "platform/OsThread.h"

class VigilonThread : public Condition {
public:
    VigilonThread(const char* name, unsigned stackSizeHint = 16384);
    ~VigilonThread() override;

    // Runs main on a new thread unless one is running (IsRunning is true from here on, before the new
    // thread is up). false when the earlier thread of this object still lives although it no longer
    // runs (it was asked to stop, or its main is returning, and it has not ended yet) or the thread
    // cannot be created.
    bool Start();
    // Asks the thread to stop and waits at most 5000 ms for it to end.
    void Stop();
    // Waits without limit for the thread of the latest run to end (not from the thread itself). A
    // subclass calls it in its destructor after Stop, so that its members outlive its thread.
    void WaitForEnd();
    // When the stop flag is set, clears the running flag and signals. 0 when the stop flag is clear.
    int CheckStop();
    // The kernel id of the latest run, or the object's address before the first Start.
    unsigned long GetId() const;

    bool IsRunning() const { return m_running.load(); }
    bool IsStopRequested() const { return m_stop.load(); }
    unsigned StackSizeHint() const { return m_stackSizeHint; }

    static constexpr int kStopWaitMs = 5000;

protected:
    virtual void main() = 0;

    // Waits for a signal or the time-out (-1: none), clears the signal and checks for a stop. false when
    // the loop must end (a failed wait or a stop).
    bool WaitForWork(int timeoutMs);
    // CheckStop, then whether the loop may go on.
    bool CheckRunning();

private:
    void Routine();
    void LogThreadFailure(const char* what) noexcept;

    std::unique_ptr<vgplat::OsThread> m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};
    unsigned m_stackSizeHint;
};
