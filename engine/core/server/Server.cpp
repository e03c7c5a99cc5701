#include "engine/core/server/Server.h"

#include <cerrno>
#include <cstring>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include "engine/base/AppLog.h"
#include "engine/core/config/ConfigFileInterface.h"
#include "engine/base/Helpers.h"
#include "platform/AtomicFile.h"

namespace {

std::atomic<CServer*> g_server{nullptr};
Mutex& CreationMutex()
{
    static Mutex* mutex = new Mutex("CServerCreationMutex");
    return *mutex;
}

} // namespace

// What the persistence classes ask of the server.
class CServer::Hooks : public EngineHooks {
public:
    explicit Hooks(CServer& server) : m_server(server) {}

    bool IsHibernateAllowed() override { return m_server.IsHibernateAllowed() != 0; }
    void SetCommunity(const char* text, size_t length) override
    {
        if (!text || length > kMaxCommunityLength) {
            AppLog::Instance()->Printf(kLogError,
                                       "[CServer::SetCommunity]: stored community of %zu bytes refused", length);
            return;
        }
        std::string community(text, length);
        m_server.SetCommunity(community);
        m_server.m_snmp->SnmpSetCommunity(community);
    }
    uint32_t GetEngineIPAddress() override { return m_server.m_snmp->GetEngineIPAddress(); }
    void SetMaxNodes(uint32_t requested) override { m_server.m_remoteAgent->SetMaxNodes(requested); }
    void Backup() override { m_server.Backup(); }
    bool Restore() override { return m_server.Restore() == 1; }
    void SaveUserExtension() override { m_server.SaveUserExtension(); }
    void SetEngineValue(uint32_t key, uint32_t requester, int type, const void* data, size_t length) override
    {
        m_server.SetValue(key, requester, type, data, length);
    }
    void SetSnmpIpRowCount(int count) override { m_server.m_snmp->SnmpSetSnmpIpRowCount(count); }
    void SendListChanged(const uint32_t* oid, size_t oidLength, int32_t value) override
    {
        m_server.m_consoles->SendNotification(std::vector<uint32_t>(oid, oid + oidLength), kListChangedTrap,
                                              EngineValue::Integer(static_cast<uint32_t>(value)));
    }
    void SendValueChanged(const uint32_t* oid, size_t oidLength, int type, const void* data, size_t length) override
    {
        m_server.Announce(std::vector<uint32_t>(oid, oid + oidLength), type, data, length);
    }

private:
    CServer& m_server;
};

// The system queue's work.
class CServer::QueueHost : public ISystemQueueHost {
public:
    explicit QueueHost(CServer& server) : m_server(server) {}
    void OnStarted() override { m_server.OnStarted(); }
    void WriteConfigFile() override { m_server.WriteConfigFile(); }
    void SaveDataFiles(uint32_t flags) override { m_server.SaveDataFiles(flags); }
    std::unique_ptr<INetScan> CreateNetScan() override { return m_server.m_remoteAgent->CreateNetScan(); }
    void RecordDiscoveryErrors(const std::string& text) override
    {
        m_server.m_remoteAgent->RecordDiscoveryErrors(text, std::string());
    }
    void SuspendRemoteThreads() override { m_server.m_remoteAgent->SuspendAllThreads(); }
    void ResumeRemoteThreads() override { m_server.m_remoteAgent->ResumeAllThreads(); }
    void ClearDiscoveryRequested() override { m_server.m_remoteAgent->SetDiscoveryRequested(false); }
    void AdjustRemoteThreads() override { m_server.m_remoteAgent->AdjustThreads(); }

private:
    CServer& m_server;
};

// What the console registry asks of the server.
class CServer::ConsoleHost : public IConsoleHost {
public:
    explicit ConsoleHost(CServer& server) : m_server(server) {}
    int GetTrapPort() override { return m_server.GetTrapPort(); }
    std::string GetCommunity() override { return m_server.GetCommunity(); }
    std::string GetEngineName() override { return m_server.GetEngineName(); }
    uint32_t GetDataFileVersion() override { return m_server.GetDataFileVersion(); }
    std::vector<uint32_t> GetDeviceKeys() override
    {
        std::vector<uint32_t> keys;
        const int count = m_server.m_devices->GetCount();
        for (int i = 0; i < count; ++i)
            keys.push_back(m_server.m_devices->GetDeviceKeyAt(i));
        return keys;
    }
    int GetDeviceCount() override { return m_server.m_devices->GetCount(); }
    ITrapSender* GetTrapSender() override
    {
        if (m_server.m_options.trapSender)
            return m_server.m_options.trapSender;
        return dynamic_cast<ITrapSender*>(m_server.m_snmp.get());
    }
    std::string GetConsoleFilePath() override { return m_server.m_paths.console; }
    std::string GetConsoleBackupPath() override { return m_server.m_paths.consoleBackup; }
    std::string GetConsoleSafePointPath() override
    {
        std::string path;
        BuildSafePointFileName(m_server.m_config, path, VG_FILE_EXT_CONSOLE);
        return path;
    }

private:
    CServer& m_server;
};

// What the device list asks of the server.
class CServer::DeviceHost : public IDeviceHost {
public:
    explicit DeviceHost(CServer& server) : m_server(server) {}
    CAgentTimer* GetTimers() override { return m_server.m_timers.get(); }
    const TimerClock& GetClock() override { return m_server.m_options.timerClock; }
    IConsoleManager* GetConsoles() override { return m_server.m_consoles.get(); }
    ISnmpFacade* GetSnmp() override { return m_server.m_snmp.get(); }
    IRemoteAgentManager* GetRemoteAgents() override { return m_server.m_remoteAgent.get(); }
    std::string GetFileName(int type, bool backup) override
    {
        std::string path;
        BuildFileName(m_server.m_config, path, type, backup);
        return path;
    }
    std::string GetSafePointFileName(int type) override
    {
        std::string path;
        BuildSafePointFileName(m_server.m_config, path, type);
        return path;
    }
    uint32_t GetReactionMask() override { return m_server.GetEngineConfig()->GetWord(EngineWord::kActionMask); }
    bool IsShutdownRequiredAll() override
    {
        return (m_server.GetEngineConfig()->GetWord(EngineWord::kOptions) & kOptionShutdownRequiredAll) != 0;
    }
    uint32_t GetDataFileVersion() override { return m_server.GetDataFileVersion(); }
    void UpdateDataFileVersion(uint32_t version) override { m_server.UpdateDataFileVersion(version); }
    void SetCountdownTime(int64_t seconds) override { m_server.SetCountdownTime(seconds); }
    void OnDeviceListChanged() override { m_server.OnDeviceListChanged(); }
    void OnDeviceStatus(int deviceIndex, int status) override { m_server.OnDeviceStatus(deviceIndex, status); }
    void BeginShutdown(const std::string& cause) override { m_server.BeginShutdown(cause); }
    void ExecuteShutdown(const std::string& cause) override { m_server.ExecuteShutdown(cause); }
    void ExecuteCommand(const std::string& command) override { m_server.ExecuteCommand(command); }
    void ReportDeviceEvent(uint32_t rowKey, int type, const std::string& text, const std::string& context) override
    {
        m_server.LogEvent(rowKey, type, 1, text, context.empty() ? nullptr : context.c_str(), 0, 0);
    }

private:
    CServer& m_server;
};

CServer* CServer::Instance()
{
    return g_server.load();
}

CServer* CServer::InstallInstance(const std::function<std::unique_ptr<CServer>()>& make)
{
    MutexLock lock(CreationMutex());
    if (!g_server.load() && make)
        g_server = make().release();
    return g_server.load();
}

void CServer::DeleteInstance()
{
    CServer* server = nullptr;
    {
        MutexLock lock(CreationMutex());
        server = g_server.exchange(nullptr);
    }
    if (server) {
        server->Destroy();
        delete server;
    }
}

CServer::CServer(ServerOptions& options)
    : m_config(options.config ? *options.config : MervaneApp::Instance()->Config()), m_textMutex("CServerTextMutex#")
{
    m_eventWriter = options.eventWriter ? std::move(options.eventWriter) : vgplat::MakeSyslogEventWriter();
    m_hooks = std::make_unique<Hooks>(*this);
    m_queueHost = std::make_unique<QueueHost>(*this);
    m_timers = std::make_unique<CAgentTimer>("CServerTimers", options.timerClock);
    m_consoleHost = std::make_unique<ConsoleHost>(*this);
    if (options.consoles)
        m_consoles = std::move(options.consoles);
    else
        m_consoles = std::make_unique<CConsoles>(*m_consoleHost, options.consoleOptions);
    m_deviceHost = std::make_unique<DeviceHost>(*this);
    if (options.devices)
        m_devices = std::move(options.devices);
    else if (options.makeDevices)
        m_devices = options.makeDevices(*m_deviceHost);
    if (!m_devices)
        m_devices = std::make_unique<IDeviceManager>();
    m_remoteAgent = options.remoteAgents ? std::move(options.remoteAgents) : std::make_unique<IRemoteAgentManager>();
    m_systemQueue = std::make_unique<CSystemQueue>(m_queueHost.get());
    m_snmp = options.snmp ? std::move(options.snmp) : std::make_unique<ISnmpFacade>();
    m_userExtension = std::make_unique<CUserExtension>(m_hooks.get());
    m_options.config = m_config;
    m_options.libraryDirectory = options.libraryDirectory.empty() ? m_config.ProgramDirectory() : options.libraryDirectory;
    m_options.shutdownLibraryName = options.shutdownLibraryName;
    m_options.messageTableName = options.messageTableName;
    m_options.powerStatePath = options.powerStatePath;
    m_options.stopPauseMs = options.stopPauseMs;
    m_options.startPauseMs = options.startPauseMs;
    m_options.timerClock = options.timerClock;
    m_options.fileTypes = options.fileTypes;
    m_options.trapSender = options.trapSender;
    m_options.consoleOptions = options.consoleOptions;
}

CServer::~CServer()
{
    StopThreads();
    if (g_server.load() == this)
        g_server = nullptr;
}

void CServer::StopThreads()
{
    // The threads go before the objects they use; Destroy has normally stopped them already.
    if (m_threadsStopped.exchange(true))
        return;
    m_systemQueue->Destroy();
    m_timers->Destroy();
}

bool CServer::Start(int ignored, int snmpVersion, int trapPort, const std::string& community)
{
    // OpenSSL 3 loads its error strings, ciphers and digests itself; ask for them explicitly, once.
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS |
                            OPENSSL_INIT_ADD_ALL_DIGESTS,
                        nullptr);
    // The fixed sentence only adds to the generator's own seeding: it is counted as no entropy.
    static const char kSeed[] = "Seven quiet herons waded past the old mill before the morning bells.";
    static_assert(sizeof kSeed == 69, "the seed is the sentence and its terminating zero");
    RAND_add(kSeed, sizeof kSeed, 0.0);

    bool ok = false;
    try {
        ok = Initialize(ignored, snmpVersion, trapPort, community);
    } catch (const std::exception& e) {
        SetStartError(std::string("exception: ") + e.what());
    } catch (...) {
        SetStartError("unknown exception");
    }
    // The managers that started may lack a part that the engine serves on without.
    if (IRemoteAgentManager* agents = m_remoteAgent.get()) {
        const std::string problem = agents->GetStartProblem();
        if (!problem.empty()) {
            MutexLock lock(m_textMutex);
            m_startProblems.push_back(problem);
        }
    }
    if (!ok) {
        if (GetStartError().empty())
            SetStartError("the server could not be initialized");
        const std::string error = GetStartError();
        AppLog::Instance()->Printf(kLogEmergency,
                                   "[CServer::Start]: Server start failed (%s); the agent serves without its "
                                   "managers",
                                   error.c_str());
    }
    return ok;
}

void CServer::SetStartError(const std::string& text)
{
    MutexLock lock(m_textMutex);
    m_startError = text;
}

std::string CServer::GetStartError() const
{
    MutexLock lock(m_textMutex);
    return m_startError;
}

std::vector<std::string> CServer::GetStartProblems() const
{
    MutexLock lock(m_textMutex);
    return m_startProblems;
}

void CServer::SetEngineName(const std::string& name)
{
    MutexLock lock(m_textMutex);
    m_engineName = name;
}

std::string CServer::GetEngineName() const
{
    MutexLock lock(m_textMutex);
    return m_engineName;
}

std::string CServer::GetEngineMac() const
{
    MutexLock lock(m_textMutex);
    return m_engineMac;
}

std::string CServer::GetCommunity() const
{
    MutexLock lock(m_textMutex);
    return m_community;
}

void CServer::SetCommunity(const std::string& community)
{
    MutexLock lock(m_textMutex);
    m_community = community;
}

void CServer::UpdateDataFileVersion(uint32_t version)
{
    uint32_t current = m_dataVersion.load();
    while (version > current && !m_dataVersion.compare_exchange_weak(current, version)) {
    }
}

void CServer::ResolvePaths()
{
    auto path = [&](int type, bool backup) {
        std::string out;
        BuildFileName(m_config, out, type, backup);
        return out;
    };
    m_paths.config = path(VG_FILE_CONFIG, false);
    m_paths.console = path(VG_FILE_EXT_CONSOLE, false);
    m_paths.consoleBackup = path(VG_FILE_EXT_CONSOLE, true);
    m_paths.device = path(VG_FILE_EXT_DEVICE, false);
    m_paths.deviceBackup = path(VG_FILE_EXT_DEVICE, true);
    m_paths.remote = path(VG_FILE_EXT_REMOTE, false);
    m_paths.remoteBackup = path(VG_FILE_EXT_REMOTE, true);
    m_paths.user = path(VG_FILE_EXT_USER, false);
    m_paths.userBackup = path(VG_FILE_EXT_USER, true);
    genericConfigFileInterface::SetEngineIniPath(m_paths.config);
    m_userExtension->ResolvePaths(m_config);
}

bool CServer::Initialize(int, int snmpVersion, int trapPort, const std::string& community)
{
    m_trapPort = trapPort;
    SetCommunity(community);
    ResolvePaths();
    if (AppLog::Instance()->IsEnabled(kLogDebug)) {
        AppLog::Instance()->Printf(kLogDebug, "SNMP Version   : %d", snmpVersion);
        AppLog::Instance()->Printf(kLogDebug, "SNMP Trap Port : %d", trapPort);
        AppLog::Instance()->Printf(kLogDebug, "SNMP Community : %s", community.c_str());
    }
    OnInitializeBegin();
    RemoveStaleTemporaryFiles();

    // Load, and after an unclean stop in the middle of a change: restore the backups, load again and
    // clear the critical state.
    if (!m_userExtension->LoadWithRecovery()) {
        SetStartError("the user extension file could not be loaded");
        AppLog::Instance()->Printf(kLogError, "[CServer::Initialize]: %s could not be loaded",
                                   m_paths.user.c_str());
        return false;
    }

    // Without its timer thread no countdown would ever fire, and without the queue thread the start
    // would never complete: either one failing fails the start.
    if (!m_timers->Initialize()) {
        SetStartError("the timer thread could not be started");
        return false;
    }
    m_remoteAgent->Initialize();
    m_devices->Initialize();
    m_consoles->Initialize();
    if (!m_systemQueue->StartThread()) {
        SetStartError("the system queue thread could not be started");
        return false;
    }

    FindEngineMac();

    {
        timeStampConfigFileInterface versions;
        versions.Process();
    }

    const std::string safe = m_config.InstallDirectory() + "DataSafe";
    if (::mkdir(safe.c_str(), 0700) != 0 && errno != EEXIST)
        AppLog::Instance()->Printf(kLogWarning, "[CServer::Initialize]: mkdir %s failed: %s", safe.c_str(),
                                   std::strerror(errno));

    CanStart();
    OnInitializeEnd();
    SleepMs(m_options.startPauseMs);

    const uint32_t flags = GetEngineConfig()->GetWord(EngineWord::kFlags);
    if (!(flags & kFlagDisableAutoDiscoveryAtStartup) || m_devices->CountLocalDevices() == 0 ||
        m_devices->IsAnySuspended())
        m_systemQueue->Post(kSystemRequestNothing);
    m_systemQueue->Post(kSystemRequestStarted);
    return true;
}

void CServer::RemoveStaleTemporaryFiles()
{
    // A save cut short by a crash leaves its temporary file beside the target; nothing else of this
    // engine writes to the data folder before the files are loaded.
    std::string failed;
    const int removed = vgplat::RemoveStaleTemporaryFiles(m_config.DataDirectory(), &failed);
    if (removed > 0)
        AppLog::Instance()->Printf(kLogInfo, "[CServer::Initialize]: %d stale temporary files removed from %s",
                                   removed, m_config.DataDirectory().c_str());
    if (!failed.empty())
        AppLog::Instance()->Printf(kLogWarning, "[CServer::Initialize]: stale temporary files not removed: %s",
                                   failed.c_str());
}

void CServer::FindEngineMac()
{
    const uint32_t engineAddress = m_snmp->GetEngineIPAddress();
    char address[21] = {};
    IpAddressToString(engineAddress, address, sizeof address);
    char mac[32] = {};
    // Without an engine address there is no adapter to ask.
    if (engineAddress != 0 && GetLocalMacAddress(address, mac, sizeof mac)) {
        MutexLock lock(m_textMutex);
        m_engineMac = mac;
    }
    AppLog::Instance()->Printf(kLogDebug, "MAC Address for Engine = '%s'", GetEngineMac().c_str());
}

void CServer::OnStarted()
{
    m_started = 1;
    if (!LogEvent(0, 3, 0, "Vigilon Agent Started", nullptr, 0, 0))
        AppLog::Instance()->Printf(kLogError, "Event Log Database could not be accessed!");
    m_remoteAgent->SetConfigurationValues();
    OnServerStarted(2);

    const uint32_t current = m_snmp->GetEngineIPAddress();
    CDeviceEngineTable* config = GetEngineConfig();
    // An address that cannot be found (0) keeps the one configured.
    if (current != 0 && current != config->GetWord(EngineWord::kEngineIpAddress)) {
        AppLog::Instance()->Printf(kLogWarning, "IP Address has changed since last run!");
        config->SetWord(EngineWord::kEngineIpAddress, current);
        // The address check of an earlier start no longer holds for the new word.
        config->ModifyWord(EngineWord::kFlags, kFlagEngineAddressChecked, 0);
        SaveUserExtension();
    }
}

void CServer::Destroy()
{
    if (m_destroyed.exchange(true))
        return;
    m_devices->SetBusy(true);
    WaitMilliseconds(m_options.stopPauseMs);
    Shutdown();
    AppLog::Instance()->Printf(kLogDebug, "[CServer::Destroy]: Pre-destruction complete.");
}

void CServer::Shutdown()
{
    AppLog::Instance()->Printf(kLogDebug, "Stopping system thread.");
    // A stop is no clear: the alarms that stand now did not end, whatever removes them from here on.
    m_devices->BeginStop();
    OnShutdownBegin();
    AppLog::Instance()->Printf(kLogDebug, "Destroying and destructing the system queue.");
    m_systemQueue->Destroy();
    AppLog::Instance()->Printf(kLogDebug, "Destroying and destructing the system timers.");
    m_timers->Destroy();
    m_threadsStopped = true;
    // The devices go before their agents: releasing an agent would delete its devices as if it had
    // been removed.
    AppLog::Instance()->Printf(kLogDebug, "Destroying and destructing all device objects.");
    m_devices->Destroy();
    AppLog::Instance()->Printf(kLogDebug, "Destroying and destructing all remote agent objects.");
    m_remoteAgent->Shutdown();
    LogEvent(0, 3, 0, "Vigilon Agent Stopped", nullptr, 0, 0);
    m_started = 0;
    AppLog::Instance()->Printf(kLogDebug, "Destroying and destructing all console objects.");
    m_consoles->DestroyAll();
    AppLog::Instance()->Printf(kLogDebug, "Destroying and destructing all use extension objects.");
    AppLog::Instance()->Printf(kLogDebug, "Destroying and destructing SNMP.");
}

bool CServer::LogEvent(uint32_t deviceKey, int type, int ignored, const std::string& message, const char* context,
                       int ignored2, unsigned eventId)
{
    if (!IsStarted()) {
        AppLog::Instance()->Printf(kLogError, "Cannot log events before the server is initialized.");
        return false;
    }
    return ReportEvent(deviceKey, type, ignored, message, context, ignored2, eventId) != 0;
}

int CServer::BroadcastMessage(const std::string&, int, int flag)
{
    if (flag)
        return 0;
    return (GetEngineConfig()->GetWord(EngineWord::kOptions) & kOptionEnableBroadcast) ? 0 : 1;
}

// The critical state covers the remote-agent manager's changes of its agents. Only the remote-agent
// file is backed up and, after a crash in the middle, restored. Every other file keeps each
// acknowledged SET made meanwhile: the user extension and console files, and the device file, which
// is saved whole at every change (the reactions a user edits live there too); the devices of an agent
// that the restored table no longer has stay in it as rows without their agent, as the load leaves any
// such row.
int CServer::Backup()
{
    m_remoteAgent->BackupDataFile();
    return 1;
}

int CServer::Restore()
{
    // A backup that was never made (or cannot be copied) leaves the current file to be loaded.
    if (m_remoteAgent->RestoreDataFile() != 1)
        AppLog::Instance()->Printf(kLogWarning, "[CServer::Restore]: %s not restored; the current file is kept",
                                   m_paths.remote.c_str());
    return 1;
}

int CServer::SaveUserExtension()
{
    return m_userExtension->Save();
}

void CServer::SaveDataFiles(uint32_t flags)
{
    if (flags & kSaveDevices)
        m_devices->Save();
    if (flags & kSaveUserExtension)
        m_userExtension->Save();
    if (flags & kSaveConsoles)
        m_consoles->Save();
    if (flags & kSaveRemoteAgents)
        m_remoteAgent->SaveDataFile();
}
