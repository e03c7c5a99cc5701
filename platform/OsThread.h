#pragma once
// A POSIX thread with a bounded join, and the kernel id of the calling thread.
//
// Threads: Start, Join and Finished are called by the owner; the body runs on the new thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <pthread.h>

#include "platform/NamedObjects.h"

namespace vgplat {

class OsThread {
public:
    OsThread() = default;
    ~OsThread(); // joins without limit when a thread is still attached
    OsThread(const OsThread&) = delete;
    OsThread& operator=(const OsThread&) = delete;

    // Starts body on a new thread; false when one is still attached (joined or not) or creation fails.
    // name is the owner's name for the thread (only the start gate below sees it).
    bool Start(std::function<void()> body, const char* name = "");
    // Waits for the thread to end (negative: no limit) and detaches the record. true once it has ended
    // (or none was attached).
    bool Join(int64_t timeoutMs);
    bool Attached() const { return m_attached; }
    // true once the body has returned.
    bool Finished() const { return m_done.IsSet(); }
    // Kernel id of the thread of the latest Start; 0 before the first.
    long Id() const { return m_tid.load(); }

private:
    static void* Trampoline(void* self);

    pthread_t m_handle{};
    bool m_attached = false;
    std::function<void()> m_body;
    ManualResetEvent m_done;
    ManualResetEvent m_started;
    std::atomic<long> m_tid{0};
};

long CurrentThreadId();

// For tests: a gate that every OsThread::Start asks first, with the thread's name; false refuses the
// start as a failed thread creation would. Null (the default): every start goes ahead.
using ThreadStartGate = std::function<bool(const char* name)>;
void SetThreadStartGate(ThreadStartGate gate);

} // namespace vgplat
