#include "engine/remote/RemoteAgentEntry.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"
#include "engine/base/SteadyClock.h"
#include "engine/core/devices/DeviceEntryRemote.h"
#include "engine/core/interfaces/ServerManagers.h"
#include "platform/NetInterfaces.h"

namespace {

// E = 1.3.6.1.4.1.64950.
SnmpOid E(std::initializer_list<uint32_t> tail)
{
    SnmpOid o = {1, 3, 6, 1, 4, 1, 64950};
    o.insert(o.end(), tail);
    return o;
}

SnmpOid With(SnmpOid o, std::initializer_list<uint32_t> tail)
{
    o.insert(o.end(), tail);
    return o;
}

bool StartsWith(const SnmpOid& oid, const SnmpOid& prefix)
{
    return oid.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

bool OidLess(const SnmpOid& a, const SnmpOid& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

constexpr size_t kTextCapacity = 128;
constexpr size_t kVersionCapacity = 22;
constexpr uint32_t kDiscoveryFailed = 4;

// Device columns by generation: {generation 4, generations 1-3}.
struct DeviceColumnOids {
    SnmpOid gen4, other;
};
const DeviceColumnOids kText8{E({1, 1, 1, 2, 1, 4}), E({10, 2, 2, 1, 8})};
const DeviceColumnOids kModel{E({1, 1, 1, 2, 1, 5}), E({10, 2, 2, 1, 9})};
const DeviceColumnOids kPortText{E({1, 1, 2, 1, 1, 3}), E({10, 2, 2, 1, 5})};
const DeviceColumnOids kProtocol{E({1, 1, 2, 1, 1, 1}), E({10, 2, 2, 1, 15})};
const DeviceColumnOids kColumn4{E({1, 1, 2, 1, 1, 2}), E({10, 2, 2, 1, 4})};
const DeviceColumnOids kColumn13{E({1, 1, 1, 2, 1, 9}), E({10, 2, 2, 1, 13})};
const DeviceColumnOids kLocation{E({1, 1, 1, 2, 1, 8}), E({10, 2, 2, 1, 12})};
const DeviceColumnOids kName{E({1, 1, 1, 2, 1, 6}), E({10, 2, 2, 1, 10})};

} // namespace

CRemoteAgentEntry::CRemoteAgentEntry(IRemoteEntryOwner* owner) : m_owner(owner) {}

CRemoteAgentEntry::~CRemoteAgentEntry() = default;

uint32_t CRemoteAgentEntry::ParseVersion(const std::string& text)
{
    int numbers[3] = {0, 0, 0};
    int count = 0;
    SplitDottedNumbers(text.c_str(), numbers, 3, count);
    auto clamp = [](int v) { return static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
    return clamp(numbers[0]) << 24 | clamp(numbers[1]) << 16 | clamp(numbers[2]) << 8;
}

int CRemoteAgentEntry::GenerationOf(uint32_t version)
{
    const uint32_t major = version >> 24, minor = (version >> 16) & 0xFF, build = (version >> 8) & 0xFF;
    if (major >= 15)
        return 4;
    if (major > 12 || minor > 4 || build > 39)
        return build < 48 ? 1 : 3;
    return 2;
}

uint32_t CRemoteAgentEntry::ParseRowRef(const std::string& table, const std::string& row)
{
    if (table.empty() || row.empty() || table.size() >= row.size())
        return 0;
    const std::string tail = row.substr(table.size());
    // ".1.2.5": the third field after the first character.
    std::vector<std::string> fields;
    size_t start = 1;
    for (;;) {
        size_t dot = tail.find('.', start);
        fields.push_back(tail.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    if (fields.size() < 3)
        return 0;
    return static_cast<uint32_t>(std::strtoul(fields[2].c_str(), nullptr, 10));
}

int CRemoteAgentEntry::Initialize(const RemoteAgentRow& row, uint32_t snmpIndex)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_polledOnce = false;
    m_configurationAlarm = false;
    m_key = row.key;
    {
        std::lock_guard<std::mutex> identity(m_identityMutex);
        m_port = row.port;
        m_trapPort = row.trapPort;
        m_versionCode = row.VersionCode();
    }
    if (snmpIndex) {
        AppLog::Instance()->Printf(kLogDebug, "Remote Agent [%08X] already registered with SNMP index %u", row.key, snmpIndex);
        m_snmpIndex = snmpIndex;
    } else {
        m_owner->RegisterMibRow();
        m_snmpIndex = row.key & 0xFFFF;
        AppLog::Instance()->Printf(kLogDebug, "Remote Agent [%08X] assigned SNMP index %u", row.key, m_snmpIndex.load());
    }
    CRemoteAgentTable& table = m_owner->GetTable();
    {
        std::lock_guard<std::mutex> identity(m_identityMutex);
        m_address = table.CopyText(row.address);
        m_community = table.CopyText(row.community);
        m_mac = table.CopyText(row.mac);
        m_serverName = table.CopyText(row.serverName);
    }
    if (m_address.empty() || m_session)
        return 0;
    if (!OpenSession())
        return 0;
    if (AppLog::Instance()->IsInfoEnabled())
        AppLog::Instance()->Printf(kLogInfo, "CRemoteAgentEntry::Initialize( ) succeeded. Agent [%08X] has SNMP index %u.",
                                   row.key, m_snmpIndex.load());
    return 1;
}

bool CRemoteAgentEntry::OpenSession()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_session)
        m_session->Close();
    auto session = std::make_shared<RemoteSnmpServer>(m_owner->GetClient());
    const bool ok = m_port != 0 && m_port <= 0xFFFF &&
                    session->Initialize(m_address, m_community, static_cast<uint16_t>(m_port), m_versionCode,
                                        m_owner->GetSessionSettings());
    if (!ok)
        AppLog::Instance()->Printf(kLogError, "[CRemoteAgentEntry::Initialize]: Remote snmp server creation failed.");
    std::lock_guard<std::mutex> pointer(m_sessionMutex);
    m_session = ok ? session : nullptr;
    return ok;
}

void CRemoteAgentEntry::Cancel()
{
    // Without the entry's mutex: a worker may hold it through a long request.
    if (auto session = GetSnmpServer())
        session->Cancel();
}

void CRemoteAgentEntry::Release()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_deviceBuffer.clear();
    if (m_session)
        m_session->Close();
    if (IDeviceManager* devices = m_owner->GetDeviceList())
        devices->RemoveAgentDevices(m_snmpIndex);
}

void CRemoteAgentEntry::DecrementIndex()
{
    m_key.fetch_sub(1);
    m_snmpIndex.fetch_sub(1);
}

bool CRemoteAgentEntry::ReadVersion()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_session)
        return false;
    char text[kVersionCapacity] = {};
    uint32_t length = sizeof text;
    const SnmpOid oid = E({10, 1, 2, 3, 0});
    if (!m_session->GetString(text, length, oid.data(), oid.size()))
        return false;
    m_versionText.assign(text, length);
    m_version = ParseVersion(m_versionText);
    m_generation = GenerationOf(m_version);
    return true;
}

bool CRemoteAgentEntry::ReadDeviceCount()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_session)
        return false;
    const SnmpOid asInt = E({10, 2, 1, 0}), asUnsigned = E({1, 1, 1, 1, 0});
    int32_t count = 0;
    uint32_t ucount = 0;
    bool ok = false;
    if (m_generation == 4) {
        ok = m_session->GetUInt(ucount, asUnsigned.data(), asUnsigned.size());
        count = ucount > 0x7FFFFFFFu ? -1 : static_cast<int32_t>(ucount);
    } else {
        ok = m_session->GetInt(count, asInt.data(), asInt.size());
        if (!ok && m_generation == 0 && m_session->GetUInt(ucount, asUnsigned.data(), asUnsigned.size())) {
            ok = true;
            count = ucount > 0x7FFFFFFFu ? -1 : static_cast<int32_t>(ucount);
        }
    }
    if (!ok)
        return false;
    if (count < 0 || static_cast<uint32_t>(count) > kMaxDevices) {
        // The agent answers, so it is there; its count is not one to act on.
        AppLog::Instance()->Printf(kLogWarning, "[CRemoteAgentEntry::ReadDeviceCount]: %s reports %d devices; "
                                   "taken as none", m_address.c_str(), count);
        count = -1;
    }
    m_deviceCount = count < 0 ? 0 : static_cast<uint32_t>(count);
    m_countSane = count >= 0;
    return true;
}

bool CRemoteAgentEntry::ReadStatus()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_session)
        return false;
    const SnmpOid oid = m_generation == 4 ? E({1, 2, 1, 1, 1, 0}) : E({10, 1, 2, 2, 0});
    int32_t status = 0;
    if (!m_session->GetInt(status, oid.data(), oid.size()))
        return false;
    m_status = status == 8 ? 7 : static_cast<uint32_t>(status) & 0xFF;
    return true;
}

bool CRemoteAgentEntry::ReadAgentInfo()
{
    return ReadVersion() && ReadDeviceCount() && ReadStatus();
}

bool CRemoteAgentEntry::ReadDeviceInfo(RemoteDeviceInfo& info, uint32_t number)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_session)
        return false;
    const bool g4 = m_generation == 4;
    auto text = [&](const DeviceColumnOids& column, std::string& out) {
        const SnmpOid& base = g4 ? column.gen4 : column.other;
        char buffer[kTextCapacity] = {};
        uint32_t length = sizeof buffer;
        if (!m_session->GetString(buffer, length, base.data(), base.size(), number))
            return false;
        out.assign(buffer, length);
        return true;
    };
    std::string protocol;
    int32_t column4 = 0;
    const SnmpOid& column4Base = g4 ? kColumn4.gen4 : kColumn4.other;
    if (!text(kText8, info.text8) || !text(kModel, info.model) || !text(kPortText, info.port) ||
        !text(kProtocol, protocol) || !m_session->GetInt(column4, column4Base.data(), column4Base.size(), number) ||
        !text(kColumn13, info.column13) || !text(kLocation, info.location) || !text(kName, info.name))
        return false;
    info.column4 = static_cast<uint32_t>(column4);
    info.familyCode = static_cast<uint32_t>(std::strtoul(protocol.c_str(), nullptr, 16)) & 0xFFFF;
    info.deviceNumber = number;
    if (info.name.empty()) {
        info.name = "Device " + std::to_string(number) + "@" + m_address;
    } else if (info.name.rfind("Device", 0) == 0 || info.name.rfind("Probe", 0) == 0) {
        info.name += "@" + m_address;
    }
    if (info.name.size() > kTextCapacity - 1)
        info.name.resize(kTextCapacity - 1);
    return true;
}

bool CRemoteAgentEntry::DiscoverDevices()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_deviceNumbers.clear();
    m_deviceBuffer.clear();
    if (!ReadAgentInfo() || !m_countSane) {
        m_owner->ReportDiscoveryResult(m_address, kDiscoveryFailed);
        return false;
    }
    if (m_deviceCount == 0)
        return false;
    uint32_t read = 0;
    if (m_generation == 4) {
        const SnmpOid rows = E({1, 1, 1, 2, 1, 1});
        SnmpOid at = E({1, 1, 1, 2});
        while (read < m_deviceCount) {
            SnmpVarbind next;
            // The walk ends unless the agent's answer moves on.
            if (!m_session->GetNext(at, next) || !StartsWith(next.oid, rows) || next.oid.size() != rows.size() + 1 ||
                !OidLess(at, next.oid))
                break;
            at = next.oid;
            RemoteDeviceInfo info;
            if (!ReadDeviceInfo(info, next.oid.back()))
                break;
            m_deviceBuffer.push_back(info);
            m_deviceNumbers.push_back(info.deviceNumber);
            ++read;
        }
    } else {
        const bool unbounded = ((m_version >> 8) & 0xFF) >= 60;
        int misses = 0;
        uint32_t tried = 0;
        for (uint32_t n = 1; read < m_deviceCount && n <= 0xFFFF; ++n) {
            if (!unbounded && n > m_deviceCount)
                break;
            RemoteDeviceInfo info;
            if (ReadDeviceInfo(info, n)) {
                m_deviceBuffer.push_back(info);
                m_deviceNumbers.push_back(n);
                ++read;
                misses = 0;
            } else if (!unbounded) {
                m_owner->ReportDiscoveryResult(m_address, kDiscoveryFailed);
                ++tried;
            } else if (++misses > kMaxProbeMisses || m_session->IsCancelled()) {
                break;
            }
        }
        read += tried;
    }
    if (m_deviceNumbers.size() < m_deviceCount)
        m_owner->ReportDiscoveryResult(m_address, kDiscoveryFailed);
    m_firstContactDone = true;
    return true;
}

void CRemoteAgentEntry::FinishInitialization()
{
    std::unique_lock<std::recursive_mutex> lock(m_mutex);
    const uint32_t status = m_status;
    const uint32_t versionKey = m_owner->GetTable().AddText(m_versionText);
    m_owner->GetTable().UpdateRow(m_key, [&](RemoteAgentRow& r) {
        r.flags = (r.flags & ~kRemoteRowStatusMask) | (status & 0xFF) << 8;
        r.versionText = versionKey;
    });
    IDeviceManager* devices = m_owner->GetDeviceList();
    if (devices && (m_deviceBuffer.size() > 1 || devices->GetCount() > 0))
        m_owner->DisableBroadcast();
    const uint32_t index = m_snmpIndex;
    lock.unlock();
    // The list reads the records and event lists back through IRemoteAgentEntry on this thread.
    if (devices)
        devices->Add(this, index);
    lock.lock();
    m_deviceBuffer.clear();
}

template <typename F>
void CRemoteAgentEntry::ForEachDeviceLocked(F f)
{
    IDeviceManager* devices = m_owner->GetDeviceList();
    if (!devices)
        return;
    for (uint32_t number : m_deviceNumbers)
        if (auto device = devices->FindRemoteDevice(this, number))
            f(*device);
}

int CRemoteAgentEntry::SetOnline(bool online, bool forced)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_online == -1)
        forced = true;
    if (online)
        m_failures = 0;
    if ((m_online == 1) == online && m_online != -1)
        return online;
    if (!online && !forced) {
        if (++m_failures < kOfflineAfterFailures)
            return m_online;
    }
    IDeviceManager* devices = m_owner->GetDeviceList();
    ForEachDeviceLocked([&](CDeviceEntryRemote& device) {
        DeviceWork work;
        const std::string event = "Device " + std::to_string(device.GetOrdinal()) + (online ? " Online" : " Offline");
        if (online) {
            device.RemoveAlarm(kAlarmOffline);
            m_owner->LogEvent(device.GetRowKey(), 3, event, m_address, GetMac());
            device.EnableDevice(work);
        } else {
            // The UPS did not change because its card stopped answering (during an outage the switch
            // in between is often not on the UPS): its alarms and their countdowns stand.
            device.Deactivate(work);
            device.AddAlarm(kAlarmOffline, kAlarmOfflineText, kAlarmOfflineValue);
            m_owner->LogEvent(device.GetRowKey(), 2, event, m_address, GetMac());
        }
        if (devices)
            devices->Perform(work);
        const int index = device.GetDeviceIndex();
        if (index > 0)
            m_owner->SendValueChanged(DeviceColumnOid(25, index), EngineValue::Integer(device.GetWorstAlarm()));
    });
    if (!online)
        m_wentOffline = true;
    else if (m_wentOffline) {
        m_polledOnce = false;
        m_wentOffline = false;
    }
    m_online = online ? 1 : 0;
    return online;
}

bool CRemoteAgentEntry::Poll()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    AppLog::Instance()->Printf(kLogDebug, "[CRemoteAgentEntry::Poll] Polling %s", m_address.c_str());
    const bool ok = ReadDeviceCount();
    // A request cancelled because the engine stops says nothing about the agent.
    if (m_session && m_session->IsCancelled())
        return false;
    SetOnline(ok, false);
    if (ok && !m_polledOnce)
        CheckConfiguration();
    else if (m_configurationAlarm)
        CheckConfiguration();
    if (ok)
        ReadAlarms();
    m_polledOnce = true;
    AppLog::Instance()->Printf(kLogDebug, "[CRemoteAgentEntry::Poll] Polled %s: %s", m_address.c_str(),
                               ok ? "answered" : "no answer");
    return ok;
}

void CRemoteAgentEntry::ReadAlarms()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_session)
        return;
    std::vector<AgentAlarm> alarms;
    if (ReadAlarmTableLocked(*m_session, alarms, 0))
        ApplyAlarmsLocked(alarms);
    else
        AppLog::Instance()->Printf(kLogDebug, "[CRemoteAgentEntry::ReadAlarms] %s stopped answering during the alarm "
                                              "table walk; the alarms stay as they were",
                                   m_address.c_str());
}

bool CRemoteAgentEntry::ReadAlarmTableLocked(RemoteSnmpServer& session, std::vector<AgentAlarm>& alarms,
                                             int64_t deadlineMs)
{
    const bool g4 = m_generation == 4;
    const SnmpOid table = g4 ? E({1, 3, 2}) : E({100, 1, 6, 2});
    const SnmpOid idColumn = With(table, {1, 1});
    const SnmpOid descOid = g4 ? E({1, 3, 2, 1, 6}) : E({100, 1, 6, 2, 1, 4});
    const SnmpOid valueOid = g4 ? E({1, 3, 2, 1, 7}) : E({100, 1, 6, 2, 1, 8});
    // A request that got no answer ends the walk as unanswered; an answer without a value of the kind
    // asked (the row went while it was read) passes over that row.
    bool answered = true;
    auto get = [&](const SnmpOid& column, uint32_t a, unsigned char type, SnmpValue& value) {
        bool heard = false;
        const bool ok = session.Get(With(column, {a}), value, &heard);
        answered = answered && heard;
        return ok && value.type == type;
    };
    SnmpOid at = table;
    for (int i = 0; i < kMaxAlarms; ++i) {
        if (deadlineMs != 0 && SteadyMs() > deadlineMs)
            return false;
        SnmpVarbind next;
        bool heard = false;
        if (!session.GetNext(at, next, &heard))
            return heard; // the end of the MIB (an SNMPv1 agent answers it with an error)
        if (!StartsWith(next.oid, idColumn) || next.oid.size() != idColumn.size() + 1 || !OidLess(at, next.oid))
            break;
        at = next.oid;
        const uint32_t a = next.oid.back();
        AgentAlarm alarm;
        alarm.id = a;
        SnmpValue value;
        if (g4) {
            SnmpValue rowRef;
            if (!get(E({1, 3, 2, 1, 4}), a, kSnmpObjectId, value) || !get(E({1, 3, 2, 1, 5}), a, kSnmpObjectId, rowRef)) {
                if (!answered)
                    return false;
                continue;
            }
            alarm.device = ParseRowRef(OidToString(value.oid), OidToString(rowRef.oid));
        } else {
            if (!get(E({100, 1, 6, 2, 1, 5}), a, kSnmpInteger, value)) {
                if (!answered)
                    return false;
                continue;
            }
            alarm.device = value.integer > 0 ? static_cast<uint32_t>(value.integer) : 0;
        }
        if (alarm.device == 0)
            continue;
        SnmpValue description, number, state;
        const bool read = get(descOid, a, kSnmpOctetString, description) && get(valueOid, a, kSnmpInteger, number) &&
                          (!g4 || get(E({1, 3, 2, 1, 8}), a, kSnmpInteger, state));
        if (!answered)
            return false;
        if (!read || (g4 && state.integer != 1))
            continue;
        alarm.description = description.bytes.substr(0, 256);
        alarm.value = static_cast<uint32_t>(number.integer);
        alarms.push_back(std::move(alarm));
    }
    return true;
}

void CRemoteAgentEntry::ApplyAlarmsLocked(const std::vector<AgentAlarm>& alarms)
{
    IDeviceManager* devices = m_owner->GetDeviceList();
    if (!devices)
        return;
    const std::string mac = GetMac();
    for (uint32_t number : m_deviceNumbers) {
        auto device = devices->FindRemoteDevice(this, number);
        if (!device)
            continue;
        std::set<uint32_t> standing;
        for (const AgentAlarm& alarm : alarms) {
            if (alarm.device != number)
                continue;
            standing.insert(alarm.id);
            if (!device->HasAlarm(alarm.id) && device->AddAlarm(alarm.id, alarm.description, alarm.value) == 1)
                m_owner->LogEvent(device->GetRowKey(), static_cast<int>(alarm.value), alarm.description, m_address, mac);
        }
        for (const DeviceAlarm& alarm : device->GetAlarms()) {
            if (alarm.id == kAlarmOffline || alarm.id == kAlarmConfiguration || standing.count(alarm.id))
                continue;
            if (m_configurationAlarm && alarm.value == kAlarmConfigurationValue)
                continue;
            device->RemoveAlarm(alarm.id);
            m_owner->LogEvent(device->GetRowKey(), 0, alarm.description, m_address, mac);
        }
    }
}

bool CRemoteAgentEntry::ConfirmAlarm(uint32_t deviceNumber, const std::string& description)
{
    AppLog* log = AppLog::Instance();
    // A worker may hold the entry's mutex through a poll of an agent that does not answer: wait for it
    // a bounded time only.
    std::unique_lock<std::recursive_mutex> lock(m_mutex, std::defer_lock);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConfirmTimeoutMs);
    while (!lock.try_lock() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!lock.owns_lock()) {
        log->Printf(kLogInfo, "[CRemoteAgentEntry::ConfirmAlarm] %s is busy; the alarm [%s] stands as last known",
                    GetServerAddress().c_str(), description.c_str());
        return true;
    }
    const int64_t deadline = SteadyMs() + kConfirmBudgetMs;
    RemoteSnmpServer session(m_owner->GetClient());
    std::vector<AgentAlarm> alarms;
    const bool opened = m_port != 0 && m_port <= 0xFFFF &&
                        session.InitializeForScan(m_address, m_community, static_cast<uint16_t>(m_port), m_versionCode,
                                                  0, kConfirmTimeoutMs, m_owner->GetSessionSettings().localAddress);
    const bool answered = opened && ReadAlarmTableLocked(session, alarms, deadline);
    session.Close();
    if (!answered) {
        log->Printf(kLogInfo, "[CRemoteAgentEntry::ConfirmAlarm] %s did not answer; the alarm [%s] stands as last known",
                    m_address.c_str(), description.c_str());
        return true;
    }
    // An answer is news of its own: an agent taken for offline is back ("Offline" goes; the next poll
    // registers again).
    if (m_online != 1)
        SetOnline(true, false);
    ApplyAlarmsLocked(alarms);
    IDeviceManager* devices = m_owner->GetDeviceList();
    auto device = devices ? devices->FindRemoteDevice(this, deviceNumber) : nullptr;
    if (device)
        for (const DeviceAlarm& alarm : device->GetAlarms())
            if (alarm.description == description)
                return true;
    log->Printf(kLogInfo, "[CRemoteAgentEntry::ConfirmAlarm] %s no longer reports the alarm [%s]", m_address.c_str(),
                description.c_str());
    return false;
}

uint32_t CRemoteAgentEntry::ReceiverAddress(const std::string& configured, uint32_t own,
                                            const std::string& agentAddress, uint32_t agentPort)
{
    if (!configured.empty() && IsValidIpAddress(configured.c_str()))
        return StringToIpAddress(configured.c_str());
    std::string source, error;
    if (vgplat::SourceAddressFor(agentAddress, static_cast<uint16_t>(agentPort), source, &error) &&
        IsValidIpAddress(source.c_str()))
        return StringToIpAddress(source.c_str());
    AppLog::Instance()->Printf(kLogWarning,
                               "[CRemoteAgentEntry::ReceiverAddress]: no local address found for %s (%s); "
                               "the engine's own address is registered",
                               agentAddress.c_str(), error.c_str());
    return own;
}

uint32_t CRemoteAgentEntry::ReceiverAddressLocked()
{
    return ReceiverAddress(m_owner->GetSessionSettings().localAddress, m_owner->GetOwnAddress(), m_address, m_port);
}

std::string CRemoteAgentEntry::RegistrationTextLocked(uint32_t own, uint32_t value, bool withCommunity)
{
    std::string out = IpAddressToString(own) + ":" + std::to_string(static_cast<int>(value));
    if (withCommunity)
        out += "," + m_community;
    return out;
}

void CRemoteAgentEntry::AddConfigurationAlarmLocked()
{
    if (m_configurationAlarm || m_deviceNumbers.empty())
        return;
    ForEachDeviceLocked([this](CDeviceEntryRemote& d) {
        d.AddAlarm(kAlarmConfiguration, kAlarmConfigurationText, kAlarmConfigurationValue);
        m_owner->LogEvent(d.GetRowKey(), 2, "Configuration", m_address, GetMac());
    });
    m_configurationAlarm = true;
}

void CRemoteAgentEntry::RemoveConfigurationAlarmLocked()
{
    if (!m_configurationAlarm)
        return;
    ForEachDeviceLocked([this](CDeviceEntryRemote& d) {
        if (d.HasAlarm(kAlarmConfiguration)) {
            d.RemoveAlarm(kAlarmConfiguration);
            m_owner->LogEvent(d.GetRowKey(), 3, "Configuration alarm removed", m_address, GetMac());
        }
    });
    m_configurationAlarm = false;
}

void CRemoteAgentEntry::UpdateVersionTextLocked()
{
    RemoteAgentRow row;
    CRemoteAgentTable& table = m_owner->GetTable();
    if (!table.GetRowByKey(m_key, row) || table.CopyText(row.versionText) == m_versionText)
        return;
    const uint32_t textKey = table.AddText(m_versionText);
    table.UpdateRow(m_key, [&](RemoteAgentRow& r) { r.versionText = textKey; });
    std::vector<uint32_t> oid = E({10, 6, 2, 1, 9});
    oid.push_back(m_snmpIndex);
    m_owner->SendValueChanged(oid, EngineValue::Text(m_versionText));
}

namespace {

// The trap-destination table of agents that keep their trap receivers in rows (E.14.2), and the
// event objects that name the rows an event's traps go to.
const SnmpOid kDestinationCount = E({14, 2, 1, 0});
const SnmpOid kDestinationColumns = E({14, 2, 2, 1});
const SnmpOid kEventFlags = E({10, 2, 3, 2, 1, 7});
const SnmpOid kEventDestinations = E({10, 2, 3, 2, 1, 22});
const SnmpOid kEventCount = E({10, 2, 2, 1, 18});
const SnmpOid kAgentSaveState = E({10, 1, 3, 1, 0});
constexpr const char* kDestinationName = "Vigilon Shutdown Management";
constexpr const char* kDestinationCommunity = "zastrove";
constexpr int32_t kEventTrapsOn = 0x20;
// Bounds on what such an agent may claim.
constexpr int32_t kMaxDestinations = 255;
constexpr int32_t kMaxEventsPerDevice = 64;

// An address (first octet in the lowest byte) on 127.0.0.0/8.
bool IsLoopback(uint32_t address)
{
    return (address & 0xFF) == 127;
}

bool HoldsRow(int32_t list, uint32_t row)
{
    for (int b = 0; b < 4; ++b)
        if (((static_cast<uint32_t>(list) >> (8 * b)) & 0xFF) == row)
            return true;
    return false;
}

// The list with row in its first free byte, or in the fourth when all four are taken.
int32_t WithRow(int32_t list, uint32_t row)
{
    uint32_t u = static_cast<uint32_t>(list);
    int slot = 3;
    for (int b = 0; b < 4; ++b)
        if (((u >> (8 * b)) & 0xFF) == 0) {
            slot = b;
            break;
        }
    u = (u & ~(0xFFu << (8 * slot))) | (row & 0xFF) << (8 * slot);
    return static_cast<int32_t>(u);
}

} // namespace

int CRemoteAgentEntry::RegisterInDestinationTableLocked(uint32_t trapPort, uint32_t own)
{
    const SnmpOid& columns = kDestinationColumns;
    int32_t count = 0;
    if (!m_session->GetInt(count, kDestinationCount.data(), kDestinationCount.size()))
        count = -1;
    bool registered = false;
    bool matched = false;
    for (int32_t i = 1; count > 0 && i <= std::min(count, kMaxDestinations) && !matched; ++i) {
        const uint32_t row = static_cast<uint32_t>(i);
        uint32_t ip = 0;
        char name[64] = {};
        uint32_t nameLength = sizeof name;
        const bool haveIp = m_session->GetIpAddress(ip, columns.data(), columns.size(), 3, row);
        const bool haveName = m_session->GetString(name, nameLength, columns.data(), columns.size(), 4, row);
        const bool ourName = haveName && std::string(name, nameLength) == kDestinationName;
        // Our row as an engine that took its address from a host name on loopback wrote it: the agent
        // sends those traps to itself. It gets the address that reaches this host.
        if (ourName && haveIp && ip != own && IsLoopback(ip) && !IsLoopback(own) &&
            m_session->SetIpAddress(own, columns.data(), columns.size(), 3, row))
            ip = own;
        if (haveIp && ip == own) {
            matched = true;
            registered = true;
            if (trapPort != GetTrapPort() &&
                m_session->SetInt(static_cast<int32_t>(trapPort), columns.data(), columns.size(), 6, row)) {
                std::lock_guard<std::mutex> identity(m_identityMutex);
                m_trapPort = trapPort;
            }
        } else if (ourName) {
            // This engine under another of its addresses: registered when event 1.1 sends to the row.
            int32_t flags = 0, list = 0;
            const bool sends = m_session->GetInt(flags, kEventFlags.data(), kEventFlags.size(), 1, 1) &&
                               m_session->GetInt(list, kEventDestinations.data(), kEventDestinations.size(), 1, 1) &&
                               (flags & kEventTrapsOn) && HoldsRow(list, row);
            if (sends) {
                RemoveConfigurationAlarmLocked();
                m_registeredOnce = true;
                return 1;
            }
            if (m_configurationAlarm)
                return 1;
            matched = true;
        }
    }
    if (!matched && count >= 0 && count < kMaxDestinations) {
        // A row of our own, then every event of every device sends its traps to it.
        const uint32_t t = static_cast<uint32_t>(count) + 1;
        // No events are pointed at a row the agent would not create.
        bool flagsFailed = !m_session->SetInt(5, columns.data(), columns.size(), 2, t);
        m_session->SetIpAddress(own, columns.data(), columns.size(), 3, t);
        m_session->SetString(kDestinationName, columns.data(), columns.size(), 4, t);
        m_session->SetString(kDestinationCommunity, columns.data(), columns.size(), 5, t);
        m_session->SetInt(static_cast<int32_t>(trapPort), columns.data(), columns.size(), 6, t);
        m_session->SetInt(1, columns.data(), columns.size(), 2, t);
        for (uint32_t d = 1; d <= m_deviceCount && !flagsFailed; ++d) {
            int32_t events = 0;
            if (!m_session->GetInt(events, kEventCount.data(), kEventCount.size(), d))
                break;
            for (uint32_t e = 1; e <= static_cast<uint32_t>(std::clamp(events, 0, kMaxEventsPerDevice)); ++e) {
                int32_t flags = 0;
                if (!m_session->GetInt(flags, kEventFlags.data(), kEventFlags.size(), d, e)) {
                    flagsFailed = d == 1 && e == 1;
                    break;
                }
                if (!(flags & kEventTrapsOn)) {
                    m_session->SetInt(flags | kEventTrapsOn, kEventFlags.data(), kEventFlags.size(), d, e);
                    if (d == 1 && e == 1) {
                        int32_t back = 0;
                        if (!m_session->GetInt(back, kEventFlags.data(), kEventFlags.size(), 1, 1) ||
                            !(back & kEventTrapsOn)) {
                            flagsFailed = true;
                            break;
                        }
                    }
                }
                int32_t list = 0;
                if (m_session->GetInt(list, kEventDestinations.data(), kEventDestinations.size(), d, e) &&
                    !HoldsRow(list, t))
                    m_session->SetInt(WithRow(list, t), kEventDestinations.data(), kEventDestinations.size(), d, e);
            }
        }
        uint32_t ip = 0;
        registered = !flagsFailed && m_session->GetIpAddress(ip, columns.data(), columns.size(), 3, t) && ip == own;
        if (registered) {
            std::lock_guard<std::mutex> identity(m_identityMutex);
            m_trapPort = trapPort;
        }
    }
    int32_t saveState = 0;
    if (m_session->GetInt(saveState, kAgentSaveState.data(), kAgentSaveState.size()) && saveState == 1)
        m_session->SetInt(2, kAgentSaveState.data(), kAgentSaveState.size());
    if (registered) {
        RemoveConfigurationAlarmLocked();
        m_registeredOnce = true;
        return 1;
    }
    AddConfigurationAlarmLocked();
    return 0;
}

int CRemoteAgentEntry::CheckConfiguration()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_session)
        return 0;
    // A changed version (a status trap said so): read it again, and register by what it says now.
    if (m_generation == 0 && ReadVersion())
        UpdateVersionTextLocked();
    const uint32_t trapPort = m_owner->GetTrapPort();
    const uint32_t value = trapPort | 0x10000;
    const uint32_t receiver = ReceiverAddressLocked();
    bool ok = false;
    switch (m_generation) {
    case 1: {
        const SnmpOid oid = E({10, 1, 13, 2, 0});
        ok = m_session->SetInt(static_cast<int32_t>(value), oid.data(), oid.size());
        break;
    }
    case 3:
        ok = m_session->SetStringByOid(RegistrationTextLocked(receiver, value, false),
                                       "1.3.6.1.4.1.64950.10.1.13.9.0");
        break;
    case 4: {
        std::string text = RegistrationTextLocked(receiver, value, true);
        // The object holds at most 62 characters: without the community rather than cut.
        if (text.size() > 62)
            text = RegistrationTextLocked(receiver, value, false);
        ok = m_session->SetStringByOid(text, "1.3.6.1.4.1.64950.1.2.2.1.1.0");
        break;
    }
    default:
        // Generation 2, or an agent whose version could not be read again.
        if (!RegisterInDestinationTableLocked(trapPort, receiver))
            return 0;
        ok = true;
        break;
    }
    if (ok) {
        RemoveConfigurationAlarmLocked();
        m_registeredOnce = true;
        m_receiverAddress = receiver;
    } else {
        if (!m_registeredOnce)
            AddConfigurationAlarmLocked();
        return 0;
    }
    {
        std::lock_guard<std::mutex> identity(m_identityMutex);
        m_trapPort = trapPort;
    }
    m_owner->GetTable().UpdateRow(m_key, [&](RemoteAgentRow& r) { r.trapPort = trapPort; });
    m_owner->SaveDataFile();
    return 1;
}

int CRemoteAgentEntry::UnregisterTrapDestination()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_session || m_online == 0)
        return 1;
    const uint32_t own = m_receiverAddress != 0 ? m_receiverAddress : ReceiverAddressLocked();
    if (m_generation == 1) {
        const SnmpOid oid = E({10, 1, 13, 2, 0});
        m_session->SetInt(0, oid.data(), oid.size());
    } else if (m_generation == 3) {
        m_session->SetStringByOid(RegistrationTextLocked(own, 0, false), "1.3.6.1.4.1.64950.10.1.13.9.0");
    } else if (m_generation == 4) {
        m_session->SetStringByOid(RegistrationTextLocked(own, 0, false), "1.3.6.1.4.1.64950.1.2.2.1.1.0");
    } else {
        // Our row of the agent's trap-destination table is destroyed.
        const SnmpOid& columns = kDestinationColumns;
        int32_t count = 0;
        if (!m_session->GetInt(count, kDestinationCount.data(), kDestinationCount.size()))
            return 1;
        for (int32_t i = 1; i <= std::min(count, kMaxDestinations); ++i) {
            const uint32_t row = static_cast<uint32_t>(i);
            uint32_t ip = 0;
            char name[64] = {};
            uint32_t nameLength = sizeof name;
            const bool ours = (m_session->GetIpAddress(ip, columns.data(), columns.size(), 3, row) && ip == own) ||
                              (m_session->GetString(name, nameLength, columns.data(), columns.size(), 4, row) &&
                               std::string(name, nameLength) == kDestinationName);
            if (!ours)
                continue;
            const uint32_t trapPort = m_owner->GetTrapPort();
            if (trapPort != GetTrapPort() &&
                m_session->SetInt(static_cast<int32_t>(trapPort), columns.data(), columns.size(), 6, row)) {
                std::lock_guard<std::mutex> identity(m_identityMutex);
                m_trapPort = trapPort;
            }
            m_session->SetInt(6, columns.data(), columns.size(), 2, row);
            break;
        }
    }
    return 1;
}

void CRemoteAgentEntry::ProcessStatusTrap(const RemoteTrapRecord& record, bool /*forced*/)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (record.specific == 3 || record.specific == 5)
        SetOnline(true, true);
    else if (record.specific == 4)
        SetOnline(false, true);
    const SnmpOid deviceColumns = E({1, 1, 1, 2});
    const SnmpOid version = E({1, 2, 1, 1, 2, 0});
    IDeviceManager* devices = m_owner->GetDeviceList();
    for (const RemoteTrapVarbind& vb : record.varbinds) {
        SnmpOid oid(vb.oid, vb.oid + vb.UsableOidLength());
        if (StartsWith(oid, deviceColumns) && oid.size() >= deviceColumns.size() + 2) {
            const uint32_t k = oid[oid.size() - 2], n = oid.back();
            if (auto device = devices ? devices->FindRemoteDevice(this, n) : nullptr)
                device->SetValueByField(0, k, kValueOctetString, vb.value, std::strlen(vb.value));
        } else if (oid == version && m_versionText != vb.value) {
            m_generation = 0;
            m_polledOnce = false;
        }
    }
}

void CRemoteAgentEntry::ProcessEngineTrap(const RemoteTrapRecord& record, bool forced)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    (void)forced;
    if (record.specific == 1010) {
        SetOnline(false, true);
        return;
    }
    if (record.specific != 1009 && record.specific != 1011)
        return;
    SetOnline(true, true);
    const SnmpOid deviceTable = E({10, 2, 2});
    const SnmpOid version = E({10, 1, 2, 3, 0});
    IDeviceManager* devices = m_owner->GetDeviceList();
    for (const RemoteTrapVarbind& vb : record.varbinds) {
        SnmpOid oid(vb.oid, vb.oid + vb.UsableOidLength());
        if (StartsWith(oid, deviceTable) && oid.size() >= deviceTable.size() + 2) {
            const uint32_t k = oid[oid.size() - 2], n = oid.back();
            if (auto device = devices ? devices->FindRemoteDevice(this, n) : nullptr) {
                DeviceWork work;
                device->SnmpSetDeviceValue(0, k, kValueOctetString, vb.value, std::strlen(vb.value), work);
                devices->Perform(work);
            }
        } else if (oid == version && m_versionText != vb.value) {
            m_generation = 0;
            m_polledOnce = false;
        }
    }
}

void CRemoteAgentEntry::SetServerAddress(const std::string& address)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    {
        std::lock_guard<std::mutex> identity(m_identityMutex);
        m_address = address;
    }
    if (IDeviceManager* devices = m_owner->GetDeviceList())
        devices->SetRemoteAddress(m_snmpIndex, address);
}

bool CRemoteAgentEntry::MoveTo(const std::string& address)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    SetServerAddress(address);
    return OpenSession();
}

bool CRemoteAgentEntry::HasPendingReactions()
{
    RemoteAgentRow row;
    if (!m_owner->GetTable().GetRowByKey(GetKey(), row))
        return false;
    IDeviceManager* devices = m_owner->GetDeviceList();
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const uint32_t selection = row.deviceSelection;
    if (selection == 0)
        return devices && devices->AgentHasPendingReactions(this);
    // The selection names up to two device numbers (bytes 0 and 1): each that exists must be pending.
    for (uint32_t number : {selection & 0xFF, (selection >> 8) & 0xFF}) {
        if (number == 0)
            continue;
        auto device = devices ? devices->FindRemoteDevice(this, number) : nullptr;
        if (device && !device->HasPendingReactions())
            return false;
    }
    return true;
}

void CRemoteAgentEntry::SetEventFlags(const std::string& name, uint32_t bits)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    ForEachDeviceLocked([&](CDeviceEntryRemote& d) { d.SetEventFlags(name, bits); });
}

void CRemoteAgentEntry::ClearEventFlags(const std::string& name, uint32_t bits)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    ForEachDeviceLocked([&](CDeviceEntryRemote& d) { d.ClearEventFlags(name, bits); });
}

void CRemoteAgentEntry::PrepareForResume()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_failures = kOfflineAfterFailures;
    m_polledOnce = false;
}

bool CRemoteAgentEntry::HasConfigurationAlarm()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_configurationAlarm;
}

uint32_t CRemoteAgentEntry::GetKey() { return m_key.load(); }
uint32_t CRemoteAgentEntry::GetSnmpIndex() { return m_snmpIndex.load(); }

std::string CRemoteAgentEntry::GetServerAddress()
{
    std::lock_guard<std::mutex> lock(m_identityMutex);
    return m_address;
}

std::string CRemoteAgentEntry::GetCommunity()
{
    std::lock_guard<std::mutex> lock(m_identityMutex);
    return m_community;
}

std::string CRemoteAgentEntry::GetMac()
{
    std::lock_guard<std::mutex> lock(m_identityMutex);
    return m_mac;
}

uint32_t CRemoteAgentEntry::GetPort()
{
    std::lock_guard<std::mutex> lock(m_identityMutex);
    return m_port;
}

uint32_t CRemoteAgentEntry::GetTrapPort()
{
    std::lock_guard<std::mutex> lock(m_identityMutex);
    return m_trapPort;
}

uint32_t CRemoteAgentEntry::GetSnmpVersion()
{
    std::lock_guard<std::mutex> lock(m_identityMutex);
    return m_versionCode;
}

int CRemoteAgentEntry::GetOnlineState()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_online;
}

uint32_t CRemoteAgentEntry::GetDeviceCount()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_deviceCount;
}

std::vector<uint32_t> CRemoteAgentEntry::GetDeviceNumbers()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_deviceNumbers;
}

std::vector<RemoteDeviceInfo> CRemoteAgentEntry::GetDeviceInfo()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_deviceBuffer;
}

int CRemoteAgentEntry::GetGeneration()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_generation;
}

bool CRemoteAgentEntry::IsSameAddress(const std::string& address)
{
    std::lock_guard<std::mutex> identity(m_identityMutex);
    return m_address == address;
}

namespace {

bool ParseMac(const std::string& text, unsigned out[6])
{
    if (text.size() < 17)
        return false;
    for (int i = 0; i < 6; ++i) {
        char pair[3] = {text[3 * i], text[3 * i + 1], 0};
        char* end = nullptr;
        unsigned long v = std::strtoul(pair, &end, 16);
        if (end != pair + 2)
            return false;
        out[i] = static_cast<unsigned>(v);
    }
    return true;
}

} // namespace

bool CRemoteAgentEntry::IsSameMac(const std::string& mac)
{
    std::lock_guard<std::mutex> identity(m_identityMutex);
    unsigned a[6], b[6];
    if (m_mac.empty() || !ParseMac(m_mac, a) || !ParseMac(mac, b))
        return false;
    return std::equal(a, a + 6, b);
}

void CRemoteAgentEntry::SetMac(const std::string& mac)
{
    std::lock_guard<std::mutex> identity(m_identityMutex);
    m_mac = mac;
}

void CRemoteAgentEntry::NoteStoredDevice(uint32_t deviceNumber)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    ++m_deviceCount;
    m_deviceNumbers.push_back(deviceNumber);
}

std::shared_ptr<RemoteSnmpServer> CRemoteAgentEntry::GetSnmpServer()
{
    std::lock_guard<std::mutex> pointer(m_sessionMutex);
    return m_session;
}

bool CRemoteAgentEntry::SnmpGet(const std::vector<uint32_t>& oid, RemoteValue& value)
{
    auto session = GetSnmpServer();
    SnmpValue v;
    if (!session || !session->Get(oid, v))
        return false;
    value.number = static_cast<uint32_t>(v.integer);
    value.text = v.bytes;
    value.oid = v.oid;
    return true;
}

bool CRemoteAgentEntry::SnmpGetNext(const std::vector<uint32_t>& oid, std::vector<uint32_t>& next, RemoteValue& value)
{
    auto session = GetSnmpServer();
    SnmpVarbind vb;
    // A walk that does not move on ends here.
    if (!session || !session->GetNext(oid, vb) || !OidLess(oid, vb.oid))
        return false;
    next = vb.oid;
    value.number = static_cast<uint32_t>(vb.value.integer);
    value.text = vb.value.bytes;
    value.oid = vb.value.oid;
    return true;
}
