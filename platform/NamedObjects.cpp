#include "platform/NamedObjects.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <map>

namespace vgplat {

namespace {

template <typename Lock, typename Pred>
bool WaitFor(std::condition_variable& cv, Lock& lock, int64_t timeoutMs, Pred pred)
{
    if (timeoutMs < 0) {
        cv.wait(lock, pred);
        return true;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return cv.wait_until(lock, deadline, pred);
}

// One registry per kind of object. Never destroyed: objects may be opened and released by static
// destructors and by threads that outlive main.
template <typename T>
class Registry {
public:
    std::shared_ptr<T> Open(const std::string& name)
    {
        if (name.empty())
            return std::make_shared<T>();
        std::lock_guard<std::mutex> lock(m_guard);
        auto& slot = m_objects[name];
        if (auto existing = slot.lock())
            return existing;
        auto created = std::make_shared<T>();
        slot = created;
        if (++m_opensSincePrune >= 256) {
            Prune();
            m_opensSincePrune = 0;
        }
        return created;
    }

private:
    void Prune()
    {
        for (auto it = m_objects.begin(); it != m_objects.end();)
            it = it->second.expired() ? m_objects.erase(it) : std::next(it);
    }

    std::mutex m_guard;
    std::map<std::string, std::weak_ptr<T>> m_objects;
    unsigned m_opensSincePrune = 0;
};

} // namespace

RecursiveMutex::RecursiveMutex()
{
    pthread_mutexattr_t attributes;
    ::pthread_mutexattr_init(&attributes);
    ::pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    ::pthread_mutex_init(&m_native, &attributes);
    ::pthread_mutexattr_destroy(&attributes);
}

RecursiveMutex::~RecursiveMutex()
{
    ::pthread_mutex_destroy(&m_native);
}

void RecursiveMutex::TakeOwnership()
{
    if (m_depth++ == 0)
        m_owner.store(std::this_thread::get_id());
}

WaitResult RecursiveMutex::Lock(int64_t timeoutMs)
{
    if (timeoutMs < 0) {
        if (::pthread_mutex_lock(&m_native) != 0)
            return kWaitFailed;
        TakeOwnership();
        return kWaitDone;
    }
    // The limit runs on the steady clock; the system's timed lock counts on the wall clock, so it is
    // asked for short slices that a clock step cannot stretch.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int rc = ::pthread_mutex_trylock(&m_native);
        if (rc == 0) {
            TakeOwnership();
            return kWaitDone;
        }
        if (rc != EBUSY)
            return kWaitFailed;
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return kWaitTimedOut;
        const auto slice = std::min<std::chrono::nanoseconds>(left, std::chrono::milliseconds(50));
        timespec until {};
        ::clock_gettime(CLOCK_REALTIME, &until);
        const int64_t nanos = until.tv_nsec + slice.count();
        until.tv_sec += static_cast<time_t>(nanos / 1000000000);
        until.tv_nsec = static_cast<long>(nanos % 1000000000);
        rc = ::pthread_mutex_timedlock(&m_native, &until);
        if (rc == 0) {
            TakeOwnership();
            return kWaitDone;
        }
        if (rc != ETIMEDOUT)
            return kWaitFailed;
    }
}

bool RecursiveMutex::Unlock()
{
    // Only the holder can find itself as the owner, so the check needs no lock.
    if (m_owner.load() != std::this_thread::get_id())
        return false;
    const unsigned depth = m_depth;
    if (--m_depth == 0)
        m_owner.store(std::thread::id());
    if (::pthread_mutex_unlock(&m_native) != 0) {
        // A thread that only shares the identity of an ended holder: the system refuses it too.
        m_depth = depth;
        m_owner.store(std::this_thread::get_id());
        return false;
    }
    return true;
}

bool RecursiveMutex::HeldByCurrentThread() const
{
    return m_owner.load() == std::this_thread::get_id();
}

unsigned RecursiveMutex::Depth() const
{
    return HeldByCurrentThread() ? m_depth : 0;
}

void ManualResetEvent::Set()
{
    {
        std::lock_guard<std::mutex> lock(m_guard);
        m_set = true;
    }
    m_changed.notify_all();
}

void ManualResetEvent::Reset()
{
    std::lock_guard<std::mutex> lock(m_guard);
    m_set = false;
}

bool ManualResetEvent::IsSet() const
{
    std::lock_guard<std::mutex> lock(m_guard);
    return m_set;
}

WaitResult ManualResetEvent::Wait(int64_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_guard);
    return WaitFor(m_changed, lock, timeoutMs, [this] { return m_set; }) ? kWaitDone : kWaitTimedOut;
}

std::shared_ptr<RecursiveMutex> OpenNamedMutex(const std::string& name)
{
    static auto* registry = new Registry<RecursiveMutex>();
    return registry->Open(name);
}

std::shared_ptr<ManualResetEvent> OpenNamedEvent(const std::string& name)
{
    static auto* registry = new Registry<ManualResetEvent>();
    return registry->Open(name);
}

} // namespace vgplat
