#include "tests/support/Threads.h"
#include "tests/support/Wait.h"
#include "engine/core/runtime/AgentTimer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/LogCapture.h"

namespace {

constexpr int64_t kWallBase = 1'700'000'000;

// A clock the test moves by hand; the wall clock follows it.
struct FakeClock {
    std::atomic<int64_t> ms{10'000'500}; // half-way through a second
    TimerClock Clock()
    {
        TimerClock c;
        c.steadyMilliseconds = [this] { return ms.load(); };
        c.wallSeconds = [this] { return kWallBase + ms.load() / 1000; };
        return c;
    }
    void Advance(int64_t delta) { ms += delta; }
};

// Records which event ids fired, in order.
struct Recorder {
    std::mutex guard;
    std::condition_variable changed;
    std::vector<uint32_t> fired;
    void Add(uint32_t id)
    {
        std::lock_guard<std::mutex> lock(guard);
        fired.push_back(id);
        changed.notify_all();
    }
    bool WaitFor(size_t count, int ms = 5000)
    {
        std::unique_lock<std::mutex> lock(guard);
        return changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return fired.size() >= count; });
    }
    std::vector<uint32_t> Fired()
    {
        std::lock_guard<std::mutex> lock(guard);
        return fired;
    }
};

void RecordCallback(AgentTimerData* data)
{
    static_cast<Recorder*>(data->object)->Add(data->eventId);
}

AgentTimerData Record(uint32_t id, uint32_t owner, void* object, AgentTimerCallback callback = RecordCallback)
{
    AgentTimerData d;
    d.eventId = id;
    d.ownerKey = owner;
    d.itemKey = 0x30001;
    d.state = 1;
    d.object = object;
    d.callback = callback;
    return d;
}

class AgentTimerTest : public ::testing::Test {
protected:
    ScopedLogCapture log;
    FakeClock fake;
    Recorder recorder;
    CAgentTimer timer{"CServerTimers", fake.Clock()};
    void SetUp() override { timer.SetCallbackPause(0); }
};

TEST_F(AgentTimerTest, DueTimesAreWholeSecondsOfAtLeastOne)
{
    struct Case {
        uint64_t ms;
        int64_t seconds;
    } cases[] = {{0, 1}, {999, 1}, {1999, 1}, {2000, 2}, {5000, 5}, {5999, 5},
                 // More than 32 bits of milliseconds: stays 50 days, never wraps to a short delay.
                 {50ull * 86400 * 1000, 50 * 86400}};
    uint32_t id = 1;
    for (const auto& c : cases) {
        AgentTimerData d = Record(id, 7, &recorder);
        ASSERT_EQ(timer.SetTimer(c.ms, &d), 1);
        EXPECT_EQ(timer.GetDueTime(id), kWallBase + fake.ms / 1000 + c.seconds) << c.ms << " ms";
        ++id;
    }
    EXPECT_EQ(timer.GetDueTime(999), 0);
    EXPECT_EQ(timer.SetTimer(1000, nullptr), 0);
    EXPECT_TRUE(log.Has("Cannot initialize agent timer entry with null data pointer", kLogError));
}

TEST_F(AgentTimerTest, FiresBySecondThenInOrderOfSetting)
{
    AgentTimerData a = Record(1, 7, &recorder), b = Record(2, 7, &recorder), c = Record(3, 7, &recorder),
                   late = Record(4, 7, &recorder);
    timer.SetTimer(2500, &a);
    timer.SetTimer(2000, &b); // same second as a, set later
    timer.SetTimer(1000, &c); // an earlier second goes first
    timer.SetTimer(9000, &late);
    EXPECT_EQ(timer.GetSecondsToNextCallback(), 1);

    timer.OnTimerThread();
    EXPECT_TRUE(recorder.Fired().empty()); // nothing due yet
    fake.Advance(500);                       // the next whole second
    timer.OnTimerThread();
    EXPECT_EQ(recorder.Fired(), (std::vector<uint32_t>{3}));
    fake.Advance(1000);
    timer.OnTimerThread();
    EXPECT_EQ(recorder.Fired(), (std::vector<uint32_t>{3, 1, 2}));
    EXPECT_EQ(timer.Count(), 1u);
    EXPECT_EQ(timer.GetDueTime(4), kWallBase + 10'000 + 9);
}

TEST_F(AgentTimerTest, GetDueTimeAnswersTheEarliestOfAnId)
{
    AgentTimerData late = Record(8, 1, &recorder), early = Record(8, 2, &recorder);
    timer.SetTimer(30000, &late);
    timer.SetTimer(10000, &early);
    EXPECT_EQ(timer.GetDueTime(8), kWallBase + 10'000 + 10);
}

TEST_F(AgentTimerTest, KillsByRecordOwnerAndId)
{
    AgentTimerData d1 = Record(8, 100, &recorder), d2 = Record(256, 100, &recorder), d3 = Record(8, 200, &recorder),
                   d4 = Record(4, 300, &recorder);
    for (auto* d : {&d1, &d2, &d3, &d4})
        timer.SetTimer(5000, d);

    AgentTimerData differs = d4;
    differs.repeatSeconds = 5; // one word differs: no match
    EXPECT_EQ(timer.KillTimer(&differs), 0);
    EXPECT_EQ(timer.KillTimer(nullptr), 0);
    EXPECT_EQ(timer.KillTimer(&d4), 1);
    EXPECT_EQ(timer.KillTimer(&d4), 0);

    EXPECT_EQ(timer.KillAllTimers(100u), 1);
    EXPECT_EQ(timer.Count(), 1u);
    EXPECT_EQ(timer.GetDueTime(256), 0);
    EXPECT_EQ(timer.KillAllTimersById(4), 0);
    EXPECT_EQ(timer.KillAllTimersById(8), 1);
    EXPECT_EQ(timer.Count(), 0u);

    timer.SetTimer(1000, &d1);
    timer.SetTimer(1000, &d3);
    EXPECT_EQ(timer.KillAllTimers(), 1);
    EXPECT_EQ(timer.Count(), 0u);
    EXPECT_EQ(timer.GetSecondsToNextCallback(), -1);
    EXPECT_EQ(timer.GetNextCallbackTime(), 0xFFFFFFFFu);
    EXPECT_TRUE(log.Has("CAgentTimer returning with an INFINITE timeout!", kLogWarning));
}

// A callback that blocks until the test lets it go, and reports what it saw.
struct Gate {
    std::mutex guard;
    std::condition_variable changed;
    bool entered = false;
    bool release = false;
    uint32_t cancelledSeen = 99;
};

void GateCallback(AgentTimerData* data)
{
    auto* gate = static_cast<Gate*>(data->object);
    std::unique_lock<std::mutex> lock(gate->guard);
    gate->entered = true;
    gate->changed.notify_all();
    gate->changed.wait(lock, [&] { return gate->release; });
    gate->cancelledSeen = data->cancelled.load();
}

TEST_F(AgentTimerTest, KillOfARunningCallbackOnlyMarksIt)
{
    struct Case {
        const char* name;
        std::function<int(CAgentTimer&, const AgentTimerData&)> kill;
        int result;
        uint32_t cancelled;
    } cases[] = {
        {"by id", [](CAgentTimer& t, const AgentTimerData& d) { return t.KillAllTimersById(d.eventId); }, 0, 1},
        {"by owner", [](CAgentTimer& t, const AgentTimerData& d) { return t.KillAllTimers(d.ownerKey); }, 1, 1},
        {"all", [](CAgentTimer& t, const AgentTimerData&) { return t.KillAllTimers(); }, 1, 1},
        {"by record", [](CAgentTimer& t, const AgentTimerData& d) { return t.KillTimer(&d); }, 1, 0},
    };
    for (const auto& c : cases) {
        Gate gate;
        AgentTimerData d = Record(8, 55, &gate, GateCallback);
        timer.SetTimer(0, &d);
        fake.Advance(1000);
        std::thread pass([&] { timer.OnTimerThread(); });
        {
            std::unique_lock<std::mutex> lock(gate.guard);
            ASSERT_TRUE(gate.changed.wait_for(lock, std::chrono::seconds(5), [&] { return gate.entered; }));
        }
        EXPECT_EQ(c.kill(timer, d), c.result) << c.name;
        EXPECT_EQ(timer.Count(), 1u) << c.name; // still there while it runs
        {
            std::lock_guard<std::mutex> lock(gate.guard);
            gate.release = true;
            gate.changed.notify_all();
        }
        pass.join();
        EXPECT_EQ(gate.cancelledSeen, c.cancelled) << c.name;
        EXPECT_EQ(timer.Count(), 0u) << c.name; // removed once it returned
    }
}

// Re-arms itself every 5 s until cancelled; kills another timer from inside the callback.
struct Rearm {
    CAgentTimer* timer;
    Recorder* recorder;
    AgentTimerData victim;
};

void RearmCallback(AgentTimerData* data)
{
    auto* r = static_cast<Rearm*>(data->object);
    r->timer->KillTimer(&r->victim);
    if (!data->cancelled.load())
        r->timer->SetTimer(5000, data);
    r->recorder->Add(data->eventId); // last: the test moves the clock once it sees this
}

TEST_F(AgentTimerTest, ThreadRunsCallbacksThatSetAndKillTimers)
{
    Rearm rearm{&timer, &recorder, Record(99, 1, &recorder)};
    AgentTimerData d = Record(256, 42, &rearm, RearmCallback);
    timer.Initialize();
    timer.SetTimer(30000, &rearm.victim);
    timer.SetTimer(5000, &d);
    for (int round = 1; round <= 3; ++round) {
        fake.Advance(5000);
        timer.SignalThread();
        ASSERT_TRUE(recorder.WaitFor(round)) << "round " << round;
    }
    EXPECT_EQ(recorder.Fired(), (std::vector<uint32_t>{256, 256, 256}));
    // Wait for the re-armed entry to take the place of the one that ran.
    for (int i = 0; i < 500 && timer.Count() != 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(timer.Count(), 1u); // the victim is gone, one re-armed entry is left
    EXPECT_EQ(timer.KillAllTimersById(256), 1);
    timer.Destroy();
}

TEST(AgentTimerRealClock, EmptyListWaitsUntilSetTimerThenFiresWithinTwoSeconds)
{
    ScopedLogCapture log;
    Recorder recorder;
    CAgentTimer timer("CServerTimers");
    const auto before = vgtest::ThreadIds();
    timer.Initialize();
    // The timer's thread waits without limit now: only SetTimer's signal can wake it.
    const auto started = vgtest::NewThreadIds(before, vgtest::ThreadIds());
    ASSERT_FALSE(started.empty());
    ASSERT_TRUE(vgtest::WaitUntil([&] { return vgtest::ThreadsAreBlocked(started); }));
    AgentTimerData d = Record(4, 1, &recorder);
    auto start = std::chrono::steady_clock::now();
    timer.SetTimer(0, &d);
    ASSERT_TRUE(recorder.WaitFor(1, 4000));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LE(elapsed, std::chrono::milliseconds(2100));
    // A stop is never lost: Destroy with a pending entry returns at once.
    timer.SetTimer(60000, &d);
    start = std::chrono::steady_clock::now();
    timer.Destroy();
    EXPECT_LE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(timer.Count(), 0u);
    EXPECT_TRUE(log.Has("Exiting CAgentTimer::main( " + std::string(timer.GetName()) + " )"));
}

} // namespace
