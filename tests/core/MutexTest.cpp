#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <new>
#include <gtest/gtest.h>
#include <regex>
#include <thread>

#include "tests/support/Threads.h"
#include "tests/support/Wait.h"
#include "engine/base/Mutex.h"

using namespace std::chrono;

namespace {

// Runs fn on another thread and returns its result.
template <typename F>
auto OnOtherThread(F fn)
{
    return std::async(std::launch::async, fn).get();
}

} // namespace

TEST(MutexNaming, FollowsTheNamingTable)
{
    struct Case {
        const char* given;
        const char* mutexPattern;
        const char* eventPattern;
        bool shared;
    } cases[] = {
        {nullptr, "^MUTEX_[0-9A-F]{8,}$", "^EVENT_[0-9A-F]{8,}$", false},
        {"", "^MUTEX_[0-9A-F]{8,}$", "^EVENT_[0-9A-F]{8,}$", false},
        {"RemoteTrapQLock#", "^RemoteTrapQLock#_MUTEX_[0-9A-F]{8,}$", "^RemoteTrapQLock#_EVENT_[0-9A-F]{8,}$", false},
        {"CServerTimers", "^CServerTimers_MUTEX$", "^CServerTimers_EVENT$", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given ? c.given : "(null)");
        Condition condition(c.given);
        bool shared = false;
        std::string mutexName = KernelObjectName(c.given, "MUTEX", static_cast<Mutex*>(&condition), shared);
        EXPECT_TRUE(std::regex_match(mutexName, std::regex(c.mutexPattern))) << mutexName;
        EXPECT_TRUE(std::regex_match(std::string(condition.GetName()), std::regex(c.eventPattern)))
            << condition.GetName();
        EXPECT_EQ(condition.IsShared(), c.shared);
        // The mutex and the event of one Condition carry the same address.
        if (!c.shared) {
            std::string eventName = condition.GetName();
            EXPECT_EQ(mutexName.substr(mutexName.rfind('_')), eventName.substr(eventName.rfind('_')));
        }
    }
}

TEST(MutexNaming, LongPrivateNameIsCutButStaysPrivate)
{
    std::string name(69, 'x');
    name += '#';
    Mutex a(name.c_str());
    Mutex b(name.c_str());
    EXPECT_EQ(std::strlen(a.GetName()), 63u);
    EXPECT_FALSE(a.IsShared());
    ASSERT_EQ(a.Lock(), 1);
    EXPECT_EQ(OnOtherThread([&] {
                  unsigned r = b.TryLock(0);
                  if (r == 1)
                      b.Unlock();
                  return r;
              }),
              1u)
        << "a cut private name must not share the lock";
    a.Unlock();
}

TEST(Mutex, SharedNameExcludesAcrossObjectsPrivateNameDoesNot)
{
    Mutex shared1("AppLogMutexTest"), shared2("AppLogMutexTest");
    Mutex private1("RemoteTrapQLock#"), private2("RemoteTrapQLock#");
    ASSERT_EQ(shared1.Lock(), 1);
    ASSERT_EQ(private1.Lock(), 1);
    EXPECT_EQ(OnOtherThread([&] { return shared2.TryLock(0); }), 2u);
    EXPECT_EQ(OnOtherThread([&] {
                  unsigned r = private2.TryLock(0);
                  if (r == 1)
                      private2.Unlock();
                  return r;
              }),
              1u);
    shared1.Unlock();
    private1.Unlock();
    EXPECT_EQ(OnOtherThread([&] {
                  unsigned r = shared2.TryLock(0);
                  if (r == 1)
                      shared2.Unlock();
                  return r;
              }),
              1u);
}

TEST(Mutex, IsRecursiveAndRefusesUnlockByAnotherThread)
{
    Mutex m("RecursiveTest#");
    ASSERT_EQ(m.Lock(), 1);
    ASSERT_EQ(m.Lock(), 1);
    EXPECT_EQ(OnOtherThread([&] { return m.Unlock(); }), 0);
    EXPECT_EQ(m.Unlock(), 1);
    EXPECT_EQ(OnOtherThread([&] { return m.TryLock(0); }), 2u) << "still held once";
    EXPECT_EQ(m.Unlock(), 1);
    EXPECT_EQ(m.Unlock(), 0) << "not held any more";
}

TEST(Mutex, TryLockTimesOutAfterItsTime)
{
    Mutex m;
    ASSERT_EQ(m.Lock(), 1);
    auto start = steady_clock::now();
    EXPECT_EQ(OnOtherThread([&] { return m.TryLock(0); }), 2u);
    EXPECT_LT(steady_clock::now() - start, milliseconds(100));
    start = steady_clock::now();
    EXPECT_EQ(OnOtherThread([&] { return m.TryLock(120); }), 2u);
    EXPECT_GE(steady_clock::now() - start, milliseconds(115));
    m.Unlock();
}

TEST(Mutex, DestroyingASharedUserLeavesTheOthersUnlocked)
{
    Mutex keeper("SharedDestructionTest");
    {
        Mutex user("SharedDestructionTest");
    }
    EXPECT_EQ(OnOtherThread([&] {
                  unsigned r = keeper.TryLock(0);
                  if (r == 1)
                      keeper.Unlock();
                  return r;
              }),
              1u);
}

TEST(Condition, WaitSignalResetIsManualReset)
{
    Condition c("ConditionTest#");
    EXPECT_EQ(c.Wait(20), 2);
    c.Signal();
    EXPECT_EQ(c.Wait(-1), 1);
    EXPECT_EQ(c.Wait(-1), 1) << "stays signalled until Reset";
    c.Reset();
    EXPECT_EQ(c.Wait(20), 2);

    // The signal comes while the test's thread waits for it.
    const pid_t waiter = vgtest::CurrentThreadId();
    std::thread signaller([&] {
        vgtest::WaitUntil([&] { return vgtest::ThreadIsBlocked(waiter); });
        c.Signal();
    });
    EXPECT_EQ(c.Wait(5000), 1);
    signaller.join();
}

TEST(Condition, SharedNameSharesTheEvent)
{
    Condition a("SharedEventTest"), b("SharedEventTest");
    a.Reset();
    b.Signal();
    EXPECT_EQ(a.Wait(0), 1);
    a.Reset();
    EXPECT_EQ(b.Wait(0), 2);
}

TEST(ReadWriteSemaphore, WriterWaitsForTheReader)
{
    ReadWriteSemaphore rw("RWTest#");
    ASSERT_EQ(rw.ReadLock(), 1);
    ASSERT_EQ(rw.ReadLock(), 1) << "readers share";
    rw.ReadUnlock();
    std::atomic<bool> written{false};
    std::atomic<pid_t> writerId{0};
    steady_clock::time_point acquired;
    std::thread writer([&] {
        writerId = vgtest::CurrentThreadId();
        rw.WriteLock();
        acquired = steady_clock::now();
        written = true;
        rw.WriteUnlock();
    });
    // The writer is inside WriteLock, waiting for the reader.
    ASSERT_TRUE(vgtest::WaitUntil([&] { return written.load() || vgtest::ThreadIsBlocked(writerId.load()); }));
    EXPECT_FALSE(written.load());
    auto released = steady_clock::now();
    rw.ReadUnlock();
    writer.join();
    EXPECT_TRUE(written.load());
    EXPECT_LT(acquired - released, milliseconds(400)) << "the writer polls every 100 ms";
    EXPECT_EQ(rw.ReaderCount(), 0);
    rw.ReadUnlock();
    EXPECT_EQ(rw.ReaderCount(), 0) << "an extra ReadUnlock never goes below zero";
}

TEST(ReadWriteSemaphore, ReadersBlockWhileAWriterHoldsIt)
{
    ReadWriteSemaphore rw;
    ASSERT_EQ(rw.WriteLock(), 1);
    std::atomic<bool> read{false};
    std::atomic<pid_t> readerId{0};
    std::thread reader([&] {
        readerId = vgtest::CurrentThreadId();
        rw.ReadLock();
        read = true;
        rw.ReadUnlock();
    });
    ASSERT_TRUE(vgtest::WaitUntil([&] { return read.load() || vgtest::ThreadIsBlocked(readerId.load()); }));
    EXPECT_FALSE(read.load());
    rw.WriteUnlock();
    reader.join();
    EXPECT_TRUE(read.load());
}

// The guards give the lock back however their scope is left, and once only.
TEST(ReadWriteSemaphore, GuardsReleaseOnEveryWayOut)
{
    ReadWriteSemaphore rw("RWGuardTest#");
    {
        ReadLockGuard first(rw);
        ReadLockGuard second(rw);
        ASSERT_TRUE(first.owns());
        EXPECT_EQ(rw.ReaderCount(), 2);
        second.unlock();
        EXPECT_FALSE(second.owns());
        EXPECT_EQ(rw.ReaderCount(), 1);
    }
    EXPECT_EQ(rw.ReaderCount(), 0) << "an early unlock is not repeated by the destructor";

    EXPECT_THROW(
        {
            WriteLockGuard writer(rw);
            ASSERT_TRUE(writer);
            throw std::bad_alloc();
        },
        std::bad_alloc);
    // Another thread can take the writer side: the throw left nothing held.
    EXPECT_TRUE(OnOtherThread([&] {
        WriteLockGuard writer(rw);
        return writer.owns();
    }));
    EXPECT_THROW(
        {
            ReadLockGuard reader(rw);
            throw std::bad_alloc();
        },
        std::bad_alloc);
    EXPECT_EQ(rw.ReaderCount(), 0);
}

TEST(Timing, WaitMillisecondsBlocksForItsTime)
{
    auto start = steady_clock::now();
    WaitMilliseconds(60);
    SleepMs(20.9);
    EXPECT_GE(steady_clock::now() - start, milliseconds(79));
}
