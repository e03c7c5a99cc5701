#pragma once
// Waiting in tests: on a condition, never for a fixed time. A test that needs "this has happened"
// polls for it with WaitUntil (or uses a Latch the code under test counts down); a test that needs
// "this has not happened" checks after a condition that proves the code had its chance.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vgtest {

// Polls done() every pollMs until it holds; false when it still does not after timeoutMs. The
// default limit is generous: a passing wait returns as soon as its condition holds.
template <typename Predicate>
bool WaitUntil(Predicate done, int timeoutMs = 20000, int pollMs = 5)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}

// A one-shot gate between threads: Wait blocks until count CountDown calls have been made (or the
// limit passes). Safe from any thread.
class Latch {
public:
    explicit Latch(int count = 1) : m_count(count) {}
    void CountDown()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count > 0 && --m_count == 0)
            m_changed.notify_all();
    }
    // timeoutMs -1: no limit.
    bool Wait(int timeoutMs = 20000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (timeoutMs < 0) {
            m_changed.wait(lock, [&] { return m_count == 0; });
            return true;
        }
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_count == 0; });
    }
    bool Done()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count == 0;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_count;
};

}  // namespace vgtest
