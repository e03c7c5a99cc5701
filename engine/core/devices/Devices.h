#pragma once
// CDevices: the engine's list of devices. Every UPS or sensor of every monitored remote agent is one
// CDeviceEntryRemote here. The list is stored in the device file vgdvcext (file type 6, file id
// 0x24780204: block 0xA1000000 the attached-device rows, 0x06000000 their texts, 0x09000000 the
// devices' event tables), seeded from the template vgdvctpl (type 2) when it has no rows.
//
// Who calls what:
//   - the server: Initialize during its start (after the remote agents), BeginStop when its stop
//     begins, Destroy during its stop (after the timers, before the remote agents are released),
//     Save/Backup/Restore, SetBusy, SetReactionsSuspended;
//   - the remote-agent code (worker threads; it knows the list as its IDeviceManager): Add after an
//     agent's first contact, FindRemoteDevice to raise and clear alarms, RemoveAgentDevices when an
//     agent goes, SetRemoteAddress after a relocation, SetListChangeTrapsHeld while it adds or removes
//     agents (saves go on meanwhile: a reaction edited then must survive a crash), Save once it is
//     done, AgentHasPendingReactions;
//   - the device entries and their event tables, through IDeviceContext (DeviceContext.h);
//   - the trap-queue thread: FindRemoteDevice and the alarms;
//   - the agent's request threads (SNMP thread): the values by index and by engine key, DeleteByIndex
//     (row destruction);
//   - the timer thread: OnEventTimer, the reactions' actions.
//
// Device identity: see DeviceEntry.h. Device indexes stay dense (1..n in list order for the devices
// that have a MIB row): a deletion lowers every index above the deleted one and removes the MIB's last
// device row; a device whose row was refused (index -1) renumbers nothing and removes no row.
//
// Threads and locks (the whole order is in DeviceEntry.h):
//   m_fileMutex  one save, backup, restore or safe point at a time, held until the file is written;
//   the list lock ("DevicesRWSemaphore", a ReadWriteSemaphore, recursive for its writer): writers are
//                Initialize, Add, Delete, RemoveAgentDevices, Destroy and the snapshot of a save;
//                lookups and the values take it as readers just long enough to copy a shared_ptr, so
//                a device found by a lookup stays alive while it is used;
//   leaf mutexes: the pending reactions per agent, the armed shutdowns (countdown), the outbox.
// A save builds the file image under the list lock (the rows, texts and event tables as one snapshot)
// and writes it with m_fileMutex alone, so a MIB read never waits for a disk flush. Notices to the
// consoles and the server's list-change calls are made with no list or device lock held.
// Every public method is safe from any thread.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine/base/Mutex.h"
#include "engine/core/data/DeviceAttachedTable.h"
#include "engine/core/data/StringTable.h"
#include "engine/core/devices/DeviceContext.h"
#include "engine/core/devices/DeviceEntryRemote.h"
#include "engine/core/devices/DeviceTypes.h"
#include "engine/core/devices/DeviceWork.h"
#include "engine/core/interfaces/ServerManagers.h"

// The list is the device manager of the server and the remote-agent code, and the context of its
// entries and their event tables.
class CDevices : public IDeviceManager, public IDeviceContext {
public:
    static constexpr uint32_t kDeviceFileId = 0x24780204u;
    // Devices one agent may add.
    static constexpr size_t kMaxDevicesPerAgent = 255;

    explicit CDevices(IDeviceHost& host);
    ~CDevices() override;
    CDevices(const CDevices&) = delete;
    CDevices& operator=(const CDevices&) = delete;

    // Start, stop and files.
    int Initialize() override;
    void Destroy() override;
    // 1; while busy only notes that a save is pending. 0 when the file could not be written (the old
    // file is kept).
    int Save() override;
    int Backup() override;
    int Restore() override;
    int CreateSafePoint() override;
    void WriteConfig(std::ostream& out) override;

    // Adding and removing.
    int Add(IRemoteAgentEntry* agent, uint32_t position) override;
    bool Delete(const std::shared_ptr<CDeviceEntry>& device, bool removeMibRow);
    int DeleteByIndex(int index) override;
    void RemoveAgentDevices(uint32_t position) override;
    void SetRemoteAddress(uint32_t position, const std::string& address) override;

    // Lookups.
    std::shared_ptr<CDeviceEntryRemote> FindRemoteDevice(const IRemoteAgentEntry* agent, uint32_t number) override;
    std::shared_ptr<CDeviceEntry> FindByKey(uint32_t rowKey);
    std::shared_ptr<CDeviceEntry> FindByIndex(int index);
    std::shared_ptr<CDeviceEntry> FindByDeviceKey(uint32_t deviceKey);
    // The devices in list order (copies of the references).
    std::vector<std::shared_ptr<CDeviceEntry>> GetDevices();
    uint32_t GetKeyAt(int ordinal);
    bool IsAnySuspended() override;
    int CountLocalDevices() override { return 0; }
    int GetCount() override;
    uint32_t GetDeviceKeyAt(int position) override;
    bool GetDeviceName(uint32_t rowKey, std::string& name) override;
    void NotifyTrapDestinationsChanged(uint32_t /*key*/) {}

    // Values for the MIB (device index = 1-based device-table row).
    int GetDeviceValue(int deviceIndex, uint32_t itemKey, uint32_t column, EngineValue& value) override;
    uint32_t GetDeviceInt(int deviceIndex, uint32_t itemKey, uint32_t column);
    std::string GetDeviceString(int deviceIndex, uint32_t itemKey, uint32_t column);
    bool SetDeviceValue(int deviceIndex, uint32_t itemKey, uint32_t column, int type, const void* data,
                        size_t length, bool* saved = nullptr) override;
    bool SetDeviceInt(int deviceIndex, uint32_t itemKey, uint32_t column, uint32_t value);
    // Values by engine key (the server routes device keys here).
    int GetValue(uint32_t key, int deviceIndex, EngineValue& value, uint32_t length) override;
    bool SetValue(uint32_t key, int deviceIndex, int type, const void* data, size_t length) override;
    int GetAlarmValue(uint32_t key, uint32_t row, EngineValue& value) override;

    // States.
    void SetBusy(bool busy) override;
    bool IsBusy() const { return m_busy.load(); }
    void SetReactionsSuspended(bool on) override { m_reactionsSuspended = on; }
    // Suspended, or the engine stops.
    bool AreReactionsSuspended() const override { return m_reactionsSuspended.load() || m_stopping.load(); }
    // The engine stops: from now on no alarm change reacts, no clear reaction runs (a stop is not a
    // clear, whichever path removes the alarms: the devices' destruction or the remote side releasing
    // its agents), no device is added and the device file is not written. Initialize ends it.
    void BeginStop() override;
    void SetListChangeTrapsHeld(bool held) override { m_trapsHeld = held; }
    bool AreListChangeTrapsHeld() const override { return m_trapsHeld.load(); }

    // Reactions across devices.
    bool AgentHasPendingReactions(const IRemoteAgentEntry* agent) override;
    // Flag bits of the same-named event row of every device.
    void SetEventFlagsOnAllDevices(const std::string& name, uint32_t bits);
    void ClearEventFlagsOnAllDevices(const std::string& name, uint32_t bits);
    // The timer thread's action for one expired set-timer: re-checks under the device's lock that the
    // alarm still stands, the action is still enabled and reactions are not suspended, then sets the
    // fired mark and acts (command on set, shutdown, countdown notice) and re-arms a repeating notice.
    // Before the shutdown call the device's agent is asked once whether the alarm still stands.
    void OnEventTimer(AgentTimerData& data) override;
    // A clear reaction, at once on the clearing thread: the final countdown notice (0), the command on
    // clear; the fired mark goes.
    void RunClearReaction(const ClearReaction& clear);

    // Carries out what device operations left to do (no device or list lock may be held).
    void Perform(DeviceWork& work) override;

    // The context of the device entries and their event tables (DeviceContext.h).
    CAgentTimer* GetTimers() override { return m_host.GetTimers(); }
    const TimerClock& GetClock() override { return m_host.GetClock(); }
    ISnmpFacade* GetSnmp() override { return m_host.GetSnmp(); }
    uint32_t GetReactionMask() override { return m_host.GetReactionMask(); }
    bool IsShutdownRequiredAll() override { return m_host.IsShutdownRequiredAll(); }
    void UpdateDataFileVersion(uint32_t version) override { m_host.UpdateDataFileVersion(version); }
    CStringTable& GetStringTable() override { return m_strings; }
    const std::string& GetDeviceFilePath() const override { return m_devicePath; }
    void NotePendingReaction(const IRemoteAgentEntry* agent, bool pending) override;
    std::map<uintptr_t, bool> GetAgentsPending(const IRemoteAgentEntry* agent, bool excludeOne) override;
    void NoteShutdownArmed(uint32_t ownerKey, uint32_t itemKey, int64_t dueSteadyMs) override;
    void NoteShutdownKilled(uint32_t ownerKey, uint32_t itemKey) override;
    void NoteAllShutdownsKilled() override;

    CDeviceAttachedTable& GetAttachedTable() { return m_table; }
    // The earliest armed shutdown's due moment (steady ms); 0 when none.
    int64_t GetEarliestShutdown();
    // Publishes the countdown time of the earliest armed shutdown to the server.
    void UpdateCountdownTime();
    // The number of monitored agents, asked of the remote-agent manager with no device lock held (its
    // own lock may be held by a worker that waits for a device lock) and kept for the reactions.
    void RefreshAgentCount() override;
    int GetAgentCount() const override { return m_agentCount.load(); }

private:
    // false only when the device's agent answered that the alarm is gone (it is then cleared).
    bool ConfirmBeforeShutdown(CDeviceEntryRemote& device, const std::string& alarm);
    struct AgentState {
        int devices = 0;
        int pending = 0;
    };
    struct Candidate {
        std::shared_ptr<CDeviceEntryRemote> entry;
        DeviceRow row{};
        int ordinal = 0;
        std::string model, port;
    };

    // Expect the writer lock held.
    bool DeleteLocked(const std::shared_ptr<CDeviceEntry>& device, bool removeMibRow, DeviceWork& work);
    std::shared_ptr<CDeviceEntryRemote> FindRemoteDeviceLocked(const IRemoteAgentEntry* agent, uint32_t number);
    void InsertLocked(Candidate& candidate, DeviceWork& work);
    int CountAgentDevicesLocked(const IRemoteAgentEntry* agent);
    void NoteDevice(const IRemoteAgentEntry* agent, int change);
    void RunCommand(uint32_t key, bool enabled);
    void SendCountdown(uint32_t seconds);
    void SendListChangedLocked(int32_t value, DeviceWork& work);
    // Builds the file image (under the list lock); false when a block's lock cannot be had.
    bool BuildImage(std::string& image);
    bool CopyFile(const std::string& from, const std::string& to);

    IDeviceHost& m_host;
    Mutex m_fileMutex;
    ReadWriteSemaphore m_listLock;
    std::vector<std::shared_ptr<CDeviceEntry>> m_devices;
    CDeviceAttachedTable m_table;
    CStringTable m_strings;
    std::string m_devicePath;
    std::string m_templatePath;

    std::atomic<bool> m_reactionsSuspended{false};
    std::atomic<bool> m_trapsHeld{false};
    std::atomic<bool> m_busy{true};
    std::atomic<bool> m_savePending{false};
    std::atomic<bool> m_destroyed{false};
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_agentCount{0};
    // The latest countdown notice to the consoles said more than 0: they show a countdown.
    std::atomic<bool> m_countdownShown{false};

    // Event tables of stored rows whose agent is not known (kept and saved again as they were).
    std::vector<std::unique_ptr<CDeviceDataRemoteEvt>> m_orphans;
    std::vector<uint32_t> m_orphanKeys;

    Mutex m_pendingMutex;
    std::map<uintptr_t, AgentState> m_agents; // agents with devices: their devices and pending rows
    Mutex m_shutdownMutex;
    std::map<std::pair<uint32_t, uint32_t>, int64_t> m_shutdownDue;
};
