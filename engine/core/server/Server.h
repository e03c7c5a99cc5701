#pragma once
// CServer: the one object that holds the engine together. It owns the managers (timers, consoles,
// devices, remote agents, system queue, SNMP facade, user extension file with the engine settings),
// starts them in a fixed order and stops them in another, answers every engine variable by its key
// (EngineVariables.cpp), and is the gateway to the host system (shutdown library, event log,
// hibernation, commands; the Linux layer is CServerEx in ServerEx.h).
//
// Life (the entry point drives it):
//     CServer* server = CreateServerInstance(std::move(options));  // a CServerEx (ServerEx.h)
//     bool ok = server->Start(0, snmpVersion, trapPort, community);
//     ... request loop ...   (on a failed start the agent serves on without the managers)
//     server->Destroy();     // saves deferred, 1 s pause, managers stopped, stop event
//     CServer::DeleteInstance();
// Start's last step posts the "started" request to the system queue; its thread then runs OnStarted,
// which sets the started flag and writes the start event.
//
// Start order: shutdown library, message table, hibernation, engine name, user extension file (with
// crash recovery), timers, remote agents, devices, consoles, system queue.
// Stop order: system queue, timers, remote agents, devices, stop event, consoles. The remote agents
// stop before the devices, since their workers raise and clear alarms on those devices.
//
// Threads: Start and Destroy run on the entry point's thread; OnStarted on the system-queue thread;
// BeginShutdown, ExecuteShutdown and ExecuteCommand on the timer thread; the accessors and the engine
// variables on any thread. No operation takes a server-wide lock; the managers lock themselves. The
// community, the engine MAC text and the file version name are copied under m_textMutex (a leaf: nothing
// is called while it is held). The lock order of the engine as a whole is the table in
// engine/base/LockOrder.h.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/runtime/AgentTimer.h"
#include "engine/core/consoles/Consoles.h"
#include "engine/core/interfaces/EngineHooks.h"
#include "engine/core/interfaces/EngineValue.h"
#include "engine/core/config/MervaneApp.h"
#include "engine/base/Mutex.h"
#include "engine/core/interfaces/ServerManagers.h"
#include "engine/core/runtime/SystemQueue.h"
#include "engine/core/settings/UserExtension.h"
#include "platform/CommandSpawn.h"
#include "platform/EventLog.h"
#include "platform/PowerState.h"

// What the composition root (the entry point, or a test) hands the server. Every field has a default.
struct ServerOptions {
    // The install tree; unset: MervaneApp's (from the executable's path).
    std::optional<AppConfig> config;
    // Where libvgdown.so is loaded from; empty: the program directory.
    std::string libraryDirectory;
    std::string shutdownLibraryName = "vgdown";
    std::string messageTableName = "vgmsg";
    std::string powerStatePath = vgplat::kPowerStatePath;
    // The pause of Destroy before the stop, and of the start before its last requests.
    unsigned stopPauseMs = 1000;
    unsigned startPauseMs = 100;
    TimerClock timerClock = TimerClock::System();
    vgplat::FileTypeTable fileTypes = vgplat::FileTypeTable::Default();
    std::unique_ptr<vgplat::EventLogWriter> eventWriter; // null: syslog
    std::unique_ptr<IDeviceManager> devices;
    // Builds the device list over the server's device host, when devices is not given (the composition
    // root makes the engine's CDevices here). Neither: a device list without devices.
    std::function<std::unique_ptr<IDeviceManager>(IDeviceHost&)> makeDevices;
    std::unique_ptr<IRemoteAgentManager> remoteAgents;
    // null: the engine's own console registry (CConsoles) over this server.
    std::unique_ptr<IConsoleManager> consoles;
    // The trap sender of the consoles' fan-out (not owned; it outlives the server). null: the facade
    // (snmp) when it is a trap sender, else traps reach nobody.
    ITrapSender* trapSender = nullptr;
    // The keep-alive period, fan-out spacing and bound of the engine's console registry.
    ConsoleOptions consoleOptions;
    std::unique_ptr<ISnmpFacade> snmp;
};

// The paths the server resolves once at start (file types 0 and 5-8 with their backups).
struct EngineFilePaths {
    std::string config;
    std::string console, consoleBackup;
    std::string device, deviceBackup;
    std::string remote, remoteBackup;
    std::string user, userBackup;
};

constexpr uint32_t kServerDataVersion = 0x0C043B00u;
constexpr const char* kEngineVersionText = "12.04.0059";
constexpr const char* kEventSourceName = "Vigilon Agent";
// The agent refuses communities of this length or more.
constexpr size_t kMaxCommunityLength = 127;

class CServer {
public:
    // The process-wide server (null before InstallInstance and after DeleteInstance).
    static CServer* Instance();
    // Makes the server that make builds the process-wide one; while one exists make is not called and
    // the existing one is answered. The host layer's CreateServerInstance (ServerEx.h) calls it.
    static CServer* InstallInstance(const std::function<std::unique_ptr<CServer>()>& make);
    // Destroy (when the caller has not), then deletes the process-wide server.
    static void DeleteInstance();

    virtual ~CServer();
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    // Crypto start-up, then Initialize. false when the start failed (logged at level 0, the reason in
    // GetStartError for the service host to report; the managers that did not start stay stopped and
    // the agent serves on).
    bool Start(int ignored, int snmpVersion, int trapPort, const std::string& community);
    // The started step, run by the system queue's request 1.
    void OnStarted();
    // Once, after the request loop: saves deferred, the pause, Shutdown.
    void Destroy();

    // Host operations (see the Linux layer for what each does).
    virtual int IsHibernateAllowed() { return 0; }
    virtual void OnServerStarted(int) {}
    virtual void OnDeviceListChanged() {}
    virtual void OnDeviceStatus(int /*deviceIndex*/, int) {}
    // 0 when flag is set; otherwise 1 while EnableBroadcast is clear, 0 while it is set.
    virtual int BroadcastMessage(const std::string& text, int type, int flag);
    virtual void ExecuteCommand(const std::string&) {}
    virtual int Lock() = 0;
    virtual int Unlock() = 0;
    // cause: what the shutdown is for (the alarm, the device and its agent), for the log and the event.
    virtual int BeginShutdown(const std::string& cause) = 0;
    virtual int ExecuteShutdown(const std::string& cause) = 0;
    virtual int ExecuteShutdownMode8(const std::string& cause) = 0;
    virtual int ReportEvent(uint32_t /*deviceKey*/, int /*type*/, int, const std::string& /*message*/,
                            const char* /*context*/, int, unsigned /*eventId*/)
    {
        return 1;
    }
    virtual bool Initialize(int ignored, int snmpVersion, int trapPort, const std::string& community);
    virtual void OnInitializeBegin() {}
    virtual void OnInitializeEnd() {}
    virtual void Shutdown();
    virtual int CanStart() { return 1; }
    virtual void OnShutdownBegin() {}

    // Events: false before the started step has run. Types 1 error, 2 warning, other information; event
    // id 0 means 100.
    bool LogEvent(uint32_t deviceKey, int type, int ignored, const std::string& message, const char* context,
                  int ignored2, unsigned eventId);

    // Engine variables by key (EngineVariables.cpp). On entry value.type holds the type the caller
    // expects; length carries the alarm row for the alarm keys. The answer owns its bytes.
    int GetValue(uint32_t key, uint32_t requester, EngineValue& value, uint32_t length = 0);
    // Why a value for key cannot be stored at all (checked before a SET applies anything, so that the
    // manager hears of it): too long for its place, or a text its file cannot hold. Values that SetValue
    // merely ignores or clamps are storable.
    enum class Storable { kYes, kWrongValue, kWrongLength };
    Storable CheckStorable(uint32_t key, int type, const void* data, size_t length);
    // false when the value was refused (nothing stored, saved or announced). saved, when given, is set
    // false when the save the change needed failed (the console settings) and left as it is otherwise.
    bool SetValue(uint32_t key, uint32_t requester, int type, const void* data, size_t length,
                  bool* saved = nullptr);
    bool SetValue(uint32_t key, uint32_t requester, const EngineValue& value);
    uint32_t GetIntValue(uint32_t key, uint32_t requester, uint32_t length = 0);
    std::string GetStringValue(uint32_t key, uint32_t requester, uint32_t length = 0);
    bool SetIntValue(uint32_t key, uint32_t requester, uint32_t value, bool* saved = nullptr);
    // The new row's key, or 0xFFFFFFFF.
    uint32_t AddRow(uint32_t rowClassKey);
    int DeleteRow(uint32_t rowClassKey);
    void SetCountdownTime(int64_t seconds) { m_countdownTime = seconds; }
    int SaveUserExtension();
    // Rewrites the whole INI file (system-queue request 10).
    void WriteConfigFile();

    int Backup();
    int Restore();

    // Accessors (safe from any thread).
    bool IsStarted() const { return m_started.load() != 0; }
    std::string GetCommunity() const;
    void SetCommunity(const std::string& community);
    std::string GetEngineName() const;
    std::string GetEngineMac() const;
    int GetTrapPort() const { return m_trapPort.load(); }
    int64_t GetCountdownTime() const { return m_countdownTime.load(); }
    uint32_t GetDataFileVersion() const { return m_dataVersion.load(); }
    void UpdateDataFileVersion(uint32_t version);
    CAgentTimer* GetTimers() { return m_timers.get(); }
    IConsoleManager* GetConsoles() { return m_consoles.get(); }
    IDeviceManager* GetDevices() { return m_devices.get(); }
    IRemoteAgentManager* GetRemoteAgent() { return m_remoteAgent.get(); }
    CSystemQueue* GetSystemQueue() { return m_systemQueue.get(); }
    ISnmpFacade* GetSnmp() { return m_snmp.get(); }
    CUserExtension* GetUserExtension() { return m_userExtension.get(); }
    CDeviceEngineTable* GetEngineConfig() { return &m_userExtension->GetEngineTable(); }
    CSnmpIpTable* GetSnmpIpTable() { return &m_userExtension->GetSnmpIpTable(); }
    CStringTable* GetStringTable() { return &m_userExtension->GetStringTable(); }
    const AppConfig& GetConfig() const { return m_config; }
    const EngineFilePaths& GetFilePaths() const { return m_paths; }
    // Why the start failed; empty after a good start.
    std::string GetStartError() const;
    // What did not start although the start went on (the remote agents' trap port), with the reason.
    std::vector<std::string> GetStartProblems() const;

protected:
    explicit CServer(ServerOptions& options);
    void SetStartError(const std::string& text);
    // Ends the system-queue and timer threads (a layer's destructor calls it first, so that no callback
    // runs into a layer that is already gone).
    void StopThreads();
    void SetEngineName(const std::string& name);
    const ServerOptions& Options() const { return m_options; }
    vgplat::EventLogWriter* EventWriter() { return m_eventWriter.get(); }

private:
    class Hooks;
    class QueueHost;
    class ConsoleHost;
    class DeviceHost;
    friend class Hooks;
    friend class QueueHost;
    friend class ConsoleHost;
    friend class DeviceHost;

    void ResolvePaths();
    void FindEngineMac();
    // The temporary files of saves a crash cut short, in the data folder.
    void RemoveStaleTemporaryFiles();
    void SaveDataFiles(uint32_t flags);
    // Engine variables (EngineVariables.cpp).
    int GetEngineScalar(uint32_t var, uint32_t requester, EngineValue& value);
    bool SetEngineScalar(uint32_t var, uint32_t requester, int type, const void* data, size_t length);
    int GetEngineInformation(uint32_t key, EngineValue& value, uint32_t length);
    void Announce(const std::vector<uint32_t>& oid, int type, const void* data, size_t length);

    // Construction order (destroyed in reverse).
    std::atomic<int> m_started{0};
    ServerOptions m_options;
    AppConfig m_config;
    EngineFilePaths m_paths;
    mutable Mutex m_textMutex;
    std::string m_engineName;
    std::string m_engineMac = "00.00.00.00.00.00";
    std::string m_community;
    std::string m_startError;
    std::vector<std::string> m_startProblems; // guarded by m_textMutex
    std::unique_ptr<vgplat::EventLogWriter> m_eventWriter;
    std::unique_ptr<Hooks> m_hooks;
    std::unique_ptr<QueueHost> m_queueHost;
    std::unique_ptr<ConsoleHost> m_consoleHost;
    std::unique_ptr<DeviceHost> m_deviceHost;
    std::unique_ptr<CAgentTimer> m_timers;
    std::unique_ptr<IConsoleManager> m_consoles;
    std::unique_ptr<IDeviceManager> m_devices;
    std::unique_ptr<IRemoteAgentManager> m_remoteAgent;
    std::unique_ptr<CSystemQueue> m_systemQueue;
    std::unique_ptr<ISnmpFacade> m_snmp;
    std::unique_ptr<CUserExtension> m_userExtension;
    std::atomic<int64_t> m_countdownTime{0};
    std::atomic<int> m_trapPort{0};
    std::atomic<uint32_t> m_dataVersion{kServerDataVersion};
    std::atomic<bool> m_destroyed{false};
    std::atomic<bool> m_threadsStopped{false};
};
