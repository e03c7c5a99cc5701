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
