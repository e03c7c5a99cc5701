#include "engine/base/VigilonThread.h"

#include <cstdint>
#include <exception>

#include "engine/base/AppLog.h"

VigilonThread::VigilonThread(const char* name, unsigned stackSizeHint)
    : Condition(name), m_stackSizeHint(stackSizeHint)
{
}

VigilonThread::~VigilonThread()
{
    // Not under our lock: the ending thread takes it in CheckStop.
    if (m_thread && m_thread->Id() != vgplat::CurrentThreadId())
        m_thread->Join(-1);
}

void VigilonThread::Routine()
{
    // Nothing a main lets through may reach std::terminate: log it and end the thread as a stop would.
    try {
        main();
    } catch (const std::exception& e) {
        LogThreadFailure(e.what());
    } catch (...) {
        LogThreadFailure("an unknown exception");
    }
    m_running = false;
}

void VigilonThread::LogThreadFailure(const char* what) noexcept
{
    try {
        AppLog::Instance()->Printf(kLogError, "[VigilonThread::main]: '%s' ended by exception: %s", GetName(), what);
    } catch (...) {
        // No memory left for the line: the thread still ends cleanly.
    }
}

bool VigilonThread::Start()
{
    MutexLock lock(*this);
    if (m_running.load())
        return true;
    if (!m_thread)
        m_thread = std::make_unique<vgplat::OsThread>();
    if (m_thread->Attached()) {
        // The earlier run was asked to stop: reuse the record only once that thread has ended.
        if (!m_thread->Finished() || !m_thread->Join(0))
            return false;
    }
    m_stop = false;
    Reset();
    // Running from here on, not only once the new thread is up: a second Start meanwhile finds it so
    // (a Stop meanwhile clears it, and the new thread then sees the stop).
    m_running = true;
    if (!m_thread->Start([this] { Routine(); }, GetName())) {
        m_running = false;
        return false;
    }
    return true;
}

void VigilonThread::Stop()
{
    if (!m_thread)
        return;
    m_stop = true;
    {
        MutexLock lock(*this);
        m_running = false;
        Signal();
    }
    if (m_thread->Id() != vgplat::CurrentThreadId())
        m_thread->Join(kStopWaitMs);
}

void VigilonThread::WaitForEnd()
{
    if (m_thread && m_thread->Id() != vgplat::CurrentThreadId())
        m_thread->Join(-1);
}

int VigilonThread::CheckStop()
{
    if (!m_stop.load())
        return 0;
    MutexLock lock(*this);
    m_running = false;
    Signal();
    return 1;
}

unsigned long VigilonThread::GetId() const
{
    if (!m_thread || m_thread->Id() == 0)
        return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(static_cast<const Mutex*>(this)));
    return static_cast<unsigned long>(m_thread->Id());
}

bool VigilonThread::WaitForWork(int timeoutMs)
{
    if (m_stop.load()) {
        CheckStop();
        return false;
    }
    int result = Wait(timeoutMs);
    if (result == 0)
        return false;
    Reset();
    return CheckRunning();
}

bool VigilonThread::CheckRunning()
{
    CheckStop();
    return m_running.load() && !m_stop.load();
}
