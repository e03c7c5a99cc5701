#include "engine/base/Mutex.h"

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <thread>

std::string KernelObjectName(const char* name, const char* kind, const void* owner, bool& shared)
{
    char buffer[64];
    const auto address = static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(owner));
    const bool empty = !name || !*name;
    const bool unique = !empty && name[std::char_traits<char>::length(name) - 1] == '#';
    if (empty)
        std::snprintf(buffer, sizeof buffer, "%s_%08" PRIXMAX, kind, address);
    else if (unique)
        std::snprintf(buffer, sizeof buffer, "%s_%s_%08" PRIXMAX, name, kind, address);
    else
        std::snprintf(buffer, sizeof buffer, "%s_%s", name, kind);
    shared = !empty && !unique;
    return buffer;
}

Mutex::Mutex(const char* name)
{
    m_name = KernelObjectName(name, "MUTEX", this, m_shared);
    m_os = m_shared ? vgplat::OpenNamedMutex(m_name) : std::make_shared<vgplat::RecursiveMutex>();
}

Mutex::~Mutex()
{
    // A private mutex is taken once so that no other thread still holds it when it goes. A shared one
    // is only released by this user: the others go on using it, unlocked.
    if (m_os && !m_shared && m_os->Lock() == vgplat::kWaitDone)
        m_os->Unlock();
}

const char* Mutex::GetName() const
{
    return m_name.empty() ? "UNNAMED_MUTEX" : m_name.c_str();
}

int Mutex::Lock()
{
    return m_os && m_os->Lock(-1) == vgplat::kWaitDone ? 1 : 0;
}

unsigned Mutex::TryLock(unsigned milliseconds)
{
    if (!m_os)
        return 0;
    return m_os->Lock(milliseconds);
}

int Mutex::Unlock()
{
    return m_os && m_os->Unlock() ? 1 : 0;
}

Condition::Condition(const char* name) : Mutex(name)
{
    // The event carries the address of the Mutex part, like the mutex itself.
    bool shared = false;
    m_eventName = KernelObjectName(name, "EVENT", static_cast<const Mutex*>(this), shared);
    m_event = shared ? vgplat::OpenNamedEvent(m_eventName) : std::make_shared<vgplat::ManualResetEvent>();
}

Condition::~Condition() = default;

const char* Condition::GetName() const
{
    return m_eventName.empty() ? "CONDITION_MUTEX" : m_eventName.c_str();
}

int Condition::Wait(int milliseconds)
{
    if (!m_event)
        return 0;
    return static_cast<int>(m_event->Wait(milliseconds < 0 ? -1 : milliseconds));
}

int Condition::Signal()
{
    if (m_event)
        m_event->Set();
    return 1;
}

int Condition::Reset()
{
    if (m_event)
        m_event->Reset();
    return 1;
}

int ReadWriteSemaphore::ReadLock()
{
    if (m_mutex.Lock() != 1)
        return 0;
    ++m_readers;
    return m_mutex.Unlock();
}

int ReadWriteSemaphore::ReadUnlock()
{
    if (m_mutex.Lock() != 1)
        return 0;
    if (m_readers > 0)
        --m_readers;
    return m_mutex.Unlock();
}

int ReadWriteSemaphore::WriteLock()
{
    for (;;) {
        if (m_mutex.Lock() != 1)
            return 0;
        if (m_readers == 0)
            return 1;
        m_mutex.Unlock();
        SleepMs(100);
    }
}

int ReadWriteSemaphore::WriteUnlock()
{
    return m_mutex.Unlock();
}

int ReadWriteSemaphore::ReaderCount()
{
    MutexLock lock(m_mutex);
    return m_readers;
}

void WaitMilliseconds(unsigned milliseconds)
{
    vgplat::ManualResetEvent never;
    never.Wait(milliseconds);
}

void SleepMs(double milliseconds)
{
    if (milliseconds >= 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int64_t>(milliseconds)));
}
