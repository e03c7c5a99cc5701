#include "engine/agent/EngineServerHooks.h"

#include <atomic>

namespace {
std::atomic<EngineServerFactory> g_serverFactory{nullptr};
std::atomic<EngineMibBuilder> g_mibBuilder{nullptr};
}

void SetEngineServerFactory(EngineServerFactory factory) { g_serverFactory = factory; }
EngineServerFactory GetEngineServerFactory() { return g_serverFactory.load(); }
void SetEngineMibBuilder(EngineMibBuilder builder) { g_mibBuilder = builder; }
EngineMibBuilder GetEngineMibBuilder() { return g_mibBuilder.load(); }

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

