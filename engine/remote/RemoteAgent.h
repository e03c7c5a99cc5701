#pragma once
// CRemoteAgent: the manager of the remote agents this engine monitors. It owns the remote-agent table
// and its file, one CRemoteAgentEntry per agent, four work queues (relocate, remove, initialise, poll after
// add), a pool of workers that take one unit of work at a time in that order and otherwise poll the
// agents round-robin, and the received-trap queue. Which unit a worker takes is ChooseRemoteWork's
// answer (RemoteWork.h); each kind of unit has its own function here.
//
// Entries are shared: the list and the queues hold references, so an entry a worker still uses
// outlives its removal from the list. The remote-engine MIB table is given the table's row count less
// the agents queued for removal after every change of either (SyncMibRows), so its rows follow the
// engine's on every path, failed ones included. An agent's first contact that fails is retried by the poll
// rounds with a back-off (10 s doubling to 10 minutes) until its devices are read; the retries raise no
// critical state and notify no console until one succeeds.
//
// Threads and locks: the agent's request threads (engine keys, row creation and deletion), the
// system-queue thread (pool sizing, saves), the timer thread (reactions), the trap-queue thread, the
// workers and the server's start and stop all enter. Lock order (rank 5 of engine/base/LockOrder.h):
//     m_threadLock ("RemoteAgentThreadMutex": the workers' turns and the pool's shrinking)
//     -> an entry's own mutex -> the store's MIB-row mutex (SyncMibRows) -> m_accessLock
//     ("RemoteAgentAccessMutex": the list, the queues, the removal marks) -> an entry's identity mutex
//     -> the table's blocks; the discovery results have their own leaf mutex, and the device list's
//     locks come after the entry's mutex.
// m_accessLock is held only for list and queue operations, never across SNMP traffic; every walk of
// the list holds it (or works on a copy taken under it). m_poolMutex guards the worker list alone and
// is never held while a worker is stopped.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/base/Mutex.h"
#include "engine/core/interfaces/ServerManagers.h"
#include "engine/remote/RemoteAgentEntry.h"
#include "engine/remote/RemoteAgentHost.h"
#include "engine/remote/RemoteAgentStore.h"
#include "engine/remote/RemoteAgentThread.h"
#include "engine/remote/RemoteTrapQueue.h"
#include "engine/remote/RemoteWork.h"
#include "engine/remote/TrapListener.h"
#include "engine/remote/TrapProcessing.h"

class CRemoteAgent : public IRemoteAgentManager,
                     public IRemoteTableOwner,
                     public IRemoteEntryOwner,
                     public IRemoteWorkOwner,
                     public IRemoteTrapOwner {
public:
    static constexpr uint32_t kCriticalContact = 0x10000000u;
    static constexpr uint32_t kCriticalRemoval = 0x20000000u;
    static constexpr uint32_t kCriticalPoll = 0x40000000u;
    static constexpr uint32_t kCriticalAll = 0x70000000u;
    static constexpr unsigned kLockMs = 2000;
    static constexpr int kRetryFirstMs = 10000;
    static constexpr int kRetryMaxMs = 600000;

    explicit CRemoteAgent(std::unique_ptr<IRemoteAgentHost> host);
    ~CRemoteAgent() override;

    // IRemoteAgentManager (the server).
    int Initialize() override;
    // The trap port that could not be bound at the last Initialize, with the reason; empty otherwise.
    // Start thread only, after Initialize.
    std::string GetStartProblem() override;
    void Shutdown() override;
    int BackupDataFile() override;
    int RestoreDataFile() override;
    int SaveDataFile() override;
    void SetConfigurationValues() override;
    void SetBusy(bool busy) override;
    void SetMaxNodes(uint32_t requested) override;
    int GetMaxNodes() override { return static_cast<int>(m_cap.load()); }
    int GetRowCount() override;
    int GetValue(uint32_t key, uint32_t requester, EngineValue& value) override;
    bool SetValue(uint32_t key, uint32_t requester, int type, const void* data, size_t length) override;
    uint32_t AddTableRow() override;
    int QueueForRemoval(int row) override;
    void Relocate(const std::string& address, const std::string& mac) override;
    // The agent at that address (not queued for removal), for the devices restored from their file.
    IRemoteAgentEntry* FindAgentByAddress(const std::string& address) override;
    bool ConfirmAlarm(IRemoteAgentEntry* agent, uint32_t deviceNumber, const std::string& description) override;
    void WriteConfigSections(std::ostream& out) override;
    // A discovery asked for also marks its results as awaiting the agents the console adds from them:
    // the first contact of those agents writes the results to the discovery log. The mark outlives the
    // run (cleared by that write or by the next discovery); the request itself ends with the run.
    void SetDiscoveryRequested(bool on) override
    {
        if (on)
            m_discoveryAwaitingAdds.store(true);
        m_discoveryRequested.store(on);
    }
    bool IsDiscoveryRequested() override { return m_discoveryRequested.load(); }
    // The network scan of one discovery run, made by the factory the composition root hands in; null
    // without one.
    using NetScanFactory = std::function<std::unique_ptr<INetScan>(CRemoteAgent&)>;
    void SetNetScanFactory(NetScanFactory factory) { m_netScanFactory = std::move(factory); }
    std::unique_ptr<INetScan> CreateNetScan() override;
    // A free line of the discovery log (the address argument is not used).
    void RecordDiscoveryErrors(const std::string& text, const std::string& address) override;
    void SuspendAllThreads() override;
    void ResumeAllThreads() override;
    void SignalAllThreads() override;
    void AdjustThreads() override;
    void PrepareForResume() override;

    // Adding and finding.
    bool Add(const RemoteAgentRow& row, uint32_t snmpIndex);
    // 0 when the agent exists already or was relocated, else Add's result.
    int AddByAddress(const std::string& address, const std::string& community, uint32_t port, uint32_t versionCode,
                     const std::string& mac);
    // result: 0 found, 1 none, 2 the MAC belongs to an agent at another address, 3 the address to an agent
    // with another MAC. Entries queued for removal are skipped.
    std::shared_ptr<CRemoteAgentEntry> Find(const std::string& address, const std::string& mac, bool queueOld,
                                            int* result = nullptr);
    std::shared_ptr<CRemoteAgentEntry> RelocateEntry(const std::string& address, const std::string& mac);
    // Hands a received trap to the trap queue; false (the caller keeps it) when refused.
    bool QueueTrap(std::unique_ptr<RemoteTrapRecord>& record);
    // The receiver of the agents' traps on the remote trap port; the composition root hands it the way
    // to the SNMP thread (SetOpener) before Initialize. Without one no trap is received.
    CSnmpListener& GetTrapListener() { return m_listener; }

    // Trap processing (TrapProcessing.cpp), on the trap-queue thread.
    static bool ReadTrapToken(const char*& cursor, char* buffer, size_t size);
    void ProcessAlarmTrap15(const std::shared_ptr<CRemoteAgentEntry>& entry, const RemoteTrapRecord& record);
    bool IsDeviceExcluded(CRemoteAgentEntry& entry, uint32_t device);
    void RemoveAllThreads();

    // Reactions.
    bool AllHavePendingReactions();
    void SetEventFlagsOnAllDevices(const std::string& name, uint32_t bits);
    void ClearEventFlagsOnAllDevices(const std::string& name, uint32_t bits);

    // The first and the longest wait before a failed first contact is tried again.
    void SetContactRetryDelays(int firstMs, int maxMs)
    {
        m_retryFirstMs.store(firstMs);
        m_retryMaxMs.store(maxMs);
    }

    // State, for tests and the log.
    std::vector<std::shared_ptr<CRemoteAgentEntry>> GetEntries();
    size_t GetWorkerCount();
    bool HasQueuedWork();
    int GetDiscoveryResult(uint32_t address);

    // Discovery bookkeeping. Results are recorded only in single-address mode (a discovery of single
    // addresses: the log then tells what became of each one).
    void SetSingleAddressMode(bool single) { m_singleAddress.store(single); }
    bool IsSingleAddressMode() const { return m_singleAddress.load(); }
    bool HasDiscoveryResult(const std::string& address);
    // The discovery log: with a text, "text    <code's text>" (code 0: the text alone); with no text,
    // one line per recorded result in address order, and the results are forgotten. Failures are
    // logged and ignored.
    void RecordDiscoveryErrors(const std::string& text, int code);
    static bool IsValidMacAddress(const std::string& mac);
    // Safe points of the remote, user, device and console files.
    void CreateAllSafePoints();
    CRemoteAgentStore* GetStore() { return m_store.get(); }
    CRemoteTrapQueue& GetTrapQueue() { return m_trapQueue; }

    // IRemoteWorkOwner, IRemoteTrapOwner.
    void Process(CRemoteAgentThread& worker) override;
    void ProcessTrap(const RemoteTrapRecord& record) override;
    // Before a trap takes a place in the queue (TrapProcessing.cpp): the sender and the community
    // checks of ProcessTrap, without changing anything; key: the agent and alarm an alarm trap is about.
    bool AdmitTrap(const RemoteTrapRecord& record, std::string& key) override;

    // IRemoteTableOwner.
    bool HasEntry(uint32_t rowKey) override;
    bool AddAgent(const RemoteAgentRow& row, uint32_t snmpIndex) override { return Add(row, snmpIndex); }
    bool LookUpMac(const std::string& address, std::string& mac) override { return m_host->LookUpMac(address, mac); }
    void QueueForwardedTrap(uint32_t requester, const std::string& text) override;
    void SendListChanged(int32_t value) override;
    void OnActivationFailed(uint32_t rowNumber) override;

    // IRemoteEntryOwner.
    IDeviceManager* GetDeviceList() override { return m_host->GetDevices(); }
    CRemoteAgentTable& GetTable() override { return m_store->Table(); }
    IRemoteSnmpClient* GetClient() override { return m_host->GetClient(); }
    RemoteSessionSettings GetSessionSettings() override;
    uint32_t GetTrapPort() override { return m_trapPort.load(); }
    uint32_t GetOwnAddress() override { return m_ownAddress.load(); }
    void ReportDiscoveryResult(const std::string& address, int result) override;
    void LogEvent(uint32_t deviceKey, int type, const std::string& text, const std::string& address,
                  const std::string& mac) override
    {
        m_host->LogEvent(deviceKey, type, text, address, mac);
    }
    void SendValueChanged(const std::vector<uint32_t>& oid, const EngineValue& value) override;
    // The remote-engine MIB table follows the table: its rows less those whose agents are leaving.
    void RegisterMibRow() override;
    void DisableBroadcast() override { m_host->DisableBroadcast(); }

private:
    struct Retry {
        int64_t dueMs = 0;
        int delayMs = 0;
    };
    // One unit of a worker's work, taken from the queues or the list.
    struct WorkUnit {
        RemoteWorkChoice choice;
        std::shared_ptr<CRemoteAgentEntry> entry;
        std::pair<std::string, std::string> relocation;
        // kContact, kPollAfterAdd: this unit emptied its queue.
        bool emptiedQueue = false;
        // Round-robin units: the earliest due retry after this one, -1 none.
        int64_t nextRetryMs = -1;
    };
    // Takes the next unit off its queue (or the cursor past its agent); false when the list's lock
    // could not be had at once.
    bool TakeWork(WorkUnit& unit);
    // The units of work, with the workers' turn held; each releases the turn once the part that must
    // not run beside another worker is done.
    void RelocateUnit(MutexLock& turn, const std::pair<std::string, std::string>& relocation);
    void RemoveUnit(MutexLock& turn, const std::shared_ptr<CRemoteAgentEntry>& entry);
    void ContactUnit(MutexLock& turn, const std::shared_ptr<CRemoteAgentEntry>& entry, bool emptiedQueue);
    void PollAfterAddUnit(MutexLock& turn, const std::shared_ptr<CRemoteAgentEntry>& entry, bool emptiedQueue);
    void RoundRobinUnit(MutexLock& turn, const WorkUnit& unit);
    void Remove(const std::shared_ptr<CRemoteAgentEntry>& entry);
    // Trap processing: the agent a trap authenticates as (its community checked before any change),
    // foreignMac when the address is an agent's whose MAC differs from the trap's. checkOnly: nothing is
    // relocated; a trap that would relocate its agent answers that agent. quiet: a dropped trap is not
    // logged.
    std::shared_ptr<CRemoteAgentEntry> IdentifyTrapSender(const RemoteTrapRecord& record, const std::string& ip,
                                                          const std::string& mac, bool& foreignMac,
                                                          bool checkOnly = false, bool quiet = false);
    std::shared_ptr<CRemoteAgentEntry> FindByMac(const std::string& mac);
    void ApplyAlarmChange(const std::shared_ptr<CRemoteAgentEntry>& agent, const TrapAlarmChange& change);
    void ResolveAgentTrap(const RemoteTrapRecord& record, const std::string& ip, TrapRoute route);
    bool RemoveRowWithoutAgent(uint32_t key);
    bool QueueForPoll(const std::shared_ptr<CRemoteAgentEntry>& entry);
    // retry: another try of a first contact that failed (quiet: no critical state until it succeeds).
    void QueueForContact(const std::shared_ptr<CRemoteAgentEntry>& entry, bool retry = false);
    // Caller holds m_accessLock.
    std::shared_ptr<CRemoteAgentEntry> FindLocked(const std::string& address, const std::string& mac, bool queueOld,
                                                  int& result);
    void QueueForRemovalLocked(const std::shared_ptr<CRemoteAgentEntry>& entry);
    bool QueuesEmptyLocked() const;
    // nothingChanged: the unit was a retry that failed again; the critical state is then left alone
    // unless other work holds it.
    void Drained(int listChangedValue, bool nothingChanged = false);
    void DiscoveryCompleted();
    void ReadEngineSettings();
    // Start thread only (Initialize).
    void StartTrapListener(uint32_t port);
    void SetAllTimeouts(int ms);
    // Called with no lock of ours held.
    void SyncMibRows();
    static int64_t NowMs();

    std::unique_ptr<IRemoteAgentHost> m_host;
    Mutex m_threadLock;
    std::recursive_mutex m_accessLock;
    std::unique_ptr<CRemoteAgentStore> m_store;
    CRemoteTrapQueue m_trapQueue;
    CSnmpListener m_listener;
    uint32_t m_listenedPort = 0;
    bool m_listening = false;
    std::string m_startProblem; // start thread only: written by StartTrapListener, read by GetStartProblem

    std::vector<std::shared_ptr<CRemoteAgentEntry>> m_list;
    size_t m_cursor = 0;
    std::deque<std::shared_ptr<CRemoteAgentEntry>> m_removeQueue, m_initQueue, m_pollQueue;
    std::map<const CRemoteAgentEntry*, Retry> m_retries;
    // Entries in the initialise queue for another try (under m_accessLock).
    std::set<const CRemoteAgentEntry*> m_retryContacts;
    // Relocations asked for over SNMP (address, MAC), done by a worker.
    std::deque<std::pair<std::string, std::string>> m_relocations;
    std::map<uint32_t, int> m_results;  // under m_resultsMutex (a leaf: entries report into it)
    std::mutex m_resultsMutex;

    std::mutex m_poolMutex;
    std::vector<std::unique_ptr<CRemoteAgentThread>> m_workers;

    std::atomic<uint32_t> m_cap{2};
    std::atomic<bool> m_discoveryRequested{false};
    std::atomic<bool> m_discoveryAwaitingAdds{false};
    std::atomic<bool> m_singleAddress{false};
    NetScanFactory m_netScanFactory;
    std::atomic<bool> m_busy{true};
    std::atomic<bool> m_stopping{false};
    std::atomic<uint32_t> m_trapPort{0};
    std::atomic<uint32_t> m_ownAddress{0};
    std::atomic<int> m_firstContacts{0};
    std::atomic<uint64_t> m_notAdmitted{0};
    std::atomic<int> m_retryFirstMs{kRetryFirstMs};
    std::atomic<int> m_retryMaxMs{kRetryMaxMs};
};
