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
#include "engine/core/runtime/AgentTimer.h"
#include "engine/core/runtime/SystemQueue.h"
#include "engine/core/interfaces/TrapData.h"

// The longest reaction delay (seconds) an event row holds; a longer or negative one is refused where
// it enters (the MIB's check step answers wrongValue, the INI reader passes it over).
constexpr uint32_t kMaxReactionDelay = 7u * 24u * 3600u;

class CDeviceEntryRemote;  // engine/core/devices/DeviceEntryRemote.h
class IRemoteAgentEntry;   // engine/core/devices/DeviceTypes.h
struct DeviceWork;         // engine/core/devices/DeviceWork.h

// The device list (CDevices), for the server and for the remote-agent code.
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
    // The engine stops: no alarm change reacts and no clear reaction runs from now on.
    virtual void BeginStop() {}
    virtual int CountLocalDevices() { return 0; }
    virtual bool IsAnySuspended() { return false; }
    virtual int GetCount() { return 0; }
    // The device key of the device at list position (0-based); 0 outside the list.
    virtual uint32_t GetDeviceKeyAt(int /*position*/) { return 0; }
    // The name of the device whose row key that is (column 10 of its columns; the key the event
    // reports carry); false when no device has it.
    virtual bool GetDeviceName(uint32_t /*rowKey*/, std::string& /*name*/) { return false; }
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
    // While held, adding or deleting a device sends no ListChangedTrap and an alarm-status change no
    // ValueChangedTrap (the remote-agent manager holds them while it adds or removes agents).
    virtual void SetListChangeTrapsHeld(bool) {}
    // Copies the device file to its safe-point name: 1 only when it exists and was copied.
    virtual int CreateSafePoint() { return 0; }
    // The MIB device tables: a value of the device with that 1-based index, by item key (class << 16 |
    // item) and column. 0 when no device has the index or the device does not answer.
    virtual int GetDeviceValue(int /*deviceIndex*/, uint32_t /*itemKey*/, uint32_t /*column*/, EngineValue& /*value*/)
    {
        return 0;
    }
    // false when refused (no device, a refused value). saved, when given, is set false when the save
    // the write needed failed (the change is then in memory alone) and left as it is otherwise.
    virtual bool SetDeviceValue(int /*deviceIndex*/, uint32_t /*itemKey*/, uint32_t /*column*/, int /*type*/,
                                const void* /*data*/, size_t /*length*/, bool* /*saved*/ = nullptr)
    {
        return false;
    }

    // The remote-agent code (its workers and the trap thread), with no device lock held.
    // The devices of an agent after its first contact, at that table position (the agent's records are
    // read back through IRemoteAgentEntry on the calling thread); 1.
    virtual int Add(IRemoteAgentEntry* /*agent*/, uint32_t /*position*/) { return 1; }
    // Deletes the agent's devices (it goes); the devices of later agents move down one position.
    virtual void RemoveAgentDevices(uint32_t /*position*/) {}
    // The agent at that position was relocated to address.
    virtual void SetRemoteAddress(uint32_t /*position*/, const std::string& /*address*/) {}
    // The agent's device of that number; null when the list has none.
    virtual std::shared_ptr<CDeviceEntryRemote> FindRemoteDevice(const IRemoteAgentEntry* /*agent*/,
                                                                 uint32_t /*number*/)
    {
        return nullptr;
    }
    // Whether a row of one of the agent's devices holds a pending reaction.
    virtual bool AgentHasPendingReactions(const IRemoteAgentEntry* /*agent*/) { return false; }
    virtual bool AreListChangeTrapsHeld() const { return false; }
    // Carries out what a device operation left to do (no device lock held).
    virtual void Perform(DeviceWork& /*work*/) {}
};

// The remote-agent manager (CRemoteAgent) with its table and the network scan.
class IRemoteAgentManager {
public:
    virtual ~IRemoteAgentManager() = default;
    virtual int Initialize() { return 1; }
    // After Initialize: what did not start although the manager works on (its trap port could not be
    // bound), with the reason; empty when all did.
    virtual std::string GetStartProblem() { return std::string(); }
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
    // 1 when the row is gone or its agent leaves (a worker removes it); 0 when nothing changed (a
    // monitored agent stays when the file cannot be saved).
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
    // The agent whose server address is that text, found by address alone (the device list binds its
    // stored devices to it at its start); null when none. Called with no device-list lock held.
    virtual IRemoteAgentEntry* FindAgentByAddress(const std::string& /*address*/) { return nullptr; }
    // Before a shutdown for an alarm of a remote device: the device's agent is asked once, briefly,
    // whether its device deviceNumber still has an alarm of that description (the device's alarms
    // follow the answer). false only when the agent answered that it has none; an agent that does not
    // answer leaves the last known state standing (true). Called with no lock held; it waits a few
    // seconds at most.
    virtual bool ConfirmAlarm(IRemoteAgentEntry* /*agent*/, uint32_t /*deviceNumber*/,
                              const std::string& /*description*/)
    {
        return true;
    }
};

// The specific codes of the engine's notices to its consoles: one value changed (its one varbind
// carries the new value), or a list (a table) changed.
constexpr uint32_t kValueChangedTrap = 1001;
constexpr uint32_t kListChangedTrap = 1002;

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
    // saved, when given, is set false when the save the change needed failed, as SetDeviceValue's.
    virtual bool SetValue(uint32_t /*key*/, uint32_t /*requester*/, int /*type*/, const void* /*data*/,
                          size_t /*length*/, bool* /*saved*/ = nullptr)
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
    // The MIB's remote-engine table gets rows 1..count (the remote-agent manager's rows).
    virtual void SnmpSetRemoteAgentRowCount(int /*count*/) {}
    // The dense device table: a new last row, answered by its 1-based index, or -1 when refused; the
    // removal always takes away the last row. The device list calls these with its writer lock held.
    virtual int SnmpAddDevice() { return -1; }
    virtual void SnmpRemoveDevice(int /*unused*/ = 0) {}
    // The item-table rows of a device that got a row: 0, or -1 when refused.
    virtual int SnmpRegisterDeviceData(int /*deviceIndex*/, int /*controls*/, int /*variables*/, int /*events*/,
                                       int /*loads*/, int /*schedules*/, int /*loadGroups*/)
    {
        return 0;
    }
    // The UPS alarm tables: a new alarm row (-1 when none) and its removal. Called with a device's lock
    // held; they must not wait for another thread.
    virtual int SnmpAddAlarm(int /*deviceIndex*/ = 0) { return -1; }
    virtual void SnmpRemoveAlarm(int /*deviceIndex*/, int /*alarmRow*/) {}
    // The agent's sysUpTime in hundredths of a second.
    virtual uint32_t SnmpGetSysUpTime() { return 0; }
};

// What the device list (CDevices) needs of the engine; the server implements it over its own parts.
// Every method is safe from any thread. The device list calls them with none of its device locks held,
// except GetTimers, GetClock, GetSnmp's row operations and the settings reads (plain reads that take
// only a data block's read lock); the remote-agent manager is asked with no device lock held.
class IDeviceHost {
public:
    virtual ~IDeviceHost() = default;
    virtual CAgentTimer* GetTimers() = 0;
    // The clock of the timers: countdowns are measured on its steady side.
    virtual const TimerClock& GetClock() = 0;
    virtual IConsoleManager* GetConsoles() = 0;
    virtual ISnmpFacade* GetSnmp() = 0;
    virtual IRemoteAgentManager* GetRemoteAgents() = 0;
    // The install tree (device file, its template, backup and safe-point names).
    virtual std::string GetFileName(int type, bool backup) = 0;
    virtual std::string GetSafePointFileName(int type) = 0;
    // Settings word 5 (an action runs only when its id's bit is set) and word 4 bit 24 ("All": a
    // shutdown or command is armed only while every monitored agent has a pending reaction).
    virtual uint32_t GetReactionMask() = 0;
    virtual bool IsShutdownRequiredAll() = 0;
    virtual uint32_t GetDataFileVersion() = 0;
    virtual void UpdateDataFileVersion(uint32_t version) = 0;
    // The wall-clock time (seconds since 1970) of the earliest pending shutdown; 0 for none.
    virtual void SetCountdownTime(int64_t seconds) = 0;
    virtual void OnDeviceListChanged() = 0;
    virtual void OnDeviceStatus(int deviceIndex, int status) = 0;
    // The reactions, on the timer thread. cause names the alarm, the device and its agent ("the alarm
    // [On Battery] of UPS-A on 10.0.0.7"): the host layer logs it with each shutdown library call.
    virtual void BeginShutdown(const std::string& cause) = 0;
    virtual void ExecuteShutdown(const std::string& cause) = 0;
    virtual void ExecuteCommand(const std::string& command) = 0;
    // An event of a device (the event text names the device and its agent, context): a shutdown that
    // the agent's answer called off. Type 1 error, 2 warning, other information.
    virtual void ReportDeviceEvent(uint32_t /*rowKey*/, int /*type*/, const std::string& /*text*/,
                                   const std::string& /*context*/)
    {
    }
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
