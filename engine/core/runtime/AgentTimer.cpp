#include "engine/core/runtime/AgentTimer.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
#include <new>

#include "engine/base/AppLog.h"
#include "engine/base/SteadyClock.h"

AgentTimerData& AgentTimerData::operator=(const AgentTimerData& other)
{
    eventId = other.eventId;
    ownerKey = other.ownerKey;
    itemKey = other.itemKey;
    state = other.state;
    object = other.object;
    repeatSeconds = other.repeatSeconds;
    cancelled = other.cancelled.load();
    callback = other.callback;
    return *this;
}

bool AgentTimerData::operator==(const AgentTimerData& other) const
{
    return eventId == other.eventId && ownerKey == other.ownerKey && itemKey == other.itemKey &&
           state == other.state && object == other.object && repeatSeconds == other.repeatSeconds &&
           cancelled.load() == other.cancelled.load() && callback == other.callback;
}

TimerClock TimerClock::System()
{
    TimerClock clock;
    clock.steadyMilliseconds = [] { return SteadyMs(); };
    clock.wallSeconds = [] { return static_cast<int64_t>(std::time(nullptr)); };
    return clock;
}

int CAgentTimerEntry::Initialize(uint64_t milliseconds, const AgentTimerData* data, const TimerClock& clock)
{
    AppLog::Instance()->Printf(kLogDebug, "CAgentTimerEntry::Initialize( %llu milliseconds ) invoked",
                               static_cast<unsigned long long>(milliseconds));
    if (!data) {
        AppLog::Instance()->Printf(kLogError, "Cannot initialize agent timer entry with null data pointer");
        return 0;
    }
    m_data = *data;
    // 64-bit all the way: a delay of weeks stays weeks. At most 2^54 seconds, far from overflow.
    const int64_t seconds = static_cast<int64_t>(std::max<uint64_t>(milliseconds / 1000, 1));
    m_dueSecond = clock.steadyMilliseconds() / 1000 + seconds;
    m_dueWallTime = clock.wallSeconds() + seconds;
    m_inCallback = false;
    AppLog::Instance()->Printf(kLogDebug, "CAgentTimerEntry will kick off at %u",
                               static_cast<unsigned>(m_dueWallTime));
    return 1;
}

CAgentTimer::CAgentTimer(const char* name, TimerClock clock)
    : VigilonThread(name, 16384), m_clock(std::move(clock)), m_listLock("CAgentTimerListMutex#")
{
}

CAgentTimer::~CAgentTimer()
{
    Stop();
    WaitForEnd();
}

int64_t CAgentTimer::NowSecond() const
{
    return m_clock.steadyMilliseconds() / 1000;
}

int CAgentTimer::Initialize()
{
    AppLog::Instance()->Printf(kLogDebug, "CAgentTimer::Initialize '%s'", GetName());
    AppLog::Instance()->Printf(kLogDebug, "CAgentTimer::StartThread '%s'", GetName());
    if (!Start()) {
        AppLog::Instance()->Printf(kLogError, "CAgentTimer::StartThread '%s': the thread could not be started",
                                   GetName());
        return 0;
    }
    return 1;
}

void CAgentTimer::Destroy()
{
    AppLog::Instance()->Printf(kLogDebug, "CAgentTimer::Destroy '%s'", GetName());
    KillAllTimers();
    StopThread();
}

void CAgentTimer::StopThread()
{
    Stop();
    AppLog::Instance()->Printf(kLogDebug, "CAgentTimer::StopThread '%s'", GetName());
}

std::list<std::unique_ptr<CAgentTimerEntry>>::iterator CAgentTimer::InsertPosition(int64_t dueSecond)
{
    auto it = m_entries.begin();
    while (it != m_entries.end() && (*it)->m_dueSecond <= dueSecond)
        ++it;
    return it;
}

int CAgentTimer::SetTimer(uint64_t milliseconds, const AgentTimerData* data)
{
    AppLog::Instance()->Printf(kLogTrace, "CAgentTimer::SetTimer '%s'", GetName());
    std::unique_ptr<CAgentTimerEntry> entry(new (std::nothrow) CAgentTimerEntry);
    if (!entry || !entry->Initialize(milliseconds, data, m_clock))
        return 0;
    {
        MutexLock lock(m_listLock);
        if (!lock.Locked())
            return 0;
        try {
            m_entries.insert(InsertPosition(entry->m_dueSecond), std::move(entry));
        } catch (const std::bad_alloc&) {
            return 0;
        }
    }
    SignalThread();
    return 1;
}

int CAgentTimer::KillTimer(const AgentTimerData* data)
{
    AppLog::Instance()->Printf(kLogTrace, "CAgentTimer::KillTimer '%s'", GetName());
    if (!data)
        return 0;
    MutexLock lock(m_listLock);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (!((*it)->m_data == *data))
            continue;
        if (!(*it)->m_inCallback)
            m_entries.erase(it);
        return 1;
    }
    return 0;
}

int CAgentTimer::KillMatching(const std::function<bool(const AgentTimerData&)>& match, bool& removedAny)
{
    removedAny = false;
    MutexLock lock(m_listLock);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (!match((*it)->m_data)) {
            ++it;
        } else if ((*it)->m_inCallback) {
            (*it)->m_data.cancelled = 1;
            ++it;
        } else {
            it = m_entries.erase(it);
            removedAny = true;
        }
    }
    return 1;
}

int CAgentTimer::KillAllTimers(std::optional<uint32_t> ownerKey)
{
    AppLog::Instance()->Printf(kLogTrace, "CAgentTimer::KillAllTimers '%s'", GetName());
    bool removed = false;
    return KillMatching([&](const AgentTimerData& d) { return !ownerKey || d.ownerKey == *ownerKey; }, removed);
}

int CAgentTimer::KillAllTimersById(uint32_t eventId)
{
    AppLog::Instance()->Printf(kLogTrace, "CAgentTimer::KillAllTimersById (%d)", static_cast<int>(eventId));
    bool removed = false;
    KillMatching([&](const AgentTimerData& d) { return d.eventId == eventId; }, removed);
    return removed ? 1 : 0;
}

int64_t CAgentTimer::GetDueTime(uint32_t eventId)
{
    MutexLock lock(m_listLock);
    for (const auto& entry : m_entries) {
        if (entry->m_data.eventId == eventId)
            return entry->m_dueWallTime;
    }
    return 0;
}

size_t CAgentTimer::Count()
{
    MutexLock lock(m_listLock);
    return m_entries.size();
}

unsigned CAgentTimer::GetNextCallbackTime()
{
    int64_t waitMs = -1;
    {
        MutexLock lock(m_listLock);
        if (!m_entries.empty()) {
            waitMs = m_entries.front()->m_dueSecond * 1000 - m_clock.steadyMilliseconds();
            waitMs = std::clamp<int64_t>(waitMs, 0, 3600 * 1000);
        }
    }
    if (waitMs < 0) {
        AppLog::Instance()->Printf(kLogWarning, "CAgentTimer returning with an INFINITE timeout!");
        AppLog::Instance()->Printf(kLogDebug, "CAgentTimer::GetNextCallbackTime returning %u milliseconds",
                                   0xFFFFFFFFu);
        return 0xFFFFFFFFu;
    }
    AppLog::Instance()->Printf(kLogDebug, "CAgentTimer::GetNextCallbackTime returning %u milliseconds",
                               static_cast<unsigned>(waitMs));
    return static_cast<unsigned>(waitMs);
}

int CAgentTimer::GetSecondsToNextCallback()
{
    int64_t waitMs = -1;
    {
        MutexLock lock(m_listLock);
        if (!m_entries.empty())
            waitMs = std::max<int64_t>(m_entries.front()->m_dueSecond * 1000 - m_clock.steadyMilliseconds(), 0);
    }
    if (waitMs < 0) {
        AppLog::Instance()->Printf(kLogWarning, "CAgentTimer returning with an INFINITE timeout!");
        return -1;
    }
    return static_cast<int>(std::min<int64_t>((waitMs + 999) / 1000, INT_MAX));
}

void CAgentTimer::SignalThread()
{
    if (Signal() == 1)
        AppLog::Instance()->Printf(kLogDebug, "CAgentTimer::SignalThread '%s'", GetName());
    else
        AppLog::Instance()->Printf(kLogError, "CAgentTimer::SignalThread '%s' FAILED!", GetName());
}

void CAgentTimer::OnTimerThread()
{
    AppLog::Instance()->Printf(kLogDebug, "CAgentTimer::OnTimerThread '%s'", GetName());
    for (;;) {
        CheckStop();
        if (IsStopRequested())
            return;
        CAgentTimerEntry* running = nullptr;
        {
            MutexLock lock(m_listLock);
            const int64_t now = NowSecond();
            for (auto& entry : m_entries) {
                if (entry->m_inCallback)
                    continue;
                if (entry->m_dueSecond > now)
                    break; // every later entry is later still
                entry->m_inCallback = true;
                running = entry.get();
                break;
            }
        }
        if (!running)
            return;
        // The entry cannot go while its flag is set: kills only mark it, so the pointer stays good.
        if (AgentTimerCallback callback = running->m_data.callback) {
            try {
                callback(&running->m_data);
            } catch (const std::exception& e) {
                AppLog::Instance()->Printf(kLogError, "CAgentTimer::OnTimerThread '%s': callback failed: %s",
                                           GetName(), e.what());
            } catch (...) {
                AppLog::Instance()->Printf(kLogError, "CAgentTimer::OnTimerThread '%s': callback failed",
                                           GetName());
            }
        }
        {
            // The callback may have changed the list: find the entry again by its identity.
            MutexLock lock(m_listLock);
            for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
                if (it->get() == running) {
                    m_entries.erase(it);
                    break;
                }
            }
        }
        SleepMs(m_pauseMs.load());
    }
}

void CAgentTimer::main()
{
    try {
        RunLoop();
    } catch (...) {
        // Nothing leaves the thread; a failure here (no memory for a log line) ends the loop.
    }
}

void CAgentTimer::RunLoop()
{
    AppLog::Instance()->Printf(kLogDebug, "Entering CAgentTimer::main( %s )", GetName());
    for (;;) {
        const unsigned waitMs = GetNextCallbackTime();
        if (!WaitForWork(waitMs == 0xFFFFFFFFu ? -1 : static_cast<int>(waitMs))) {
            AppLog::Instance()->Printf(kLogDebug,
                                       "CAgentTimer::main( %s ) no longer running (before OnTimerThread)",
                                       GetName());
            break;
        }
        OnTimerThread();
        if (!CheckRunning()) {
            AppLog::Instance()->Printf(kLogDebug,
                                       "CAgentTimer::main( %s ) no longer running (after OnTimerThread)",
                                       GetName());
            break;
        }
    }
    AppLog::Instance()->Printf(kLogDebug, "Exiting CAgentTimer::main( %s )", GetName());
}
