#pragma once
// CRemoteAgentEntry: the engine's object for one monitored remote agent (another engine or a UPS
// network card). It holds the agent's identity from its RemoteAgentRow and a client session to it; on
// first contact it reads the agent's version and devices and has the device list mirror them; each
// poll reads the device count, which decides whether the agent is online; it synchronises the devices'
// alarms with the agent's alarm table, registers this engine as the agent's trap receiver and applies
// the agent's status traps.
//
// MIB generations (from the version text major.minor.build): major >= 15: 4; otherwise major > 12 or
// minor > 4 or build > 39: 1 below build 48, 3 from it; otherwise 2. 0 while unknown. The trap
// receiver is registered by generation: 1 an integer (the port), 3 a text (address:port), 4 a text
// with the community, 2 (and 0 when the version cannot be read again) a row of the agent's
// trap-destination table to which every event of every device sends its traps.
//
// Hostile agents are bounded: a device count outside 0..255 fails the first contact, the device probe
// stops after a run of misses, and every GET-NEXT walk stops unless the answer's OID increases.
//
// Threads and locks: entries are shared (std::shared_ptr) between the manager's list and its queues,
// so a worker may finish with an entry the list has dropped. One recursive mutex per entry (m_mutex)
// is held around the first contact, the poll, the online/offline change, the alarm reads, the
// registration and the trap handlers, so a worker and the trap-queue thread never interleave on one
// agent. The identity texts (address, community, MAC, ports, version code) are also guarded by a leaf
// mutex (m_identityMutex; writers hold both), so the manager can compare them under its access lock
// while a worker holds the entry's mutex through a long request. Lock order: the entry's mutex, then
// the manager's access lock, then the identity mutex; the session's mutex and the device list's locks
// come after the entry's mutex (the device list calls back only through IRemoteAgentEntry, on the same
// thread). The timer thread takes the entry's mutex too, for the check before a shutdown
// (ConfirmAlarm), holding no other lock and waiting for it a bounded time only.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/core/devices/DeviceTypes.h"
#include "engine/core/interfaces/EngineValue.h"
#include "engine/remote/RemoteAgentTable.h"
#include "engine/remote/RemoteSnmpServer.h"
#include "engine/remote/RemoteTrapRecord.h"

class IDeviceManager;
class IRemoteSnmpClient;

// What an entry asks of its manager.
class IRemoteEntryOwner {
public:
    virtual ~IRemoteEntryOwner() = default;
    virtual IDeviceManager* GetDeviceList() = 0;
    virtual CRemoteAgentTable& GetTable() = 0;
    virtual IRemoteSnmpClient* GetClient() = 0;
    virtual RemoteSessionSettings GetSessionSettings() = 0;
    // The UDP port this engine receives the agents' traps on, and its own IPv4 address.
    virtual uint32_t GetTrapPort() = 0;
    virtual uint32_t GetOwnAddress() = 0;
    virtual void ReportDiscoveryResult(const std::string& address, int result) = 0;
    virtual int SaveDataFile() = 0;
    // The event log (CServer::LogEvent) for a device of the agent.
    virtual void LogEvent(uint32_t deviceKey, int type, const std::string& text, const std::string& address,
                          const std::string& mac) = 0;
    // ValueChangedTrap to the consoles.
    virtual void SendValueChanged(const std::vector<uint32_t>& oid, const EngineValue& value) = 0;
    // A new row of the remote-engine MIB table.
    virtual void RegisterMibRow() = 0;
    virtual void DisableBroadcast() = 0;
};

class CRemoteAgentEntry : public IRemoteAgentEntry {
public:
    static constexpr uint32_t kMaxDevices = 255;
    // Consecutive missing device numbers after which a probe stops.
    static constexpr int kMaxProbeMisses = 10;
    static constexpr int kMaxAlarms = 1000;
    static constexpr int kOfflineAfterFailures = 3;

    explicit CRemoteAgentEntry(IRemoteEntryOwner* owner);
    ~CRemoteAgentEntry() override;

    // Takes the identity from the row; snmpIndex 0 asks for a new MIB row (the index is then the row
    // number). 1 when a session was opened.
    int Initialize(const RemoteAgentRow& row, uint32_t snmpIndex);
    bool OpenSession();
    // Frees the device records, closes the session and removes the agent's devices from the list.
    void Release();
    // Ends a running request and fails the later ones (the engine stops).
    void Cancel();
    void DecrementIndex();

    // First contact: version, device count, status and devices. true when the entry must be queued for
    // its first poll.
    bool DiscoverDevices();
    void FinishInitialization();
    bool Poll();
    int UnregisterTrapDestination();

    bool ReadAgentInfo();
    bool ReadVersion();
    bool ReadDeviceCount();
    bool ReadStatus();
    bool ReadDeviceInfo(RemoteDeviceInfo& info, uint32_t number);
    // Going offline keeps the devices' alarms (and the reactions they armed) and adds "Offline"
    // beside them; coming back, the next successful poll reconciles them with the agent's table.
    int SetOnline(bool online, bool forced);
    // The agent's alarm table against the devices' alarms: what is new is raised and what is gone is
    // removed, each with its event, as the agent's alarm traps do; an alarm that stands already changes
    // nothing. Nothing is removed when the agent stops answering part way. Run at every good poll, so
    // a lost raise or clear trap costs at most one poll interval.
    void ReadAlarms();
    // Before a shutdown for an alarm of device deviceNumber: one short read of the agent's alarm
    // table (one attempt of kConfirmTimeoutMs per request, at most kConfirmBudgetMs in all, and the
    // entry's mutex waited for that long at most), applied as a poll applies it. false only when the
    // agent answered and that device no longer has an alarm of that description; a silent or busy
    // agent leaves the last known state standing (true). An agent taken for offline that answers is
    // online again.
    bool ConfirmAlarm(uint32_t deviceNumber, const std::string& description);
    static constexpr int kConfirmTimeoutMs = 2000;
    static constexpr int kConfirmBudgetMs = 4000;
    int CheckConfiguration();
    void ProcessStatusTrap(const RemoteTrapRecord& record, bool forced);
    void ProcessEngineTrap(const RemoteTrapRecord& record, bool forced);
    void SetServerAddress(const std::string& address);
    // A relocation: the new address and a session to it, swapped together under the entry's mutex, so
    // no poll or trap handler sees the new address with the old session. true when the session opened.
    bool MoveTo(const std::string& address);
    bool HasPendingReactions();
    void SetEventFlags(const std::string& name, uint32_t bits);
    void ClearEventFlags(const std::string& name, uint32_t bits);

    // After the host resumes from a suspension: one failed poll takes the agent offline and the next
    // good one re-synchronises it.
    void PrepareForResume();

    static uint32_t ParseVersion(const std::string& text);
    static int GenerationOf(uint32_t version);
    static uint32_t ParseRowRef(const std::string& table, const std::string& row);
    // The address this engine registers as trap receiver on the agent at agentAddress:agentPort: the
    // configured engine address (dotted text) when there is one, else the local address this host uses
    // to reach the agent (so a card on the network is never told a loopback address), else own.
    static uint32_t ReceiverAddress(const std::string& configured, uint32_t own, const std::string& agentAddress,
                                    uint32_t agentPort);

    // Identity.
    uint32_t GetKey();
    uint32_t GetSnmpIndex();
    std::string GetCommunity();
    std::string GetMac();
    uint32_t GetPort();
    uint32_t GetTrapPort();
    uint32_t GetSnmpVersion();
    int GetOnlineState();
    uint32_t GetDeviceCount();
    std::vector<uint32_t> GetDeviceNumbers();
    bool IsSameAddress(const std::string& address);
    bool IsSameMac(const std::string& mac);
    // A row that had no MAC learns it from the first trap or find that names one.
    void SetMac(const std::string& mac);
    bool IsQueuedForRemoval() const { return m_queuedForRemoval.load(); }
    void SetQueuedForRemoval() { m_queuedForRemoval.store(true); }
    bool HasConfigurationAlarm();
    // The session (shared: a relocation may replace it while another thread still uses the old one).
    std::shared_ptr<RemoteSnmpServer> GetSnmpServer();

    // IRemoteAgentEntry (the device list).
    std::string GetServerAddress() override;
    uint32_t GetTableKey() override { return GetKey(); }
    std::vector<RemoteDeviceInfo> GetDeviceInfo() override;
    void NoteStoredDevice(uint32_t deviceNumber) override;
    int GetGeneration() override;
    bool SnmpGet(const std::vector<uint32_t>& oid, RemoteValue& value) override;
    bool SnmpGetNext(const std::vector<uint32_t>& oid, std::vector<uint32_t>& next, RemoteValue& value) override;

private:
    // One standing alarm of the agent's table.
    struct AgentAlarm {
        uint32_t device = 0;
        uint32_t id = 0;
        std::string description;
        uint32_t value = 0;
    };
    // Caller holds m_mutex.
    // Walks the alarm table through session; false when the agent did not answer a request (or the
    // walk passed deadlineMs on the steady clock, when not 0): what was read then proves nothing.
    bool ReadAlarmTableLocked(RemoteSnmpServer& session, std::vector<AgentAlarm>& alarms, int64_t deadlineMs);
    void ApplyAlarmsLocked(const std::vector<AgentAlarm>& alarms);
    void AddConfigurationAlarmLocked();
    void RemoveConfigurationAlarmLocked();
    // ReceiverAddress for this agent now.
    uint32_t ReceiverAddressLocked();
    std::string RegistrationTextLocked(uint32_t address, uint32_t value, bool withCommunity);
    // Generation 2 (and an agent whose generation is not known): this engine, at address, as a row of
    // the agent's trap-destination table, with every event's traps sent to it. 1 when registered.
    int RegisterInDestinationTableLocked(uint32_t trapPort, uint32_t address);
    // The row's version text follows the one read from the agent (consoles are told).
    void UpdateVersionTextLocked();
    template <typename F>
    void ForEachDeviceLocked(F f);

    IRemoteEntryOwner* m_owner;
    std::recursive_mutex m_mutex;
    std::mutex m_identityMutex;
    // Written under m_mutex and m_sessionMutex; read under either (m_sessionMutex: the readers that do
    // not take the entry's mutex, the device list's event-list reads and Cancel).
    std::shared_ptr<RemoteSnmpServer> m_session;
    std::mutex m_sessionMutex;

    std::atomic<uint32_t> m_snmpIndex{0};
    std::atomic<uint32_t> m_key{0};
    std::atomic<bool> m_queuedForRemoval{false};
    bool m_polledOnce = false;
    bool m_firstContactDone = false;
    bool m_wentOffline = false;
    bool m_registeredOnce = false;
    bool m_configurationAlarm = false;
    int m_online = -1;
    uint32_t m_deviceCount = 0;
    std::vector<uint32_t> m_deviceNumbers;
    int m_failures = 0;
    uint32_t m_versionCode = 0;
    std::string m_address, m_community, m_mac, m_serverName;
    uint32_t m_port = 0;
    uint32_t m_trapPort = 0;
    // The receiver address of the last registration (0 before it): the unregistration names the same.
    uint32_t m_receiverAddress = 0;
    uint32_t m_status = 0;
    std::string m_versionText;
    uint32_t m_version = 0;
    int m_generation = 0;
    std::vector<RemoteDeviceInfo> m_deviceBuffer;
    bool m_countSane = true;
};
