#include <chrono>
#include <future>
#include <gtest/gtest.h>

#include "platform/NamedObjects.h"

using namespace std::chrono;

TEST(NamedObjects, OneObjectPerNameAndPrivateWhenUnnamed)
{
    auto a = vgplat::OpenNamedMutex("Registry_MUTEX");
    auto b = vgplat::OpenNamedMutex("Registry_MUTEX");
    EXPECT_EQ(a, b);
    EXPECT_NE(vgplat::OpenNamedMutex(""), vgplat::OpenNamedMutex(""));
    auto e1 = vgplat::OpenNamedEvent("Registry_EVENT");
    EXPECT_EQ(e1, vgplat::OpenNamedEvent("Registry_EVENT"));

    // Released names start afresh.
    std::weak_ptr<vgplat::RecursiveMutex> weak = a;
    a.reset();
    b.reset();
    EXPECT_TRUE(weak.expired());
}

TEST(RecursiveMutex, TimedLockUsesTheSteadyClock)
{
    vgplat::RecursiveMutex m;
    ASSERT_EQ(m.Lock(), vgplat::kWaitDone);
    auto start = steady_clock::now();
    auto result = std::async(std::launch::async, [&] { return m.Lock(80); }).get();
    EXPECT_EQ(result, vgplat::kWaitTimedOut);
    EXPECT_GE(steady_clock::now() - start, milliseconds(75));
    EXPECT_FALSE(std::async(std::launch::async, [&] { return m.Unlock(); }).get());
    EXPECT_TRUE(m.Unlock());
}

// The system mutex stays held across the whole nesting and is released by the last Unlock only, so a
// race detector sees the hold (and its lock order) for as long as the owner has it.
TEST(RecursiveMutex, NestedHoldKeepsTheSystemMutexUntilTheLastUnlock)
{
    vgplat::RecursiveMutex m;
    auto othersCanTake = [&] {
        return std::async(std::launch::async, [&] {
                   if (::pthread_mutex_trylock(m.NativeHandle()) != 0)
                       return false;
                   ::pthread_mutex_unlock(m.NativeHandle());
                   return true;
               })
            .get();
    };
    ASSERT_EQ(m.Lock(), vgplat::kWaitDone);
    ASSERT_EQ(m.Lock(50), vgplat::kWaitDone);
    EXPECT_EQ(m.Depth(), 2u);
    EXPECT_FALSE(othersCanTake());
    EXPECT_TRUE(m.Unlock());
    EXPECT_EQ(m.Depth(), 1u);
    EXPECT_FALSE(othersCanTake());
    EXPECT_TRUE(m.Unlock());
    EXPECT_FALSE(m.HeldByCurrentThread());
    EXPECT_TRUE(othersCanTake());
    EXPECT_FALSE(m.Unlock()); // not held at all
}

TEST(RecursiveMutex, TimedLockSucceedsOnceTheHolderReleases)
{
    vgplat::RecursiveMutex m;
    std::promise<void> held, release;
    auto holder = std::async(std::launch::async, [&] {
        m.Lock();
        held.set_value();
        release.get_future().wait();
        m.Unlock();
    });
    held.get_future().wait();
    auto waiter = std::async(std::launch::async, [&] {
        const auto result = m.Lock(10000);
        if (result == vgplat::kWaitDone)
            m.Unlock();
        return result;
    });
    release.set_value();
    EXPECT_EQ(waiter.get(), vgplat::kWaitDone);
    holder.get();
}
