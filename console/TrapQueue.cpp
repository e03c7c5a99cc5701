#include "console/TrapQueue.h"

bool TrapQueue::Start(Sink sink)
{
    Stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sink = std::move(sink);
    m_running = true;
    try {
        m_thread = std::thread([this] { Main(); });
    } catch (...) {
        m_running = false;
        return false;
    }
    return true;
}

bool TrapQueue::Push(TrapRecord record)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running)
            return false;
        if (m_records.size() >= m_capacity) {
            ++m_dropped;
            return false;
        }
        m_records.push_back(std::move(record));
    }
    m_wake.notify_one();
    return true;
}

void TrapQueue::Main()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return !m_running || !m_records.empty(); });
        if (!m_running)
            return;
        TrapRecord record = std::move(m_records.front());
        m_records.pop_front();
        Sink sink = m_sink;
        lock.unlock();
        try {
            if (sink)
                sink(std::move(record));
        } catch (...) {
            // A failing sink loses this record only.
        }
        lock.lock();
    }
}

void TrapQueue::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void TrapQueue::StopAndClear()
{
    Stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
}

uint64_t TrapQueue::Dropped() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

size_t TrapQueue::Size() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.size();
}

bool TrapQueue::IsRunning() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running;
}
