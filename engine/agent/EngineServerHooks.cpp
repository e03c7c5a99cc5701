#include "engine/agent/EngineServerHooks.h"



void EngineServerSlot::Install(std::unique_ptr<EngineServer> server)
{
    MutexLock lock(m_mutex);
    m_server = std::move(server);
    m_suspended = false;
}

std::unique_ptr<EngineServer> EngineServerSlot::Take()
{
    MutexLock lock(m_mutex);
    m_suspended = false;
    return std::move(m_server);
}

bool EngineServerSlot::HasServer() const
{
    MutexLock lock(m_mutex);
    return m_server != nullptr;
}

bool EngineServerSlot::PowerEvent(bool suspend)
{
    MutexLock lock(m_mutex);
    if (!m_server || suspend == m_suspended)
        return false;
    m_suspended = suspend;
    if (suspend)
        m_server->EnterSystemSuspension();
    else
        m_server->ExitSystemSuspension();
    return true;
}

