#include <atomic>
#include <functional>
#include <stdexcept>
#include <chrono>
#include <cstdint>
#include <gtest/gtest.h>
#include <thread>

#include "engine/base/VigilonThread.h"
#include "tests/support/LogCapture.h"

using namespace std::chrono;

namespace {

// A worker in the engine's loop shape; each pass counts and may take a while.
class CountingThread : public VigilonThread {
public:
    explicit CountingThread(int timeoutMs = -1, int passMs = 0)
        : VigilonThread("CountingThread#"), m_timeoutMs(timeoutMs), m_passMs(passMs)
    {
    }
    ~CountingThread() override { Stop(); }

    std::atomic<int> passes{0};
    std::atomic<int> bodies{0};

protected:
    void main() override
    {
        ++bodies;
        while (WaitForWork(m_timeoutMs)) {
            ++passes;
            if (m_passMs)
                std::this_thread::sleep_for(milliseconds(m_passMs));
            if (!CheckRunning())
                break;
        }
    }

private:
    int m_timeoutMs;
    int m_passMs;
};

// A thread that ignores the stop protocol for a while.
class StubbornThread : public VigilonThread {
public:
    explicit StubbornThread(int busyMs) : VigilonThread("StubbornThread#"), m_busyMs(busyMs) {}
    ~StubbornThread() override { Stop(); }

protected:
    void main() override { std::this_thread::sleep_for(milliseconds(m_busyMs)); }

private:
    int m_busyMs;
};

template <typename Pred>
bool Eventually(Pred pred, milliseconds limit = milliseconds(2000))
{
    auto deadline = steady_clock::now() + limit;
    while (steady_clock::now() < deadline) {
        if (pred())
            return true;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return pred();
}

} // namespace

TEST(VigilonThread, BeforeTheFirstStartIdIsTheAddressAndStopReturnsAtOnce)
{
    CountingThread t;
    EXPECT_EQ(t.GetId(), static_cast<unsigned long>(reinterpret_cast<uintptr_t>(static_cast<Mutex*>(&t))));
    auto start = steady_clock::now();
    t.Stop();
    EXPECT_LT(steady_clock::now() - start, milliseconds(50));
    EXPECT_FALSE(t.IsStopRequested());
}

TEST(VigilonThread, SignalRunsAPassAndStopEndsTheThreadPromptly)
{
    CountingThread t;
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(Eventually([&] { return t.IsRunning(); }));
    EXPECT_NE(t.GetId(), static_cast<unsigned long>(reinterpret_cast<uintptr_t>(static_cast<Mutex*>(&t))));
    t.Signal();
    ASSERT_TRUE(Eventually([&] { return t.passes.load() >= 1; }));
    auto start = steady_clock::now();
    t.Stop();
    EXPECT_LT(steady_clock::now() - start, milliseconds(500));
    EXPECT_FALSE(t.IsRunning());
}

TEST(VigilonThread, StartWhileRunningCreatesNoSecondThread)
{
    CountingThread t;
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(Eventually([&] { return t.IsRunning(); }));
    EXPECT_TRUE(t.Start());
    EXPECT_TRUE(t.Start());
    t.Stop();
    EXPECT_EQ(t.bodies.load(), 1);
}

// A second Start right after the first, before the new thread is up, finds it running: no error, no
// second thread.
TEST(VigilonThread, StartWhileTheThreadIsOnItsWayUpFindsItRunning)
{
    for (int round = 0; round < 20; ++round) {
        CountingThread t;
        ASSERT_TRUE(t.Start());
        EXPECT_TRUE(t.IsRunning()) << "round " << round;
        EXPECT_TRUE(t.Start()) << "round " << round;
        ASSERT_TRUE(Eventually([&] { return t.bodies.load() == 1; }));
        t.Stop();
        EXPECT_EQ(t.bodies.load(), 1);
    }
}

TEST(VigilonThread, RestartAfterStopRunsAgain)
{
    CountingThread t;
    ASSERT_TRUE(t.Start());
    t.Stop();
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(Eventually([&] { return t.IsRunning(); }));
    t.Stop();
    EXPECT_EQ(t.bodies.load(), 2);
}

TEST(VigilonThread, StopDuringAPassIsNotLost)
{
    // The stop arrives while the pass runs, between its checks; the next wait must not swallow it.
    for (int round = 0; round < 20; ++round) {
        CountingThread t(-1, 5);
        ASSERT_TRUE(t.Start());
        t.Signal();
        ASSERT_TRUE(Eventually([&] { return t.passes.load() >= 1; }));
        auto start = steady_clock::now();
        t.Stop();
        EXPECT_LT(steady_clock::now() - start, milliseconds(1000)) << "round " << round;
    }
}

TEST(VigilonThread, StopIsBoundedAndStartRefusesWhileTheOldThreadLives)
{
    StubbornThread t(VigilonThread::kStopWaitMs + 700);
    ASSERT_TRUE(t.Start());
    auto start = steady_clock::now();
    t.Stop();
    auto waited = steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(VigilonThread::kStopWaitMs - 50));
    EXPECT_LT(waited, milliseconds(VigilonThread::kStopWaitMs + 500));
    EXPECT_FALSE(t.Start()) << "the first thread is still alive";
}

namespace {

// A main that throws what it is told to on its first run, and runs normally after.
class ThrowingThread : public VigilonThread {
public:
    explicit ThrowingThread(std::function<void()> raise) : VigilonThread("ThrowingThread#"), m_raise(std::move(raise)) {}
    ~ThrowingThread() override { Stop(); }
    std::atomic<int> runs{0};

protected:
    void main() override
    {
        if (++runs == 1)
            m_raise();
        while (WaitForWork(-1)) {
        }
    }

private:
    std::function<void()> m_raise;
};

} // namespace

// Whatever leaves a thread's main ends that thread only, logged; the object can start a new run.
TEST(VigilonThread, AnExceptionLeavingMainIsLoggedAndEndsTheThreadCleanly)
{
    struct Case {
        const char* name;
        std::function<void()> raise;
        const char* logged;
    } cases[] = {
        {"std::exception", [] { throw std::runtime_error("disk on fire"); }, "ended by exception: disk on fire"},
        {"anything else", [] { throw 7; }, "ended by exception: an unknown exception"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedLogCapture log;
        ThrowingThread t(c.raise);
        ASSERT_TRUE(t.Start());
        ASSERT_TRUE(Eventually([&] { return t.runs.load() == 1 && !t.IsRunning(); }));
        ASSERT_TRUE(Eventually([&] { return log.Contains(kLogError, c.logged); }));
        ASSERT_TRUE(Eventually([&] { return t.Start(); })) << "the ended run frees the object for a new one";
        ASSERT_TRUE(Eventually([&] { return t.runs.load() == 2 && t.IsRunning(); }));
        t.Stop();
        EXPECT_FALSE(t.IsRunning());
    }
}
