#include "console/SnmpListener.h"

#include "console/TrapQueue.h"
#include "engine/snmp/SnmpTrapSession.h"

SnmpListener::~SnmpListener()
{
    StopAll();
}

uint16_t SnmpListener::Subscribe(const std::string& address, uint16_t port, std::string* error)
{
    if (port != 0) {
        auto it = m_entries.find(port);
        if (it != m_entries.end()) {
            ++it->second.uses;
            return port;
        }
    }
    TrapQueue* queue = &m_queue;
    auto session = SnmpTrapSession::Open(
        m_thread, address, port,
        [queue](SnmpReceivedNotification&& n) {
            if (n.errorStatus == 0)
                queue->Push(TrapRecord::From(n));
        },
        error);
    if (!session)
        return 0;
    uint16_t bound = session->Port();
    Entry& entry = m_entries[bound];
    entry.session = std::move(session);
    entry.uses = 1;
    return bound;
}

void SnmpListener::Unsubscribe(uint16_t port)
{
    auto it = m_entries.find(port);
    if (it == m_entries.end())
        return;
    if (--it->second.uses <= 0)
        m_entries.erase(it);
}

void SnmpListener::StopAll()
{
    m_entries.clear();
}

uint64_t SnmpListener::Received() const
{
    uint64_t n = 0;
    for (const auto& [port, entry] : m_entries)
        n += entry.session->Received();
    return n;
}
