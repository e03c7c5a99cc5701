#include "console/SnmpThreadRunner.h"

#include <condition_variable>
#include <mutex>

void SnmpThreadRunner::Start()
{
    if (m_loop.joinable())
        return;
    m_run.store(true);
    std::mutex mutex;
    std::condition_variable cv;
    bool ready = false;
    m_loop = std::thread([&, this] {
        m_thread.PrepareClientLibrary("haltwatch");
        {
            std::lock_guard<std::mutex> lock(mutex);
            ready = true;
        }
        cv.notify_all();
        m_thread.Run(m_run);
        m_thread.Shutdown();
    });
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return ready; });
}

void SnmpThreadRunner::Stop()
{
    if (!m_loop.joinable())
        return;
    m_run.store(false);
    m_thread.Wake();
    m_loop.join();
}
