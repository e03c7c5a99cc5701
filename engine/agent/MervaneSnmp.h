#pragma once
// CMervaneSnmp: the SNMP facade, the only way the engine's own threads (start-up, timers, remote-agent
// workers, console fan-out, system queue) reach the SNMP agent. It keeps the row counts of the dense MIB
// tables that follow the engine's devices, alarms, remote agents and trap destinations (MibRowCounts.h;
// the table handlers read them), sends the engine's traps, reads the agent's uptime, swaps the agent's
// community and stops the request loop.
//
// Nothing here calls net-snmp: traps go to the SNMP thread's queue (mervane_trap_sender) and the
// community swap is queued for the SNMP thread as well, so no operation ever waits for that thread. (The
// engine's host sends a trap at once when the caller is the SNMP thread itself, in a MIB handler's SET,
// so that the consoles' fan-out spacing reaches the wire.)
//
// Threads: every method is safe from any thread, the SNMP thread included. Every operation but
// GetEngineIPAddress holds the facade mutex "MervaneSnmpMutex" (shared by name: one per process) while
// it works and releases it on every way out. Nothing waits while it is held and no host-name look-up
// runs under it. Lock order (engine/base/LockOrder.h, rank 10): a caller may hold its own locks (the
// device list's, a data block's) when it calls in, and the facade calls no engine manager while it holds
// it. Below it come only the row counts' own mutexes (leaves) and the hand-over to the SNMP thread: a
// trap or a community swap is queued under the facade mutex, through the agent's loop slot and the SNMP
// thread's queue mutex, none of which ever waits for that thread.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "engine/agent/MervaneTrapSender.h"
#include "engine/agent/MibRowCounts.h"
#include "engine/base/Mutex.h"
#include "engine/core/interfaces/ServerManagers.h"
#include "engine/core/interfaces/TrapData.h"

// What the facade needs of the running agent. The composition root binds these to the SNMP thread of
// the engine run; a missing function makes its operation a no-op (0, empty).
struct SnmpFacadeHost {
    // Queues a trap for the SNMP thread (on that thread itself it may send at once); false when it takes
    // no more work. Never waits for another thread.
    mervane_trap_sender::PostTrap postTrap;
    // Queues a function for the SNMP thread; false when it takes no more work. Never blocks.
    std::function<bool(std::function<void()>)> post;
    // Runs the community swap (SetAgentCommunity) where net-snmp may be called; the default queues it
    // through post.
    std::function<bool(const std::string&)> swapCommunity;
    // The agent's sysUpTime in hundredths of a second.
    std::function<uint32_t()> sysUpTime;
    // Clears the run flag of the request loop; returns at once.
    std::function<void()> requestStop;
    // The configured engine IP text ("" when none).
    std::function<std::string()> configuredEngineIp;
    // The engine MAC text; default: the server's.
    std::function<std::string()> engineMac;
    // The host's full name; default: gethostname.
    std::function<std::string()> hostName;
    // Host-name look-up; default: getaddrinfo.
    mervane_trap_sender::Resolver resolver;
    // The address this host shows to the network (the default route's interface, else the first one
    // not on loopback), asked when the host name gives a loopback address; false when there is none.
    // Default: vgplat::PrimaryAddress.
    std::function<bool(std::string&)> primaryAddress;
    // The item counts of the devices 1..count as they report them now: the item tables' rows after a
    // deletion renumbered the devices. Called without the facade mutex (by the thread that deletes,
    // which holds the device list). Null: the counts of the devices above the new count are dropped.
    std::function<std::map<int, DeviceItems>(int count)> deviceItems;
};

class CMervaneSnmp : public Lockable, public ISnmpFacade, public ITrapSender {
public:
    // rows must outlive the facade.
    CMervaneSnmp(SnmpFacadeHost host, MibRowCounts& rows);
    ~CMervaneSnmp() override;
    CMervaneSnmp(const CMervaneSnmp&) = delete;
    CMervaneSnmp& operator=(const CMervaneSnmp&) = delete;

    // Devices. SnmpAddDevice: the new device index (-1). SnmpRegisterDeviceData: 0, or -1 when the lock
    // failed or any of the registrations failed (a device index that is no device row, a negative count).
    int SnmpAddDevice() override;
    int SnmpRegisterDeviceData(int deviceIndex, int controls, int variables, int events, int loads, int schedules,
                               int loadGroups) override;
    // Always the last row (the device list has renumbered its devices first).
    void SnmpRemoveDevice(int unused = 0) override;

    // Alarms: the new row index, the same in the UPS-MIB and the enterprise alarm tables (-1).
    int SnmpAddAlarm(int deviceIndex = 0) override;
    void SnmpRemoveAlarm(int deviceIndex, int alarmRow) override;

    // Hundredths of a second since the agent started (0).
    uint32_t SnmpGetSysUpTime() override;

    // Remote agents: the new row index (-1); removal takes the last row.
    int SnmpRegisterRemoteAgentData();
    void SnmpRemoveRemoteAgentData(int unused = 0);

    // The trap-destination table gets rows 1..count: 0 (-1 on lock failure or a negative count).
    int SetSnmpIpRowCount(int count);

    // SetAgentCommunity's result: 0 when length is 128 or more (nothing changes), else 1; the swap is
    // queued for the SNMP thread and the server's community becomes the name (`wendolmar` for an empty
    // name). 0 also when the swap cannot be queued.
    int SnmpSetCommunity(const char* name, size_t length);

    // ISnmpFacade.
    // Without the lock: the configured engine IP when there is one, else the first address the host's
    // full name resolves to, 0 when it does not resolve. A name that gives a loopback address (Debian's
    // 127.0.1.1, or 127.0.0.1) is no address a peer could reach: then the primary address of the host
    // stands in for it, and the loopback address stays only when the host has no other. A look-up is
    // remembered for 10 seconds.
    uint32_t GetEngineIPAddress() override;
    // Clears the run flag under the lock; the loop ends within its 2-second wait. Never waits.
    void SnmpStopAgent() override;
    void SnmpSetCommunity(const std::string& community) override;
    void SnmpSetSnmpIpRowCount(int count) override { SetSnmpIpRowCount(count); }
    void SnmpSetRemoteAgentRowCount(int count) override;

    // ITrapSender: logs the debug record at level 7, then mervane_trap_sender::sendtrap (its result; -1
    // when the record is refused or the lock fails).
    int SendTrap(TrapData& record) override;

    MibRowCounts& Rows() { return m_rows; }

private:
    SnmpFacadeHost m_host;
    MibRowCounts& m_rows;
    std::unique_ptr<mervane_trap_sender> m_sender;
    std::mutex m_addressMutex; // leaf: the remembered engine address
    uint32_t m_cachedAddress = 0;
    int64_t m_addressExpiresMs = 0;
};
