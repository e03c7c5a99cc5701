#pragma once
// Named locks and wake-up events of the engine.
//
// Naming (KernelObjectName): a null or empty name, or one that ends in "#", gives an object private to
// its owner, named with the owner's address ("MUTEX_%08X", "%s_MUTEX_%08X"); any other name gives one
// object shared by every Mutex and Condition built with it ("%s_MUTEX", "%s_EVENT"). Names are cut to
// 63 characters; the cut never makes a private object shared, since privacy follows from the name
// given, not from the cut text.
//
// Results: Lock and Unlock answer 1 done, 0 failed; TryLock and Wait answer 1 done, 2 timed out,
// 0 failed. Mutexes are recursive; an Unlock by a thread that does not hold the mutex answers 0.
//
// Threads: every operation is safe from any thread.

#include <memory>
#include <string>

#include "platform/NamedObjects.h"

// Builds the operating-system name of a mutex or event ("MUTEX" / "EVENT") by the naming rule above.
// shared answers whether the object is shared by name.
std::string KernelObjectName(const char* name, const char* kind, const void* owner, bool& shared);

class Mutex {
public:
    explicit Mutex(const char* name = nullptr);
    virtual ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    virtual const char* GetName() const;

    int Lock();
    unsigned TryLock(unsigned milliseconds);
    int Unlock();

    bool IsShared() const { return m_shared; }

private:
    std::shared_ptr<vgplat::RecursiveMutex> m_os;
    std::string m_name;
    bool m_shared = false;
};

// Scoped Lock/Unlock of a Mutex; with a time-out, TryLock for that long. Locked() (or owns()) answers
// whether the mutex is held; a failed take releases nothing.
class MutexLock {
public:
    explicit MutexLock(Mutex& mutex) : m_mutex(mutex), m_locked(mutex.Lock() == 1) {}
    MutexLock(Mutex& mutex, unsigned milliseconds) : m_mutex(mutex), m_locked(mutex.TryLock(milliseconds) == 1) {}
    ~MutexLock() { unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    bool Locked() const { return m_locked; }
    bool owns() const { return m_locked; }
    explicit operator bool() const { return m_locked; }
    // Releases early; the destructor then does nothing.
    void unlock()
    {
        if (m_locked) {
            m_locked = false;
            m_mutex.Unlock();
        }
    }

private:
    Mutex& m_mutex;
    bool m_locked;
};

// A class derives from Lockable to lock itself.
class Lockable {
public:
    explicit Lockable(const char* name = nullptr) : m_lock(name) {}
    int Lock() { return m_lock.Lock(); }
    unsigned TryLock(unsigned milliseconds) { return m_lock.TryLock(milliseconds); }
    int Unlock() { return m_lock.Unlock(); }
    Mutex& GetMutex() { return m_lock; }

private:
    Mutex m_lock;
};

// A Mutex with one manual-reset event: once signalled it stays signalled until Reset.
class Condition : public Mutex {
public:
    explicit Condition(const char* name = nullptr);
    ~Condition() override;

    const char* GetName() const override;

    // milliseconds -1: no limit.
    int Wait(int milliseconds);
    int Signal();
    int Reset();

private:
    std::shared_ptr<vgplat::ManualResetEvent> m_event;
    std::string m_eventName;
};

// Any number of readers, or one writer. A writer holds the mutex and polls every 100 ms until the
// readers have left; a thread must not ask for the write lock while it holds a read lock.
class ReadWriteSemaphore {
public:
    explicit ReadWriteSemaphore(const char* name = nullptr) : m_mutex(name) {}
    virtual ~ReadWriteSemaphore() = default;

    int ReadLock();
    int ReadUnlock();
    // 1 with the mutex held; 0 when the mutex cannot be taken at all.
    int WriteLock();
    int WriteUnlock();

    int ReaderCount();

private:
    Mutex m_mutex;
    int m_readers = 0;
};

// Scoped hold of a lock of a T: taken by take on construction, given back by give on destruction or at
// unlock() (member functions that answer non-zero when done). owns() answers whether the take
// succeeded; a failed take gives nothing back.
template <typename T, typename Result>
class ScopedLockGuard {
public:
    using Call = Result (T::*)();

    ScopedLockGuard(T& lock, Call take, Call give) : m_lock(lock), m_give(give), m_owns((lock.*take)() != Result{}) {}
    ~ScopedLockGuard() { unlock(); }
    ScopedLockGuard(const ScopedLockGuard&) = delete;
    ScopedLockGuard& operator=(const ScopedLockGuard&) = delete;

    bool owns() const { return m_owns; }
    explicit operator bool() const { return m_owns; }
    // Gives the lock back early; the destructor then does nothing.
    void unlock()
    {
        if (m_owns) {
            m_owns = false;
            (m_lock.*m_give)();
        }
    }

private:
    T& m_lock;
    Call m_give;
    bool m_owns;
};

// The reader side of a ReadWriteSemaphore for a scope.
class ReadLockGuard : public ScopedLockGuard<ReadWriteSemaphore, int> {
public:
    explicit ReadLockGuard(ReadWriteSemaphore& lock)
        : ScopedLockGuard(lock, &ReadWriteSemaphore::ReadLock, &ReadWriteSemaphore::ReadUnlock)
    {
    }
};

// The writer side of a ReadWriteSemaphore for a scope (it waits for the readers to leave).
class WriteLockGuard : public ScopedLockGuard<ReadWriteSemaphore, int> {
public:
    explicit WriteLockGuard(ReadWriteSemaphore& lock)
        : ScopedLockGuard(lock, &ReadWriteSemaphore::WriteLock, &ReadWriteSemaphore::WriteUnlock)
    {
    }
};

// Blocks the calling thread for that long.
void WaitMilliseconds(unsigned milliseconds);
// Sleeps for the whole number of milliseconds (fraction dropped).
void SleepMs(double milliseconds);
