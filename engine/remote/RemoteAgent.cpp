#include "engine/remote/RemoteAgent.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"
#include "engine/base/SteadyClock.h"
#include "engine/core/config/ConfigFileInterface.h"
#include "engine/core/config/IniFile.h"
#include "engine/core/interfaces/ServerManagers.h"
#include "engine/core/settings/DeviceEngineTable.h"
#include "engine/remote/Discovery.h"

namespace {

// E.10.6.2: the remote-engine table in list-change traps.
const std::vector<uint32_t> kRemoteTableOid = {1, 3, 6, 1, 4, 1, 64950, 10, 6, 2};
constexpr int32_t kListChangedAdded = 1;
constexpr int32_t kListChangedRemoved = 6;
constexpr uint32_t kDefaultRemoteTrapPort = 162;

enum DiscoveryResultCode : int {
    kResultFailed = 4,
    kResultCapReached = 5,
    kResultDuplicate = 8,
    kResultRelocated = 9,
    kResultReplaced = 12,
};

} // namespace

int64_t CRemoteAgent::NowMs()
{
    return SteadyMs();
}

CRemoteAgent::CRemoteAgent(std::unique_ptr<IRemoteAgentHost> host)
    : m_host(std::move(host)), m_threadLock("RemoteAgentThreadMutex"),
      m_store(std::make_unique<CRemoteAgentStore>(RemoteStorePaths(), this))
{
}

CRemoteAgent::~CRemoteAgent()
{
    Shutdown();
}

int CRemoteAgent::Initialize()
{
    m_busy.store(true);
    m_stopping.store(false);
    // A save asked for before the start is made with the loaded store.
    const bool saveDue = m_store->IsSaveDue();
    m_store = std::make_unique<CRemoteAgentStore>(m_host->GetStorePaths(), this);
    if (saveDue)
        m_store->MarkSaveDue();
    bool relaid = false;
    if (!m_store->Load(relaid)) {
        AppLog::Instance()->Log(kLogError, "[CRemoteAgent::Initialize]: the remote agent table could not be loaded");
        m_busy.store(false);
        return 0;
    }
    if (relaid)
        m_store->MarkSaveDue();
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        m_cursor = 0;
    }
    m_trapQueue.Start(this);

    uint32_t trapPort = m_host->GetSetting(EngineWord::kRemoteTrapPort);
    if (trapPort == 0) {
        trapPort = kDefaultRemoteTrapPort;
        m_host->SetSetting(EngineWord::kRemoteTrapPort, trapPort);
        m_host->SaveUserExtension();
    }
    m_trapPort.store(trapPort);
    m_ownAddress.store(m_host->GetEngineAddress());
    StartTrapListener(trapPort);
    ReadEngineSettings();
    SetMaxNodes(0);

    const int rows = m_store->Table().GetCount();
    for (int n = 1; n <= rows; ++n) {
        RemoteAgentRow row;
        if (!m_store->Table().GetRow(static_cast<uint32_t>(n), row))
            continue;
        auto entry = std::make_shared<CRemoteAgentEntry>(this);
        {
            std::lock_guard<std::recursive_mutex> lock(m_accessLock);
            m_list.push_back(entry);
        }
        if (!entry->Initialize(row, 0)) {
            std::lock_guard<std::recursive_mutex> lock(m_accessLock);
            m_list.erase(std::remove(m_list.begin(), m_list.end(), entry), m_list.end());
            entry->Release();
        }
    }
    // Every stored row has its MIB row, also one whose agent could not be set up.
    SyncMibRows();
    if (rows > 0)
        AdjustThreads();
    m_busy.store(false);
    if (m_store->IsSaveDue())
        SaveDataFile();
    return 1;
}

std::string CRemoteAgent::GetStartProblem()
{
    return m_startProblem;
}

void CRemoteAgent::StartTrapListener(uint32_t port)
{
    m_startProblem.clear();
    if (!m_listener.HasOpener())
        return;
    m_listener.SetOwner([this](std::unique_ptr<RemoteTrapRecord>& record) { return QueueTrap(record); });
    // A port that cannot be opened is logged by the listener; the agents are still polled, and the
    // start tells the service manager and the system log (GetStartProblem).
    std::string error;
    m_listening = m_listener.Subscribe(m_host->GetConfiguredEngineAddress(), port, &error) == 1;
    m_listenedPort = port;
    if (!m_listening) {
        AppLog::Instance()->Printf(kLogError, "[CRemoteAgent::Initialize]: no remote agent traps are received on port %u",
                                   port);
        m_startProblem = "UPS traps are not received on port " + std::to_string(port) + ": " +
                         (error.empty() ? std::string("the port cannot be opened") : error);
    }
}

void CRemoteAgent::Shutdown()
{
    m_stopping.store(true);
    std::vector<std::shared_ptr<CRemoteAgentEntry>> entries;
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        entries = m_list;
    }
    // Requests in flight end first, so the workers can be joined at once.
    for (auto& entry : entries)
        entry->Cancel();
    RemoveAllThreads();
    if (m_listening) {
        m_listener.Unsubscribe(m_listenedPort);
        m_listening = false;
    }
    m_trapQueue.Stop();
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        entries.swap(m_list);
        m_list.clear();
        m_removeQueue.clear();
        m_initQueue.clear();
        m_pollQueue.clear();
        m_retries.clear();
        m_retryContacts.clear();
        m_relocations.clear();
    }
    for (auto& entry : entries)
        entry->Release();
}

int CRemoteAgent::BackupDataFile()
{
    return m_store->Backup();
}

int CRemoteAgent::RestoreDataFile()
{
    return m_store->Restore();
}

int CRemoteAgent::SaveDataFile()
{
    return m_store->SaveUnlessBusy(m_busy.load()) ? 1 : 0;
}

void CRemoteAgent::SetConfigurationValues()
{
    m_store->Table().SetConfigurationValues();
}

void CRemoteAgent::SetBusy(bool busy)
{
    m_busy.store(busy);
    if (!busy && m_store->IsSaveDue())
        SaveDataFile();
}

void CRemoteAgent::SetMaxNodes(uint32_t requested)
{
    uint32_t cap = m_cap.load();
    if (cap == 0)
        cap = 2;
    if (requested != 0)
        cap = requested < 3 ? requested : 2;
    const uint32_t rows = static_cast<uint32_t>(m_store ? m_store->Table().GetCount() : 0);
    if (rows > cap)
        cap = rows;
    m_cap.store(cap);
    m_host->SetSetting(EngineWord::kRemoteMaxNodes, cap);
}

void CRemoteAgent::ReadEngineSettings()
{
    CIniFile ini;
    const std::string iniPath = genericConfigFileInterface::GetEngineIniPath();
    if (iniPath.empty() || !FileExists(iniPath.c_str()) || !ini.Open(iniPath.c_str()) || !ini.SeekSection("[VG_Engine]"))
        return;
    while (ini.ReadNextKey()) {
        const uint32_t value = static_cast<uint32_t>(std::strtoul(ini.GetValue().c_str(), nullptr, 10));
        if (ini.IsKey("RemoteMaxNodes"))
            SetMaxNodes(value);
        else if (ini.IsKey("RemoteSnmpRetries"))
            m_host->SetSetting(EngineWord::kRemoteSnmpRetries, value);
        else if (ini.IsKey("RemoteSnmpTimeout"))
            m_host->SetSetting(EngineWord::kRemoteSnmpTimeout, value);
        else if (ini.IsKey("RemoteOfflinePollCycles"))
            m_host->SetSetting(EngineWord::kRemoteOfflinePollCycles, value);
    }
}

RemoteSessionSettings CRemoteAgent::GetSessionSettings()
{
    RemoteSessionSettings s;
    s.retries = m_host->GetSetting(EngineWord::kRemoteSnmpRetries);
    s.timeoutSeconds = m_host->GetSetting(EngineWord::kRemoteSnmpTimeout);
    s.localAddress = m_host->GetConfiguredEngineAddress();
    return s;
}

int CRemoteAgent::GetRowCount()
{
    return m_store->Table().GetCount();
}

int CRemoteAgent::GetValue(uint32_t key, uint32_t requester, EngineValue& value)
{
    value = m_store->Table().GetValue(key, requester);
    return 1;
}

bool CRemoteAgent::SetValue(uint32_t key, uint32_t requester, int type, const void* data, size_t length)
{
    return m_store->Table().SetValue(key, requester, type, data, length);
}

uint32_t CRemoteAgent::AddTableRow()
{
    const uint32_t key = m_store->Table().AddEmptyRow();
    SyncMibRows();
    return key;
}

bool CRemoteAgent::HasEntry(uint32_t rowKey)
{
    std::lock_guard<std::recursive_mutex> lock(m_accessLock);
    for (auto& entry : m_list)
        if (entry->GetKey() == rowKey && !entry->IsQueuedForRemoval())
            return true;
    return false;
}

void CRemoteAgent::ReportDiscoveryResult(const std::string& address, int result)
{
    uint32_t ip = 0;
    if (!m_singleAddress.load() || !ParseIpv4(address.c_str(), ip))
        return;
    std::lock_guard<std::mutex> lock(m_resultsMutex);
    m_results[ip] = result;
}

bool CRemoteAgent::HasDiscoveryResult(const std::string& address)
{
    uint32_t ip = 0;
    if (!ParseIpv4(address.c_str(), ip))
        return false;
    std::lock_guard<std::mutex> lock(m_resultsMutex);
    return m_results.count(ip) != 0;
}

bool CRemoteAgent::IsValidMacAddress(const std::string& mac)
{
    return IsValidDiscoveredMac(mac);
}

std::unique_ptr<INetScan> CRemoteAgent::CreateNetScan()
{
    return m_netScanFactory ? m_netScanFactory(*this) : nullptr;
}

void CRemoteAgent::RecordDiscoveryErrors(const std::string& text, const std::string& /*address*/)
{
    RecordDiscoveryErrors(text, 0);
}

void CRemoteAgent::RecordDiscoveryErrors(const std::string& text, int code)
{
    std::map<uint32_t, int> results;
    if (text.empty()) {
        std::lock_guard<std::mutex> lock(m_resultsMutex);
        if (m_results.empty())
            return;
        results.swap(m_results);
    }
    const std::string path = m_host->GetDiscoveryLogPath();
    if (path.empty()) {
        AppLog::Instance()->Log(kLogInfo, "[CRemoteAgent::RecordDiscoveryErrors]  Could not successfully get the file "
                                          "path to log the discovery errors");
        return;
    }
    // Appended by every writer at once (O_APPEND); a log file, so 0640 like the others.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        AppLog::Instance()->Printf(kLogInfo,
                                   "[CRemoteAgent::RecordDiscoveryErrors]  Could not successfully open %s to log the "
                                   "discovery errors",
                                   path.c_str());
        return;
    }
    std::string out;
    if (!text.empty()) {
        out = text;
        if (code != 0)
            out += std::string("    ") + DiscoveryResultText(code);
        out += "\n";
    } else {
        for (const auto& entry : results)
            out += IpAddressToString(entry.first) + "    " + DiscoveryResultText(entry.second) + "\n";
    }
    const ssize_t written = ::write(fd, out.data(), out.size());
    const int writeError = errno;
    if (written != static_cast<ssize_t>(out.size()))
        AppLog::Instance()->Printf(kLogInfo, "[CRemoteAgent::RecordDiscoveryErrors]  write(%s) failed: %s",
                                   path.c_str(), written < 0 ? std::strerror(writeError) : "short write");
    ::close(fd);
}

void CRemoteAgent::CreateAllSafePoints()
{
    m_store->CreateSafePoint();
    m_host->CreateOtherSafePoints();
}

int CRemoteAgent::GetDiscoveryResult(uint32_t address)
{
    std::lock_guard<std::mutex> lock(m_resultsMutex);
    auto it = m_results.find(address);
    return it == m_results.end() ? -1 : it->second;
}

void CRemoteAgent::SendListChanged(int32_t value)
{
    m_host->SendNotification(kRemoteTableOid, kListChangedTrap, EngineValue::Integer(static_cast<uint32_t>(value)));
}

void CRemoteAgent::SendValueChanged(const std::vector<uint32_t>& oid, const EngineValue& value)
{
    m_host->SendNotification(oid, kValueChangedTrap, value);
}

void CRemoteAgent::OnActivationFailed(uint32_t /*rowNumber*/)
{
    // The table has dropped the row already: the MIB row goes with it at once.
    SyncMibRows();
    m_host->LogEvent(0, 3, "Unable to connect to remote agent", std::string(), std::string());
    m_host->BroadcastMessage("Unable to establish connection with remote device. Please check firewall and/or IP Address");
}

void CRemoteAgent::RegisterMibRow()
{
    SyncMibRows();
}

void CRemoteAgent::SyncMibRows()
{
    auto countLeaving = [this] {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        uint32_t leaving = 0;
        for (auto& entry : m_list)
            if (entry->IsQueuedForRemoval())
                ++leaving;
        return leaving;
    };
    m_store->SyncMibRows(countLeaving, [this](uint32_t rows) { m_host->SetRemoteMibRowCount(rows); });
}

bool CRemoteAgent::Add(const RemoteAgentRow& row, uint32_t snmpIndex)
{
    AppLog* log = AppLog::Instance();
    log->Printf(kLogDebug, "Attempting to add new Remote Agent at SNMP Index %u", snmpIndex);
    CRemoteAgentTable& table = m_store->Table();
    const std::string address = table.CopyText(row.address);
    if (!address.empty()) {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        int result = 1;
        if (FindLocked(address, std::string(), false, result)) {
            ReportDiscoveryResult(address, kResultDuplicate);
            return false;
        }
    }
    auto entry = std::make_shared<CRemoteAgentEntry>(this);
    bool listed = false;
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        size_t live = 0;
        for (auto& e : m_list)
            if (!e->IsQueuedForRemoval())
                ++live;
        if (live >= m_cap.load()) {
            ReportDiscoveryResult(address, kResultCapReached);
            log->Printf(kLogError, "Remote found at address %s but not added because maximum agent count of %u was exceeded",
                        address.c_str(), m_cap.load());
        } else {
            m_list.push_back(entry);
            listed = true;
        }
    }
    if (!listed) {
        if (snmpIndex == 0) {
            table.Remove(row.key);
            SyncMibRows();
        }
        return false;
    }
    if (!entry->Initialize(row, snmpIndex)) {
        {
            std::lock_guard<std::recursive_mutex> lock(m_accessLock);
            m_list.erase(std::remove(m_list.begin(), m_list.end(), entry), m_list.end());
            m_cursor = 0;
        }
        log->Printf(kLogError, "[RemoteAgent::Add]Failed to initialize Remote Agent entry for %s; removed from list.",
                    address.c_str());
        ReportDiscoveryResult(address, kResultFailed);
        // The row and the MIB row the entry asked for go with it.
        if (snmpIndex == 0) {
            table.Remove(row.key);
            SyncMibRows();
        }
        return false;
    }
    QueueForContact(entry);
    if (!m_discoveryRequested.load()) {
        AdjustThreads();
        SignalAllThreads();
    }
    // Nothing here may take the entry's own mutex: a worker holds it through its requests, which need
    // the SNMP thread, and this may run on the SNMP thread (a row-status SET). A new agent's devices
    // are counted at its first contact.
    if (log->IsInfoEnabled())
        log->Printf(kLogInfo,
                    "Remote Agent Entry initialized and added to list: SnmpIndex='%u'; ServerName='%s'; MAC Address='%s'; "
                    "Community='<hidden>'; DeviceCount='%u'; Key='%u'; Port='%u'; TrapPort='%u'",
                    entry->GetSnmpIndex(), address.c_str(), entry->GetMac().c_str(), 0u, entry->GetKey(),
                    entry->GetPort(), entry->GetTrapPort());
    return true;
}

void CRemoteAgent::QueueForContact(const std::shared_ptr<CRemoteAgentEntry>& entry, bool retry)
{
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        if (retry) {
            // Two workers' rounds may both find the retry due: one try at a time.
            if (std::find(m_initQueue.begin(), m_initQueue.end(), entry) != m_initQueue.end())
                return;
            m_retryContacts.insert(entry.get());
        }
        m_initQueue.push_back(entry);
    }
    // Another try of an agent that has not answered yet changes nothing until it succeeds: no critical
    // state (consoles would see the engine busy, and a crash meanwhile would restore the backup), no
    // held list-change traps. A success queues the poll after add, which is critical work.
    if (retry)
        return;
    m_host->BeginCritical(kCriticalContact);
    // Device saves are not held: a reaction a user changes meanwhile is saved at once, like any other
    // acknowledged SET (a device file written in the middle of an add is whole; the devices of an agent
    // that a crash then takes back stay in it as rows without their agent).
    if (IDeviceManager* devices = m_host->GetDevices())
        devices->SetListChangeTrapsHeld(true);
}

bool CRemoteAgent::QueueForPoll(const std::shared_ptr<CRemoteAgentEntry>& entry)
{
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        m_pollQueue.push_back(entry);
    }
    m_host->BeginCritical(kCriticalPoll);
    return true;
}

std::shared_ptr<CRemoteAgentEntry> CRemoteAgent::FindLocked(const std::string& address, const std::string& mac,
                                                            bool queueOld, int& result)
{
    result = 1;
    for (auto& entry : m_list) {
        if (entry->IsQueuedForRemoval())
            continue;
        const bool sameAddress = entry->IsSameAddress(address);
        if (sameAddress && (mac.empty() || entry->IsSameMac(mac))) {
            result = 0;
            return entry;
        }
        if (sameAddress && entry->GetMac().empty()) {
            // A row stored without a MAC: the address decides, and the MAC is learnt.
            if (CRemoteAgentTable::IsValidMacText(mac)) {
                const uint32_t macKey = m_store->Table().AddText(mac);
                m_store->Table().UpdateRow(entry->GetKey(), [&](RemoteAgentRow& r) { r.mac = macKey; });
                entry->SetMac(mac);
                m_store->MarkSaveDue();
            }
            result = 0;
            return entry;
        }
        if (!mac.empty() && !sameAddress && entry->IsSameMac(mac)) {
            if (queueOld)
                QueueForRemovalLocked(entry);
            result = 2;
            return nullptr;
        }
        if (sameAddress && !mac.empty()) {
            if (queueOld)
                QueueForRemovalLocked(entry);
            result = 3;
            return nullptr;
        }
    }
    return nullptr;
}

std::shared_ptr<CRemoteAgentEntry> CRemoteAgent::Find(const std::string& address, const std::string& mac, bool queueOld,
                                                      int* result)
{
    int r = 1;
    std::shared_ptr<CRemoteAgentEntry> found;
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        found = FindLocked(address, mac, queueOld, r);
    }
    // A MAC learnt by the walk is stored now, with no lock of ours held.
    if (m_store->IsSaveDue() && !m_busy.load())
        SaveDataFile();
    if (result)
        *result = r;
    return found;
}

std::shared_ptr<CRemoteAgentEntry> CRemoteAgent::RelocateEntry(const std::string& address, const std::string& mac)
{
    std::shared_ptr<CRemoteAgentEntry> moved;
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        AppLog::Instance()->Printf(kLogDebug, "[CRemoteAgent::Relocate] There are %zu remote agents in the list",
                                   m_list.size());
        for (auto& entry : m_list)
            if (!entry->IsQueuedForRemoval() && entry->IsSameMac(mac)) {
                moved = entry;
                break;
            }
    }
    if (!moved)
        return nullptr;
    AppLog::Instance()->Printf(kLogDebug, "[CRemotAgent::Relocate] Moving %s to %s (mac=%s)",
                               moved->GetServerAddress().c_str(), address.c_str(), mac.c_str());
    const uint32_t column3 = kRemoteRowKeyBase | 3u << 12 | (moved->GetKey() & 0xFFF);
    m_store->Table().SetValue(column3, 0, kValueOctetString, address.data(), address.size());
    moved->MoveTo(address);
    IDeviceManager* devices = m_host->GetDevices();
    if (!devices || !devices->AreListChangeTrapsHeld())
        SendListChanged(kListChangedAdded);
    return moved;
}

IRemoteAgentEntry* CRemoteAgent::FindAgentByAddress(const std::string& address)
{
    std::lock_guard<std::recursive_mutex> lock(m_accessLock);
    for (auto& entry : m_list)
        if (!entry->IsQueuedForRemoval() && entry->IsSameAddress(address))
            return entry.get();
    return nullptr;
}

bool CRemoteAgent::ConfirmAlarm(IRemoteAgentEntry* agent, uint32_t deviceNumber, const std::string& description)
{
    // The entry is held while it is asked, so a removal meanwhile cannot free it.
    std::shared_ptr<CRemoteAgentEntry> entry;
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        for (auto& candidate : m_list)
            if (candidate.get() == agent)
                entry = candidate;
    }
    return !entry || entry->ConfirmAlarm(deviceNumber, description);
}

void CRemoteAgent::Relocate(const std::string& address, const std::string& mac)
{
    // This comes from a SET, on the SNMP thread: the move takes the entry's own mutex, which a worker
    // holds through requests that need the SNMP thread. A worker does it, as its next unit of work.
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        if (m_list.empty())
            return;
        m_relocations.emplace_back(address, mac);
    }
    SignalAllThreads();
}

int CRemoteAgent::AddByAddress(const std::string& address, const std::string& community, uint32_t port,
                               uint32_t versionCode, const std::string& mac)
{
    AppLog::Instance()->Printf(kLogDebug, "Adding remote agent: ip = '%s', community = '<hidden>', port = '%u', MAC = '%s'",
                               address.c_str(), port, mac.c_str());
    int result = 1;
    auto found = Find(address, mac, false, &result);
    if (found) {
        ReportDiscoveryResult(address, kResultDuplicate);
        return 0;
    }
    if (result == 2) {
        ReportDiscoveryResult(address, kResultRelocated);
        RelocateEntry(address, mac);
        return 0;
    }
    if (result == 3) {
        ReportDiscoveryResult(address, kResultRelocated);
        Find(address, mac, true, &result);
        SyncMibRows();
    }
    CRemoteAgentTable& table = m_store->Table();
    // Monitored at once, like an agent made active over SNMP: its row reads active and its SETs are saved.
    RemoteAgentRow row;
    row.flags = kRemoteRowEnabled | (versionCode & 0xF) << 4;
    row.address = table.AddText(address);
    row.serverName = table.AddText(address);
    row.community = table.AddText(community);
    row.mac = table.AddText(mac);
    row.port = port;
    row.trapPort = port + 1;
    if (table.AddRow(row) == kDataKeyFailed)
        return 0;
    return Add(row, 0) ? 1 : 0;
}

void CRemoteAgent::QueueForRemovalLocked(const std::shared_ptr<CRemoteAgentEntry>& entry)
{
    if (entry->IsQueuedForRemoval())
        return;
    entry->SetQueuedForRemoval();
    m_removeQueue.push_back(entry);
}

int CRemoteAgent::QueueForRemoval(int rowNumber)
{
    const uint32_t key = kRemoteRowKeyBase | static_cast<uint32_t>(rowNumber & 0xFFF);
    std::shared_ptr<CRemoteAgentEntry> leaving;
    bool listed = false;
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        for (auto& entry : m_list)
            if (entry->GetKey() == key) {
                listed = true;
                if (!entry->IsQueuedForRemoval())
                    leaving = entry;
                break;
            }
    }
    if (!listed && RemoveRowWithoutAgent(key)) {
        SyncMibRows();
        return 1;
    }
    if (!leaving)
        return 1;
    // A worker removes the agent and saves the file after the answer. The file must take a write now
    // (a local one, whatever the agent does), or the removal is refused and the agent stays monitored:
    // a removal acknowledged and then not saved would come back at the next start.
    if (SaveDataFile() == 0) {
        AppLog::Instance()->Printf(kLogError, "[CRemoteAgent::QueueForRemoval]: %s cannot be saved; %s stays monitored",
                                   m_store->Paths().data.c_str(), leaving->GetServerAddress().c_str());
        return 0;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        // Another path may have queued it meanwhile: it leaves once.
        if (leaving->IsQueuedForRemoval())
            return 1;
        QueueForRemovalLocked(leaving);
    }
    SyncMibRows();
    m_host->BeginCritical(kCriticalRemoval);
    if (IDeviceManager* devices = m_host->GetDevices())
        devices->SetListChangeTrapsHeld(true);
    if (!m_discoveryRequested.load()) {
        AdjustThreads();
        SignalAllThreads();
    }
    return 1;
}

bool CRemoteAgent::RemoveRowWithoutAgent(uint32_t key)
{
    // A row that never became an agent (created and never activated, or not set up at start) goes
    // at once; the agents above it move down as after a removal.
    if (!m_store->Table().Remove(key))
        return false;
    std::lock_guard<std::recursive_mutex> lock(m_accessLock);
    for (auto& other : m_list)
        if (other->GetKey() > key)
            other->DecrementIndex();
    return true;
}

void CRemoteAgent::Remove(const std::shared_ptr<CRemoteAgentEntry>& entry)
{
    const uint32_t key = entry->GetKey();
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        m_list.erase(std::remove(m_list.begin(), m_list.end(), entry), m_list.end());
        m_initQueue.erase(std::remove(m_initQueue.begin(), m_initQueue.end(), entry), m_initQueue.end());
        m_pollQueue.erase(std::remove(m_pollQueue.begin(), m_pollQueue.end(), entry), m_pollQueue.end());
        m_retries.erase(entry.get());
        m_retryContacts.erase(entry.get());
        m_cursor = 0;
    }
    entry->UnregisterTrapDestination();
    // The devices leave the list while the entry still has its index.
    entry->Release();
    if (m_store->Table().Remove(key)) {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        for (auto& other : m_list)
            if (other->GetKey() > key)
                other->DecrementIndex();
    }
    SyncMibRows();
    m_host->SetShutdownRequiredOne();
}

bool CRemoteAgent::QueuesEmptyLocked() const
{
    return m_removeQueue.empty() && m_initQueue.empty() && m_pollQueue.empty();
}

bool CRemoteAgent::HasQueuedWork()
{
    std::lock_guard<std::recursive_mutex> lock(m_accessLock);
    return !QueuesEmptyLocked();
}

void CRemoteAgent::Drained(int listChangedValue, bool nothingChanged)
{
    bool empty;
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        empty = QueuesEmptyLocked();
    }
    IDeviceManager* devices = m_host->GetDevices();
    // A unit that changed nothing ends no critical state unless other work has begun one.
    if (empty && nothingChanged && !(m_host->GetSetting(EngineWord::kFlags) & kCriticalAll))
        empty = false;
    if (empty) {
        SaveDataFile();
        if (devices) {
            devices->Save();
            // The hold ends whenever the queues drain, whatever unit drained them.
            devices->SetListChangeTrapsHeld(false);
        }
        m_host->EndCritical(kCriticalAll);
        AppLog::Instance()->Log(kLogDebug, "Critical state cleared");
        SendListChanged(kListChangedAdded);
        m_host->PostSystemRequest(kSystemRequestAdjustThreads);
    }
    if (listChangedValue >= 0) {
        if (devices)
            devices->SetListChangeTrapsHeld(false);
        SendListChanged(listChangedValue);
    }
}

void CRemoteAgent::DiscoveryCompleted()
{
    // Only while a discovery's results wait for the agents added from them, and only once the scan
    // itself is over (its adds come from the console afterwards).
    if (m_discoveryRequested.load() || !m_discoveryAwaitingAdds.load())
        return;
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        if (m_list.empty())
            return;
    }
    if (!m_discoveryAwaitingAdds.exchange(false))
        return;
    AppLog::Instance()->Log(kLogInfo, "Autodiscovery is completed. Saving new safe point files.");
    m_store->CreateSafePoint();
    m_host->CreateOtherSafePoints();
    RecordDiscoveryErrors(std::string(), 0);
}

void CRemoteAgent::SetAllTimeouts(int ms)
{
    std::lock_guard<std::mutex> lock(m_poolMutex);
    for (auto& worker : m_workers)
        worker->SetTimeout(ms);
}

void CRemoteAgent::Process(CRemoteAgentThread& /*worker*/)
{
    if (m_stopping.load() || !m_host->IsServerStarted())
        return;
    MutexLock turn(m_threadLock, kLockMs);
    if (!turn)
        return;
    WorkUnit unit;
    if (!TakeWork(unit))
        return;
    switch (unit.choice.work) {
    case RemoteWork::kRelocate:
        RelocateUnit(turn, unit.relocation);
        return;
    case RemoteWork::kRemove:
        RemoveUnit(turn, unit.entry);
        return;
    case RemoteWork::kContact:
        ContactUnit(turn, unit.entry, unit.emptiedQueue);
        return;
    case RemoteWork::kPollAfterAdd:
        PollAfterAddUnit(turn, unit.entry, unit.emptiedQueue);
        return;
    case RemoteWork::kPoll:
    case RemoteWork::kRetryContact:
        RoundRobinUnit(turn, unit);
        return;
    case RemoteWork::kNone:
        return;
    }
}

bool CRemoteAgent::TakeWork(WorkUnit& unit)
{
    std::unique_lock<std::recursive_mutex> lock(m_accessLock, std::try_to_lock);
    if (!lock.owns_lock())
        return false;
    RemoteWorkState state;
    state.relocations = m_relocations.size();
    state.removals = m_removeQueue.size();
    state.contacts = m_initQueue.size();
    state.pollsAfterAdd = m_pollQueue.size();
    // Round-robin polls only while nothing else is going on.
    state.roundsHeld = m_firstContacts.load() > 0 || m_discoveryRequested.load() || m_busy.load();
    state.cursor = m_cursor;
    state.nowMs = NowMs();
    state.retryDueMs.reserve(m_list.size());
    for (const auto& entry : m_list) {
        auto retry = m_retries.find(entry.get());
        state.retryDueMs.push_back(retry == m_retries.end() ? -1 : retry->second.dueMs);
    }
    unit.choice = ChooseRemoteWork(state);
    switch (unit.choice.work) {
    case RemoteWork::kRelocate:
        unit.relocation = m_relocations.front();
        m_relocations.pop_front();
        break;
    case RemoteWork::kRemove:
        unit.entry = m_removeQueue.front();
        m_removeQueue.pop_front();
        break;
    case RemoteWork::kContact:
        unit.entry = m_initQueue.front();
        m_initQueue.pop_front();
        unit.emptiedQueue = m_initQueue.empty();
        break;
    case RemoteWork::kPollAfterAdd:
        unit.entry = m_pollQueue.front();
        m_pollQueue.pop_front();
        unit.emptiedQueue = m_pollQueue.empty();
        break;
    case RemoteWork::kRetryContact:
    case RemoteWork::kPoll:
        unit.entry = m_list[unit.choice.agent];
        m_cursor = unit.choice.cursor;
        if (unit.choice.work == RemoteWork::kRetryContact) {
            // Not due again for another delay: the other workers' rounds leave it alone meanwhile.
            Retry& retry = m_retries[unit.entry.get()];
            retry.dueMs = NowMs() + retry.delayMs;
        }
        for (const auto& r : m_retries)
            if (unit.nextRetryMs < 0 || r.second.dueMs < unit.nextRetryMs)
                unit.nextRetryMs = r.second.dueMs;
        break;
    case RemoteWork::kNone:
        break;
    }
    return true;
}

void CRemoteAgent::RelocateUnit(MutexLock& turn, const std::pair<std::string, std::string>& relocation)
{
    turn.unlock();
    RelocateEntry(relocation.first, relocation.second);
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        if (m_relocations.empty())
            return;
    }
    SignalAllThreads();
}

void CRemoteAgent::RemoveUnit(MutexLock& turn, const std::shared_ptr<CRemoteAgentEntry>& entry)
{
    Remove(entry);
    turn.unlock();
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        if (!m_removeQueue.empty())
            return;
    }
    Drained(kListChangedRemoved);
}

void CRemoteAgent::ContactUnit(MutexLock& turn, const std::shared_ptr<CRemoteAgentEntry>& entry, bool emptiedQueue)
{
    bool retry;
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        retry = m_retryContacts.erase(entry.get()) != 0;
    }
    // Another try of a silent agent does not hold off the polls of the others.
    if (!retry)
        ++m_firstContacts;
    turn.unlock();
    const bool ok = !entry->IsQueuedForRemoval() && entry->DiscoverDevices();
    if (!retry)
        --m_firstContacts;
    if (ok) {
        QueueForPoll(entry);
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        m_retries.erase(entry.get());
    } else if (entry->GetDeviceNumbers().empty() && !m_stopping.load() && !entry->IsQueuedForRemoval()) {
        // Not reached (or nothing to mirror): try again later, more and more slowly.
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        Retry& backoff = m_retries[entry.get()];
        backoff.delayMs =
            backoff.delayMs == 0 ? m_retryFirstMs.load() : std::min(backoff.delayMs * 2, m_retryMaxMs.load());
        backoff.dueMs = NowMs() + backoff.delayMs;
    }
    bool initEmpty;
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        initEmpty = m_initQueue.empty();
    }
    // A retry that failed again leaves everything as it was.
    const bool nothingChanged = retry && !ok;
    if (initEmpty)
        Drained(-1, nothingChanged);
    bool pollEmpty;
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        pollEmpty = m_pollQueue.empty();
    }
    if (emptiedQueue && pollEmpty && !nothingChanged)
        DiscoveryCompleted();
}

void CRemoteAgent::PollAfterAddUnit(MutexLock& turn, const std::shared_ptr<CRemoteAgentEntry>& entry,
                                    bool emptiedQueue)
{
    if (!entry->IsQueuedForRemoval())
        entry->FinishInitialization();
    turn.unlock();
    if (!entry->IsQueuedForRemoval())
        entry->Poll();
    bool pollEmpty;
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        pollEmpty = m_pollQueue.empty();
    }
    if (pollEmpty)
        Drained(kListChangedAdded);
    if (emptiedQueue)
        DiscoveryCompleted();
}

void CRemoteAgent::RoundRobinUnit(MutexLock& turn, const WorkUnit& unit)
{
    if (unit.choice.roundDone) {
        // An agent waiting for another first contact wakes the round when its time comes.
        const int idle = CRemoteAgentThread::IdleWaitMs(m_host->GetSetting(EngineWord::kRemoteLoopbackDelay));
        SetAllTimeouts(RoundWaitMs(HasQueuedWork(), m_host->GetPollIntervalMs(), idle, unit.nextRetryMs, NowMs()));
    }
    turn.unlock();
    if (unit.choice.work == RemoteWork::kRetryContact) {
        AppLog::Instance()->Printf(kLogDebug, "[CRemoteAgent::Process] first contact of %s tried again",
                                   unit.entry->GetServerAddress().c_str());
        QueueForContact(unit.entry, true);
        SignalAllThreads();
        return;
    }
    unit.entry->Poll();
}

void CRemoteAgent::AdjustThreads()
{
    size_t agents, waiting;
    {
        std::lock_guard<std::recursive_mutex> lock(m_accessLock);
        agents = m_list.size();
        waiting = m_initQueue.size();
    }
    if (agents == 0) {
        RemoveAllThreads();
        return;
    }
    uint32_t per = m_host->GetSetting(EngineWord::kRemoteThreadCount);
    if (per == 0)
        per = 1;
    size_t target = std::max<size_t>(agents / per, std::min<size_t>(waiting, 5));
    if (agents % per)
        ++target;
    std::vector<std::unique_ptr<CRemoteAgentThread>> surplus;
    size_t missing = 0;
    {
        std::lock_guard<std::mutex> lock(m_poolMutex);
        if (m_stopping.load())
            return;
        missing = m_workers.size() < target ? target - m_workers.size() : 0;
        while (m_workers.size() > target) {
            surplus.push_back(std::move(m_workers.back()));
            m_workers.pop_back();
        }
    }
    // Started outside the pool's lock: a worker holds its own lock through a unit of work, and that
    // work takes the pool's lock (SetAllTimeouts).
    std::vector<std::unique_ptr<CRemoteAgentThread>> fresh;
    for (size_t i = 0; i < missing; ++i) {
        auto worker = std::make_unique<CRemoteAgentThread>(this);
        if (!worker->Start())
            break;
        fresh.push_back(std::move(worker));
    }
    {
        std::lock_guard<std::mutex> lock(m_poolMutex);
        for (auto& worker : fresh) {
            // A stop that came meanwhile, or another adjustment that filled the pool first.
            if (m_stopping.load() || m_workers.size() >= target)
                surplus.push_back(std::move(worker));
            else
                m_workers.push_back(std::move(worker));
        }
    }
    // Stopped outside the pool's lock: a worker may be in the middle of a poll.
    for (auto& worker : surplus)
        worker->Stop();
}

void CRemoteAgent::RemoveAllThreads()
{
    AppLog::Instance()->Log(kLogDebug, "CRemoteAgent::RemoveAllThreads invoked");
    std::vector<std::unique_ptr<CRemoteAgentThread>> all;
    {
        std::lock_guard<std::mutex> lock(m_poolMutex);
        all.swap(m_workers);
    }
    for (auto& worker : all)
        worker->Stop();
}

void CRemoteAgent::SignalAllThreads()
{
    AppLog::Instance()->Log(kLogDebug, "CRemoteAgent::SignalAllThreads invoked");
    std::lock_guard<std::mutex> lock(m_poolMutex);
    for (auto& worker : m_workers)
        worker->SignalThread();
}

void CRemoteAgent::SuspendAllThreads()
{
    AppLog::Instance()->Log(kLogDebug, "CRemoteAgent::SuspendAllThreads invoked");
    std::lock_guard<std::mutex> lock(m_poolMutex);
    for (auto& worker : m_workers)
        worker->Suspend();
}

void CRemoteAgent::ResumeAllThreads()
{
    AppLog::Instance()->Log(kLogDebug, "CRemoteAgent::ResumeAllThreads invoked");
    std::lock_guard<std::mutex> lock(m_poolMutex);
    for (auto& worker : m_workers) {
        worker->Resume();
        worker->SignalThread();
    }
}

size_t CRemoteAgent::GetWorkerCount()
{
    std::lock_guard<std::mutex> lock(m_poolMutex);
    return m_workers.size();
}

void CRemoteAgent::PrepareForResume()
{
    for (auto& entry : GetEntries())
        entry->PrepareForResume();
}

std::vector<std::shared_ptr<CRemoteAgentEntry>> CRemoteAgent::GetEntries()
{
    std::lock_guard<std::recursive_mutex> lock(m_accessLock);
    return m_list;
}

void CRemoteAgent::WriteConfigSections(std::ostream& out)
{
    int number = 0;
    for (auto& entry : GetEntries()) {
        // The version as the row holds it now (a SET of its column changes the row, not the session).
        RemoteAgentRow row;
        const uint32_t version = m_store->Table().GetRowByKey(entry->GetKey(), row) ? row.VersionCode()
                                                                                   : entry->GetSnmpVersion();
        CRemoteAgentTable::WriteSection(out, ++number, entry->GetServerAddress(), entry->GetMac(), version,
                                        entry->GetCommunity(), entry->GetPort(), entry->GetTrapPort());
    }
}

bool CRemoteAgent::QueueTrap(std::unique_ptr<RemoteTrapRecord>& record)
{
    return m_trapQueue.Push(record);
}

bool CRemoteAgent::AllHavePendingReactions()
{
    for (auto& entry : GetEntries())
        if (!entry->HasPendingReactions())
            return false;
    return true;
}

void CRemoteAgent::SetEventFlagsOnAllDevices(const std::string& name, uint32_t bits)
{
    for (auto& entry : GetEntries())
        entry->SetEventFlags(name, bits);
}

void CRemoteAgent::ClearEventFlagsOnAllDevices(const std::string& name, uint32_t bits)
{
    for (auto& entry : GetEntries())
        entry->ClearEventFlags(name, bits);
}
