#pragma once
// EngineHooks: what the persistence classes (engine settings record, user extension file,
// trap-destination table) ask of the rest of the engine: the server, the SNMP facade, the consoles
// and the remote-agent manager. The server implements it; every default does nothing, which is also
// what a table without a server (the engine's early read at start) gets.
//
// Threads: the callers run on the agent's request threads and on engine threads; an implementation
// must be safe from any thread. No hook is called while a data block's lock is held.

#include <cstddef>
#include <cstdint>

class EngineHooks {
public:
    virtual ~EngineHooks() = default;

    // The system allows hibernation (CServerEx::IsHibernateAllowed).
    virtual bool IsHibernateAllowed() { return false; }
    // Makes the text the agent's community (CMervaneSnmp::SnmpSetCommunity); text is not
    // NUL-terminated.
    virtual void SetCommunity(const char* /*text*/, size_t /*length*/) {}
    // The engine's current IPv4 address, first octet in the lowest byte, 0 when none
    // (CMervaneSnmp::GetEngineIPAddress).
    virtual uint32_t GetEngineIPAddress() { return 0; }
    // The remote-agent cap asked for by the INI import (CRemoteAgent::SetMaxNodes); the manager may
    // store a different cap into word 43 of the settings record.
    virtual void SetMaxNodes(uint32_t /*requested*/) {}
    // Copies the files the remote-agent work writes (devices, remote agents) to their backups
    // (CServer::Backup).
    virtual void Backup() {}
    // Copies those backups back (CServer::Restore); false when that failed (the default).
    virtual bool Restore() { return false; }
    // Saves the user extension file (CServer::SaveUserExtension).
    virtual void SaveUserExtension() {}
    // An engine variable SET as if from the given requester (CServer::SetValue); type 2 with a
    // 32-bit integer at data, length 4.
    virtual void SetEngineValue(uint32_t /*key*/, uint32_t /*requester*/, int /*type*/, const void* /*data*/,
                                size_t /*length*/)
    {
    }
    // The MIB's trap-destination table gets exactly rows 1..count, rows above count removed
    // (CMervaneSnmp::SnmpSetSnmpIpRowCount). Called after every load of the table, also with 0.
    virtual void SetSnmpIpRowCount(int /*count*/) {}
    // A ListChangedTrap (1002) to the consoles with one INTEGER varbind oid = value
    // (CConsoles::SendNotification).
    virtual void SendListChanged(const uint32_t* /*oid*/, size_t /*oidLength*/, int32_t /*value*/) {}
    // A ValueChangedTrap (1001) to the consoles with one varbind of the given syntax and value
    // (CConsoles::SendValueNotification).
    virtual void SendValueChanged(const uint32_t* /*oid*/, size_t /*oidLength*/, int /*type*/, const void* /*data*/,
                                  size_t /*length*/)
    {
    }
};
