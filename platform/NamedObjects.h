#pragma once
// Stand-ins for the operating system's named mutexes and events.
//
// RecursiveMutex is a timed, recursive mutex that knows its owner: an Unlock by a thread that does not
// hold it is refused. It is a POSIX recursive mutex held for the whole nesting (locked once per Lock,
// unlocked once per Unlock), so a race detector sees every nested hold and checks its lock order.
// ManualResetEvent stays signalled until Reset. Both time their waits on the steady clock.
//
// OpenNamedMutex / OpenNamedEvent hand out one object per name, shared by every caller in this process;
// an empty name gives a new private object. The registry holds weak references, so an object lives as
// long as one of its users.
//
// Threads: every member is safe from any thread.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>

namespace vgplat {

// Results of the timed waits.
enum WaitResult : unsigned { kWaitFailed = 0, kWaitDone = 1, kWaitTimedOut = 2 };

class RecursiveMutex {
public:
    RecursiveMutex();
    ~RecursiveMutex();
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    // Waits at most timeoutMs (negative: no limit). kWaitDone, kWaitTimedOut, or kWaitFailed when the
    // system refuses the lock.
    WaitResult Lock(int64_t timeoutMs = -1);
    // false when the calling thread does not hold the mutex.
    bool Unlock();
    bool HeldByCurrentThread() const;
    // How many times the calling thread holds it (0 when another thread or none does).
    unsigned Depth() const;
    // The POSIX mutex itself, for tests that check it is really held.
    pthread_mutex_t* NativeHandle() { return &m_native; }

private:
    void TakeOwnership();

    pthread_mutex_t m_native;
    std::atomic<std::thread::id> m_owner{};
    unsigned m_depth = 0; // touched only by the holder, under m_native
};

class ManualResetEvent {
public:
    ManualResetEvent() = default;
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // Waits at most timeoutMs (negative: no limit) for the event to be set.
    WaitResult Wait(int64_t timeoutMs = -1);

private:
    mutable std::mutex m_guard;
    std::condition_variable m_changed;
    bool m_set = false;
};

std::shared_ptr<RecursiveMutex> OpenNamedMutex(const std::string& name);
std::shared_ptr<ManualResetEvent> OpenNamedEvent(const std::string& name);

} // namespace vgplat
