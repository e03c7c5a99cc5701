#include "platform/NamedObjects.h"

#include <chrono>
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

WaitResult RecursiveMutex::Lock(int64_t timeoutMs)
{
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(m_guard);
    if (m_depth > 0 && m_owner == self) {
        ++m_depth;
        return kWaitDone;
    }
    if (!WaitFor(m_released, lock, timeoutMs, [this] { return m_depth == 0; }))
        return kWaitTimedOut;
    m_owner = self;
    m_depth = 1;
    return kWaitDone;
}

bool RecursiveMutex::Unlock()
{
    std::unique_lock<std::mutex> lock(m_guard);
    if (m_depth == 0 || m_owner != std::this_thread::get_id())
        return false;
    if (--m_depth == 0) {
        m_owner = std::thread::id();
        lock.unlock();
        m_released.notify_one();
    }
    return true;
}

bool RecursiveMutex::HeldByCurrentThread() const
{
    std::lock_guard<std::mutex> lock(m_guard);
    return m_depth > 0 && m_owner == std::this_thread::get_id();
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
