#include "platform/OsThread.h"

#include <mutex>
#include <unistd.h>
#include <sys/syscall.h>

namespace vgplat {

long CurrentThreadId()
{
    return static_cast<long>(::syscall(SYS_gettid));
}

OsThread::~OsThread()
{
    Join(-1);
}

void* OsThread::Trampoline(void* arg)
{
    auto* self = static_cast<OsThread*>(arg);
    self->m_tid = CurrentThreadId();
    self->m_started.Set();
    try {
        self->m_body();
    } catch (...) {
        // The body's own handlers log; here nothing may reach std::terminate.
    }
    self->m_done.Set();
    return nullptr;
}

namespace {

std::mutex& GateMutex()
{
    static auto* mutex = new std::mutex();
    return *mutex;
}

ThreadStartGate& Gate()
{
    static auto* gate = new ThreadStartGate();
    return *gate;
}

bool GateAllows(const char* name)
{
    std::lock_guard<std::mutex> lock(GateMutex());
    return !Gate() || Gate()(name ? name : "");
}

} // namespace

void SetThreadStartGate(ThreadStartGate gate)
{
    std::lock_guard<std::mutex> lock(GateMutex());
    Gate() = std::move(gate);
}

bool OsThread::Start(std::function<void()> body, const char* name)
{
    if (m_attached || !GateAllows(name))
        return false;
    m_body = std::move(body);
    m_done.Reset();
    m_started.Reset();
    if (::pthread_create(&m_handle, nullptr, &OsThread::Trampoline, this) != 0)
        return false;
    m_attached = true;
    m_started.Wait(-1);
    return true;
}

bool OsThread::Join(int64_t timeoutMs)
{
    if (!m_attached)
        return true;
    if (m_done.Wait(timeoutMs) != kWaitDone)
        return false;
    ::pthread_join(m_handle, nullptr);
    m_attached = false;
    return true;
}

} // namespace vgplat
