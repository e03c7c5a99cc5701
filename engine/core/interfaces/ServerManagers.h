#pragma once
// The server's view of the managers that live in other parts of the engine: the device list, the
// remote-agent manager, the consoles with their trap fan-out, and the SNMP facade. Each interface has
// empty defaults, so a server runs (and is tested) before the real manager exists; the real manager
// derives from its interface and is handed to the server through ServerOptions.
//
// Threads: every method may be called from any engine thread (the agent's request threads, the timer
// thread, the system-queue thread, the remote-agent workers); an implementation locks itself. The
// server never holds a lock of its own while it calls one of them.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine/core/interfaces/EngineValue.h"
#include "engine/core/runtime/SystemQueue.h"
#include "engine/core/interfaces/TrapData.h"

// The device list (CDevices).
class IDeviceManager {
public:
    virtual ~IDeviceManager() = default;
    virtual int Initialize() { return 1; }
    virtual void Destroy() {}
    virtual int Backup() { return 0; }
    virtual int Restore() { return 0; }
    virtual int Save() { return 1; }
    // Device saves deferred (busy) and alarm reactions held off (suspended).
    virtual void SetBusy(bool) {}
    virtual void SetReactionsSuspended(bool) {}
    virtual int CountLocalDevices() { return 0; }
    virtual bool IsAnySuspended() { return false; }
    virtual int GetCount() { return 0; }
    // The device key of the device at list position (0-based); 0 outside the list.
    virtual uint32_t GetDeviceKeyAt(int /*position*/) { return 0; }
    // The name of the device with that key (column 10 of its columns); false when no device has it.
    virtual bool GetDeviceName(uint32_t /*deviceKey*/, std::string& /*name*/) { return false; }
    // A device variable of the device at deviceIndex (1-based). The result is GetValue's result.
    virtual int GetValue(uint32_t /*key*/, int /*deviceIndex*/, EngineValue& /*value*/, uint32_t /*length*/)
    {
        return 1;
    }
    // false when the value was refused.
    virtual bool SetValue(uint32_t /*key*/, int /*deviceIndex*/, int /*type*/, const void* /*data*/,
                          size_t /*length*/)
    {
        return true;
    }
    // The alarm items 0x8301000B-0x83010011: the answer of the first device holding alarm row `row`.
    virtual int GetAlarmValue(uint32_t /*key*/, uint32_t /*row*/, EngineValue& /*value*/) { return 1; }
    virtual int DeleteByIndex(int /*index*/) { return 0; }
    // The devices' "[RemoteEvent:...]" sections of the INI file.
    virtual void WriteConfig(std::ostream&) {}
};

// The remote-agent manager (CRemoteAgent) with its table and the network scan.
class IRemoteAgentManager {
public:
    virtual ~IRemoteAgentManager() = default;
    virtual int Initialize() { return 1; }
    virtual void Shutdown() {}
    virtual int BackupDataFile() { return 0; }
    virtual int RestoreDataFile() { return 0; }
    virtual int SaveDataFile() { return 1; }
    // The table's "[VG_Remote]" import, run once the server has started.
    virtual void SetConfigurationValues() {}
    // Workers stop polling (busy).
    virtual void SetBusy(bool) {}
    virtual void SetMaxNodes(uint32_t) {}
    // The cap in force; negative: none settled yet (the server answers word 43 of the settings).
    virtual int GetMaxNodes() { return -1; }
    virtual int GetRowCount() { return 0; }
    virtual int GetValue(uint32_t /*key*/, uint32_t /*requester*/, EngineValue& /*value*/) { return 1; }
    virtual bool SetValue(uint32_t /*key*/, uint32_t /*requester*/, int /*type*/, const void* /*data*/,
                          size_t /*length*/)
    {
        return true;
    }
    // The new row's key, or 0xFFFFFFFF.
    virtual uint32_t AddTableRow() { return 0xFFFFFFFFu; }
    virtual int QueueForRemoval(int /*row*/) { return 0; }
    virtual void Relocate(const std::string& /*address*/, const std::string& /*mac*/) {}
    virtual void WriteConfigSections(std::ostream&) {}
    // Discovery and the worker pool (the system queue's requests 3 and 5).
    virtual void SetDiscoveryRequested(bool) {}
    virtual bool IsDiscoveryRequested() { return false; }
    virtual std::unique_ptr<INetScan> CreateNetScan() { return nullptr; }
    virtual void RecordDiscoveryErrors(const std::string& /*text*/, const std::string& /*address*/) {}
    virtual void SuspendAllThreads() {}
    virtual void ResumeAllThreads() {}
    virtual void SignalAllThreads() {}
    virtual void AdjustThreads() {}
    // After the host resumes from suspension: under the manager's own lock, every entry gets its
    // failed-poll count 3, its poll counter 25 and its first-poll flag cleared.
    virtual void PrepareForResume() {}
};

// The registered consoles (CConsoles) and the trap fan-out to them.
class IConsoleManager {
public:
    virtual ~IConsoleManager() = default;
    virtual int Initialize() { return 1; }
    virtual void DestroyAll() {}
    virtual int Backup() { return 0; }
    virtual int Restore() { return 0; }
    virtual int Save() { return 1; }
    // GET of the console-activation variable: registers the requester as a console.
    virtual void Activate(uint32_t /*requester*/) {}
    virtual int GetCount() { return 0; }
    // The 1-based device index the console selected; 1 for an address that is not a console.
    virtual int GetSelectedDevice(uint32_t /*requester*/) { return 1; }
    virtual int GetValue(uint32_t /*key*/, uint32_t /*requester*/, EngineValue& /*value*/) { return 1; }
    virtual bool SetValue(uint32_t /*key*/, uint32_t /*requester*/, int /*type*/, const void* /*data*/,
                          size_t /*length*/)
    {
        return true;
    }
    // A trap to every active console with one varbind oid = value: ValueChangedTrap (1001) or
    // ListChangedTrap (1002).
    virtual void SendValueNotification(const std::vector<uint32_t>& /*oid*/, uint32_t /*trapId*/,
                                       const EngineValue& /*value*/)
    {
    }
    virtual void SendNotification(const std::vector<uint32_t>& /*oid*/, uint32_t /*trapId*/,
                                  const EngineValue& /*value*/)
    {
    }
    // A trap of any varbinds (the discovery's progress traps) to every active console.
    virtual void SendTrap(const std::vector<uint32_t>& /*trapOid*/, int /*specific*/,
                          const std::vector<TrapVarbind>& /*varbinds*/)
    {
    }
    // Copies the console file to its safe-point name: 1 only when it exists and was copied.
    virtual int CreateSafePoint() { return 0; }
};

// The SNMP facade (CMervaneSnmp) as far as the server uses it.
class ISnmpFacade {
public:
    virtual ~ISnmpFacade() = default;
    // The engine's IPv4 address, first octet lowest; 0 when none is known.
    virtual uint32_t GetEngineIPAddress() { return 0; }
    // Ends the request loop. Only sets a flag: it is called on the timer thread, which the stop that
    // follows waits for.
    virtual void SnmpStopAgent() {}
    // Makes the text the agent's community (the server has stored it already). Called from a SET on the
    // SNMP thread itself and during the start: it hands the change to the SNMP thread and never waits.
    virtual void SnmpSetCommunity(const std::string& /*community*/) {}
    // The MIB's trap-destination table gets rows 1..count.
    virtual void SnmpSetSnmpIpRowCount(int /*count*/) {}
};

// A facade made of functions, for the entry point until the facade proper exists: each function that is
// set is called, the others do nothing.
class CallbackSnmpFacade : public ISnmpFacade {
public:
    std::function<uint32_t()> engineAddress;
    std::function<void()> stopAgent;
    std::function<void(const std::string&)> setCommunity;
    std::function<void(int)> setSnmpIpRowCount;

    uint32_t GetEngineIPAddress() override { return engineAddress ? engineAddress() : 0; }
    void SnmpStopAgent() override
    {
        if (stopAgent)
            stopAgent();
    }
    void SnmpSetCommunity(const std::string& community) override
    {
        if (setCommunity)
            setCommunity(community);
    }
    void SnmpSetSnmpIpRowCount(int count) override
    {
        if (setSnmpIpRowCount)
            setSnmpIpRowCount(count);
    }
};
