// The remote-agent worker thread and the received-trap queue.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/Wait.h"
#include "engine/remote/RemoteAgentThread.h"
#include "engine/remote/RemoteTrapQueue.h"

namespace {

using namespace std::chrono_literals;

using vgtest::WaitUntil;

// An owner whose units can be held and whose wait after each unit is chosen by the test.
class FakeOwner : public IRemoteWorkOwner {
public:
    void Process(CRemoteAgentThread& worker) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_inUnit = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_hold; });
        ++m_units;
        if (m_waitAfter != 0)
            worker.SetTimeout(m_waitAfter);
        m_inUnit = false;
        m_changed.notify_all();
    }
    void Hold(bool hold)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = hold;
        m_changed.notify_all();
    }
    void SetWaitAfter(int ms)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waitAfter = ms;
    }
    int Units()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_units;
    }
    bool InUnit()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_inUnit;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_hold = false;
    bool m_inUnit = false;
    int m_units = 0;
    int m_waitAfter = 0;
};

TEST(RemoteWorker, IdleWaitIsClampedToOneDayAndComputedWithoutOverflow)
{
    const struct {
        uint32_t minutes;
        int ms;
    } cases[] = {{0, 60000}, {1, 60000}, {2, 120000}, {1440, 86400000}, {1441, 86400000}, {0xFFFFFFFFu, 86400000}};
    for (const auto& c : cases)
        EXPECT_EQ(CRemoteAgentThread::IdleWaitMs(c.minutes), c.ms) << c.minutes;
}

TEST(RemoteWorker, SignalEndsAnIdleWaitAndSetsTheShortWait)
{
    FakeOwner owner;
    owner.SetWaitAfter(-1);  // after each unit: wait without limit (an idle round)
    CRemoteAgentThread worker(&owner);
    EXPECT_EQ(worker.GetTimeout(), 250);
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(WaitUntil([&] { return owner.Units() == 1 && worker.GetTimeout() == -1; }));
    worker.SignalThread();
    ASSERT_TRUE(WaitUntil([&] { return owner.Units() == 2; }));
    // The unit's own choice holds again afterwards.
    owner.SetWaitAfter(0);
    worker.SignalThread();
    ASSERT_TRUE(WaitUntil([&] { return owner.Units() >= 3 && worker.GetTimeout() == 250; }));
    worker.Stop();
}

TEST(RemoteWorker, SuspendedWorkerWakesWithoutWorkingUntilResumed)
{
    FakeOwner owner;
    CRemoteAgentThread worker(&owner);
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(WaitUntil([&] { return owner.Units() >= 1; }));
    ASSERT_TRUE(worker.Suspend());
    EXPECT_EQ(worker.GetTimeout(), -1);
    const int before = owner.Units();
    const uint64_t wakes = worker.GetUnits();
    for (int i = 0; i < 3; ++i)
        worker.SignalThread();
    // Give the worker the chance to run a unit it must not run: the signalled timeout is only 100 ms,
    // so a worker that ignored its suspension would have run within the wait below.
    auto end = std::chrono::steady_clock::now() + 500ms;
    while (std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(owner.Units(), before);
    EXPECT_EQ(worker.GetUnits(), wakes);
    ASSERT_TRUE(worker.Resume());
    worker.SignalThread();
    ASSERT_TRUE(WaitUntil([&] { return owner.Units() > before; }));
    worker.Stop();
}

TEST(RemoteWorker, StopReturnsOnlyAfterTheRunningUnitHasEnded)
{
    FakeOwner owner;
    owner.Hold(true);
    CRemoteAgentThread worker(&owner);
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(WaitUntil([&] { return owner.InUnit(); }));
    std::atomic<bool> stopped{false};
    std::atomic<bool> unitEndedFirst{false};
    std::thread stopper([&] {
        worker.Stop();
        unitEndedFirst.store(!owner.InUnit() && owner.Units() == 1);
        stopped.store(true);
    });
    owner.Hold(false);
    stopper.join();
    EXPECT_TRUE(stopped.load());
    EXPECT_TRUE(unitEndedFirst.load()) << "the owner may free what the unit used once Stop returns";
    EXPECT_FALSE(worker.IsRunning());
}

class RecordingTrapOwner : public IRemoteTrapOwner {
public:
    // Refuses specific 999999; names the alarm of the records numbered from kAlarmA (A) and kAlarmB (B).
    static constexpr uint32_t kAlarmA = 1000000, kAlarmB = 2000000;
    bool AdmitTrap(const RemoteTrapRecord& record, std::string& key) override
    {
        key = record.specific >= kAlarmB ? "B" : record.specific >= kAlarmA ? "A" : "";
        return record.specific != 999999;
    }
    void ProcessTrap(const RemoteTrapRecord& record) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_hold; });
        m_specifics.push_back(record.specific);
    }
    void Hold(bool hold)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = hold;
        m_changed.notify_all();
    }
    std::vector<uint32_t> Specifics()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_specifics;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_hold = false;
    std::vector<uint32_t> m_specifics;
};

std::unique_ptr<RemoteTrapRecord> Record(uint32_t specific)
{
    auto r = std::make_unique<RemoteTrapRecord>();
    r->specific = specific;
    return r;
}

TEST(RemoteTrapQueue, ProcessesEveryRecordOnceInArrivalOrder)
{
    RecordingTrapOwner owner;
    CRemoteTrapQueue queue;
    ASSERT_TRUE(queue.Start(&owner));
    std::vector<uint32_t> expected;
    for (uint32_t i = 1; i <= 50; ++i) {
        auto r = Record(i);
        ASSERT_TRUE(queue.Push(r));
        EXPECT_EQ(r, nullptr) << "the queue owns a pushed record";
        expected.push_back(i);
    }
    ASSERT_TRUE(WaitUntil([&] { return owner.Specifics().size() == expected.size(); }));
    EXPECT_EQ(owner.Specifics(), expected);
    queue.Stop();
}

// Starts the queue and pushes record 0, which the owner then holds in processing: the queue is empty.
bool StartHoldingTheFirstRecord(CRemoteTrapQueue& queue, RecordingTrapOwner& owner)
{
    owner.Hold(true);
    auto first = Record(0);
    return queue.Start(&owner) && queue.Push(first) && WaitUntil([&] { return queue.GetCount() == 0; });
}

TEST(RemoteTrapQueue, FullQueueRefusesAndCountsAndStopFreesTheRest)
{
    RecordingTrapOwner owner;
    CRemoteTrapQueue queue;
    ASSERT_TRUE(StartHoldingTheFirstRecord(queue, owner));
    // Then the queue fills up.
    for (size_t i = 0; i < CRemoteTrapQueue::kMaxRecords; ++i) {
        auto r = Record(static_cast<uint32_t>(i + 1));
        ASSERT_TRUE(queue.Push(r));
    }
    auto extra = Record(99999);
    EXPECT_FALSE(queue.Push(extra));
    ASSERT_NE(extra, nullptr) << "a refused record stays with the caller";
    EXPECT_EQ(queue.GetDropped(), 1u);
    EXPECT_EQ(queue.GetCount(), CRemoteTrapQueue::kMaxRecords);
    // Stop while the owner still holds the first record: the rest are freed unprocessed.
    std::thread stopper([&] { queue.Stop(); });
    EXPECT_TRUE(WaitUntil([&] { return queue.IsStopRequested(); }));
    owner.Hold(false);
    stopper.join();
    EXPECT_EQ(queue.GetCount(), 0u);
    EXPECT_LE(owner.Specifics().size(), 2u) << "queued records are not processed after a stop";
}

// The owner is asked before a record takes a place: a record it refuses takes none; a full queue of one
// alarm's states makes room for another alarm, keeping the latest state of the first.
TEST(RemoteTrapQueue, OwnerAdmitsEachRecordAndAFullQueueKeepsEachAlarmsLatestState)
{
    RecordingTrapOwner owner;
    CRemoteTrapQueue queue;
    ASSERT_TRUE(StartHoldingTheFirstRecord(queue, owner));
    auto refused = Record(999999);
    EXPECT_FALSE(queue.Push(refused));
    ASSERT_NE(refused, nullptr) << "a refused record stays with the caller";
    EXPECT_EQ(queue.GetNotAdmitted(), 1u);
    EXPECT_EQ(queue.GetCount(), 0u);

    const uint32_t n = static_cast<uint32_t>(CRemoteTrapQueue::kMaxRecords);
    for (uint32_t i = 0; i < n; ++i) {
        auto r = Record(RecordingTrapOwner::kAlarmA + i);
        ASSERT_TRUE(queue.Push(r));
    }
    auto other = Record(RecordingTrapOwner::kAlarmB);
    EXPECT_TRUE(queue.Push(other)) << "another alarm's state is not refused by a full queue";
    EXPECT_EQ(queue.GetCount(), 2u);
    EXPECT_EQ(queue.GetCoalesced(), n - 1);
    EXPECT_EQ(queue.GetDropped(), 0u);
    owner.Hold(false);
    ASSERT_TRUE(WaitUntil([&] { return owner.Specifics().size() == 3; }));
    EXPECT_EQ(owner.Specifics(),
              (std::vector<uint32_t>{0, RecordingTrapOwner::kAlarmA + n - 1, RecordingTrapOwner::kAlarmB}));
    queue.Stop();
}

}  // namespace
