#include "platform/OsThread.h"

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
    self->m_body();
    self->m_done.Set();
    return nullptr;
}

bool OsThread::Start(std::function<void()> body)
{
    if (m_attached)
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
