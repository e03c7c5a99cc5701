#pragma once
// Timed one-shot callbacks of the whole engine, run on one thread.
//
// A caller hands SetTimer a record and a delay; once the delay has passed the timer thread calls the
// record's callback with a pointer to the timer's own copy of the record, then forgets the entry. A
// callback that wants to repeat arms a new timer with its own record.
//
// Resolution is one second: a delay becomes a due second (now + max(delay / 1000, 1)), so any delay
// under 2000 ms fires at the next whole second. Entries are ordered by due second; entries of the same
// second fire in the order they were set. Due times run on the steady clock (a wall-clock step does not
// move a pending shutdown); GetDueTime answers the due time in wall-clock seconds since 1970.
//
// Threads: the timer thread alone runs callbacks, one at a time, with a pause after each (50 ms). Every
// public method is safe from any thread, including from a callback on the timer thread: the list lock
// (a private Mutex, "CAgentTimerListMutex#") guards only the list and is never held while a callback
// runs. A kill that reaches the entry whose callback runs does not remove it: KillAllTimers and
// KillAllTimersById set its cancelled word (which the callback may read), KillTimer leaves it; the timer
// thread removes it once the callback has returned. Lock order: the list lock is a leaf (rank 9 of engine/base/LockOrder.h) (nothing else
// is taken while it is held, not even the log's).

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "engine/base/VigilonThread.h"

struct AgentTimerData;
using AgentTimerCallback = void (*)(AgentTimerData* data);

// The record copied into every entry. The timer reads only the event id, the owner key, the cancelled
// word and the callback; the other words belong to the caller.
struct AgentTimerData {
    uint32_t eventId = 0;       // selects entries for KillAllTimersById and GetDueTime
    uint32_t ownerKey = 0;      // selects entries for KillAllTimers
    uint32_t itemKey = 0;
    uint32_t state = 0;
    void* object = nullptr;     // the caller's object
    uint32_t repeatSeconds = 0; // read only by the callback
    std::atomic<uint32_t> cancelled{0}; // set by a kill while the callback runs
    AgentTimerCallback callback = nullptr;

    AgentTimerData() = default;
    AgentTimerData(const AgentTimerData& other) { *this = other; }
    AgentTimerData& operator=(const AgentTimerData& other);
    // All eight words equal.
    bool operator==(const AgentTimerData& other) const;
};

// The clocks of a timer; tests put fakes in their place.
struct TimerClock {
    std::function<int64_t()> steadyMilliseconds; // monotonic, for due times and waits
    std::function<int64_t()> wallSeconds;        // seconds since 1970, for GetDueTime and the log
    static TimerClock System();
};

class CAgentTimerEntry {
public:
    // 0 for a null record (logged), else 1.
    int Initialize(uint64_t milliseconds, const AgentTimerData* data, const TimerClock& clock);

    AgentTimerData m_data;
    int64_t m_dueSecond = 0;    // steady clock, whole seconds
    int64_t m_dueWallTime = 0;  // the same moment in wall-clock seconds since 1970
    bool m_inCallback = false;
};

class CAgentTimer : public VigilonThread {
public:
    explicit CAgentTimer(const char* name = "CServerTimers", TimerClock clock = TimerClock::System());
    ~CAgentTimer() override;

    // Starts the thread: 1, or 0 (logged) when it cannot be started.
    int Initialize();
    // Kills every entry (a running one is only marked) and stops the thread.
    void Destroy();
    void StopThread();

    // 1 when queued; 0 for a null record or when no entry can be had.
    int SetTimer(uint64_t milliseconds, const AgentTimerData* data);
    // Removes the first entry equal to *data in all eight words: 1 when found (a running entry is left
    // alone but still counts), 0 when not found or data is null.
    int KillTimer(const AgentTimerData* data);
    // Every entry of that owner (every entry without one): removed, or marked cancelled while it runs. 1.
    int KillAllTimers(std::optional<uint32_t> ownerKey = std::nullopt);
    // Every entry of that event id, as KillAllTimers. 1 when at least one was removed (a marked one does
    // not count), else 0.
    int KillAllTimersById(uint32_t eventId);
    // Wall-clock due time of the earliest entry with that event id; 0 when there is none.
    int64_t GetDueTime(uint32_t eventId);
    // -1 with an empty list, else the seconds until the first entry is due (rounded up, 0 when due).
    int GetSecondsToNextCallback();
    // 0xFFFFFFFF (wait without limit) with an empty list, else the milliseconds until the first entry is
    // due, at most one hour (the wait is computed afresh after every wake-up).
    unsigned GetNextCallbackTime();
    void SignalThread();
    // One pass over the due entries (the timer thread's work; tests call it directly).
    void OnTimerThread();

    size_t Count();
    // For tests: the pause after each callback (50 ms).
    void SetCallbackPause(unsigned milliseconds) { m_pauseMs = milliseconds; }

protected:
    void main() override;

private:
    void RunLoop();
    int64_t NowSecond() const;
    // Expects the list lock held.
    std::list<std::unique_ptr<CAgentTimerEntry>>::iterator InsertPosition(int64_t dueSecond);
    int KillMatching(const std::function<bool(const AgentTimerData&)>& match, bool& removedAny);

    TimerClock m_clock;
    Mutex m_listLock;
    std::list<std::unique_ptr<CAgentTimerEntry>> m_entries;
    std::atomic<unsigned> m_pauseMs{50};
};
