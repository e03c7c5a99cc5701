#include "engine/core/devices/DeviceEntryRemote.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/base/AppLog.h"
#include "engine/base/SteadyClock.h"
#include "engine/core/data/StringTable.h"
#include "engine/core/devices/DeviceContext.h"
#include "engine/core/devices/WellKnownAlarms.h"
#include "engine/core/interfaces/ServerManagers.h"

namespace {

constexpr uint32_t kEnterprise[] = {1, 3, 6, 1, 4, 1, 64950};
// Texts written over SNMP are kept to this many characters.
constexpr size_t kMaxSetText = 127;

std::vector<uint32_t> EnterpriseOid(std::initializer_list<uint32_t> parts)
{
    std::vector<uint32_t> oid(std::begin(kEnterprise), std::end(kEnterprise));
    oid.insert(oid.end(), parts);
    return oid;
}

bool StartsWith(const std::vector<uint32_t>& oid, const std::vector<uint32_t>& prefix)
{
    return oid.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

// The text a SET carries: up to its first NUL, at most kMaxSetText characters.
std::string SetText(const void* data, size_t length)
{
    if (!data)
        return std::string();
    const char* text = static_cast<const char*>(data);
    return std::string(text, strnlen(text, std::min(length, kMaxSetText)));
}

bool EndsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

CDeviceEntryRemote::CDeviceEntryRemote(IDeviceContext& context, IRemoteAgentEntry* agent, uint32_t deviceKey)
    : CDeviceEntry(context), m_agent(agent), m_position(deviceKey >> 16), m_deviceNumber(deviceKey & 0xFFFF)
{
    m_row[DeviceWord::kDeviceKey] = deviceKey;
    m_events.SetOwner(this);
    m_events.SetContext(&context);
}

CDeviceEntryRemote::~CDeviceEntryRemote() = default;

void CDeviceEntryRemote::PrepareEvents(uint32_t rowKey)
{
    MutexLock lock(m_lock);
    m_rowKey = rowKey;
    m_events.ReadFileBlock(m_context.GetDeviceFilePath(), rowKey);
    if (m_events.GetCount() == 0) {
        // Only a table without stored rows takes the agent's list and the INI sections.
        ReadEventList();
        m_events.ReadConfig();
    }
    m_events.FixRowSize();
    m_context.UpdateDataFileVersion(m_events.GetVersion());
}

int CDeviceEntryRemote::Initialize(int ordinal, const DeviceRow& row, const std::string& model,
                                   const std::string& port, DeviceWork& work)
{
    MutexLock lock(m_lock);
    AppLog::Instance()->Printf(kLogDebug, "[%X] Initializing Device Entry Remote %s (%X) on %s", row[DeviceWord::kKey],
                               model.c_str(), m_agent ? m_agent->GetTableKey() : 0, port.c_str());
    m_ordinal = ordinal;
    m_row = row;
    m_row[DeviceWord::kFlags] &= ~kDeviceFlagOnline;
    m_rowKey = row[DeviceWord::kKey];
    m_position = row[DeviceWord::kDeviceKey] >> 16;
    m_portText = port;
    m_defaultName = GetDefaultName(m_rowKey & 0xFFFF);
    SetTypeNameLocked(row[DeviceWord::kFamily]);
    const int result = CDeviceEntry::Initialize(ordinal, row, model, port, work);
    if (result)
        SetOnline(work);
    return result;
}

void CDeviceEntryRemote::ReadEventList()
{
    if (!m_agent)
        return;
    const uint32_t n = m_deviceNumber;
    RemoteValue value;
    if (m_agent->GetGeneration() == 4) {
        const std::vector<uint32_t> prefix = EnterpriseOid({1, 3, 4, 1, 1, 1, n});
        std::vector<uint32_t> oid = prefix;
        for (int rows = 0; rows < kMaxEventRows; ++rows) {
            std::vector<uint32_t> next;
            if (!m_agent->SnmpGetNext(oid, next, value) || !StartsWith(next, prefix) || next.size() < prefix.size() + 1 ||
                next <= oid)
                break;
            const uint32_t d = next[next.size() - 2];
            const uint32_t e = next[next.size() - 1];
            RemoteValue name;
            if (m_agent->SnmpGet(EnterpriseOid({1, 3, 4, 1, 1, 3, d, e}), name))
                m_events.AddEventRow(name.text.substr(0, kEventNameBytes), e);
            oid = next;
        }
        return;
    }
    if (!m_agent->SnmpGet(EnterpriseOid({10, 2, 2, 1, 18, n}), value) || value.number == 0)
        return;
    const uint32_t count = value.number;
    std::vector<uint32_t> next;
    if (!m_agent->SnmpGetNext(EnterpriseOid({10, 2, 3, 2}), next, value) || next.empty())
        return;
    uint32_t j = next.back();
    uint32_t read = 0;
    int misses = 0;
    while (read < count && j < 0xFFFF && read < static_cast<uint32_t>(kMaxEventRows)) {
        RemoteValue name;
        if (m_agent->SnmpGet(EnterpriseOid({10, 2, 3, 2, 1, 4, n, j}), name)) {
            m_events.AddEventRow(name.text.substr(0, kEventNameBytes), j);
            ++read;
            misses = 0;
        } else if (++misses > 10) {
            break;
        }
        ++j;
    }
}

void CDeviceEntryRemote::Close(bool runClearReactions, DeviceWork& work)
{
    MutexLock lock(m_lock);
    CDeviceEntry::Close(runClearReactions, work);
    if (!runClearReactions) {
        // An engine stop: the alarms did not clear, so nothing of their clear reactions runs.
        m_events.ForgetAllReactions();
    }
    bool removed = false;
    while (!m_alarms.empty()) {
        RemoveAlarmLocked(m_alarms.size() - 1, work, runClearReactions);
        removed = true;
    }
    if (removed)
        NotifyAlarmStatusLocked(work);
}

void CDeviceEntryRemote::OnSuspendLocked(DeviceWork& work)
{
    // The alarms still stand, but nothing counts down any more: the consoles close their alert.
    if (m_events.ForgetAllReactions())
        work.closeCountdown = true;
}

uint32_t CDeviceEntryRemote::WorstAlarmLocked() const
{
    uint32_t worst = 0;
    for (const DeviceAlarm& alarm : m_alarms)
        if (alarm.value != 0 && (worst == 0 || alarm.value < worst))
            worst = alarm.value;
    return worst;
}

uint32_t CDeviceEntryRemote::GetWorstAlarm()
{
    MutexLock lock(m_lock);
    return WorstAlarmLocked();
}

int CDeviceEntryRemote::GetEventCount()
{
    MutexLock lock(m_lock);
    return m_events.GetCount();
}

std::string CDeviceEntryRemote::GetDefaultName(uint32_t number)
{
    MutexLock lock(m_lock);
    return "Device " + std::to_string(number) + "@" + ServerAddressLocked();
}

std::string CDeviceEntryRemote::ServerAddressLocked()
{
    std::string address = TextLocked(DeviceWord::kServerAddress);
    if (address.empty() && m_agent)
        address = m_agent->GetServerAddress();
    return address;
}

void CDeviceEntryRemote::NotifyAlarmStatusLocked(DeviceWork& work)
{
    if (m_context.AreListChangeTrapsHeld())
        return;
    const auto oid = DeviceColumnOid(25, m_deviceIndex);
    const EngineValue value = EngineValue::Integer(WorstAlarmLocked());
    // One change can pass here more than once (the alarm list and each event row it names): the
    // consoles get one notice with the latest status.
    for (DeviceNotice& queued : work.notices)
        if (queued.trapId == kValueChangedTrap && queued.oid == oid) {
            queued.value = value;
            return;
        }
    DeviceNotice notice;
    notice.oid = oid;
    notice.trapId = kValueChangedTrap;
    notice.value = value;
    work.notices.push_back(std::move(notice));
}

int CDeviceEntryRemote::AddAlarm(uint32_t id, const std::string& description, uint32_t value)
{
    m_context.RefreshAgentCount();
    DeviceWork work;
    {
        MutexLock lock(m_lock);
        AppLog::Instance()->Printf(kLogDebug, "[%X] CDeviceEntryRemote::AddAlarm %d [%s]", m_rowKey,
                                   static_cast<int>(id), description.c_str());
        for (const DeviceAlarm& alarm : m_alarms)
            if (alarm.id == id)
                return 0;
        DeviceAlarm alarm;
        alarm.id = id;
        alarm.description = description.substr(0, strnlen(description.c_str(), DeviceAlarm::kMaxDescription));
        alarm.value = value;
        alarm.raisedSteadyMs = m_context.GetClock().steadyMilliseconds();
        alarm.wellKnown = WellKnownAlarmNumber(alarm.description);
        if (ISnmpFacade* snmp = m_context.GetSnmp()) {
            alarm.mibRow = static_cast<uint32_t>(snmp->SnmpAddAlarm(m_deviceIndex));
            alarm.timeRaised = snmp->SnmpGetSysUpTime();
        }
        m_alarms.push_back(alarm);
        m_events.SetAlarmState(alarm.description, true, work);
        NotifyAlarmStatusLocked(work);
    }
    m_context.Perform(work);
    return 1;
}

void CDeviceEntryRemote::RemoveAlarmLocked(size_t at, DeviceWork& work, bool react)
{
    const DeviceAlarm alarm = m_alarms[at];
    m_alarms.erase(m_alarms.begin() + static_cast<std::ptrdiff_t>(at));
    if (ISnmpFacade* snmp = m_context.GetSnmp())
        snmp->SnmpRemoveAlarm(m_deviceIndex, static_cast<int>(alarm.mibRow));
    // The event rows of that name stay active while another alarm of the same description stands.
    for (const DeviceAlarm& other : m_alarms)
        if (other.description == alarm.description)
            return;
    m_events.SetAlarmState(alarm.description, false, work, react);
}

void CDeviceEntryRemote::RemoveAlarm(uint32_t id)
{
    m_context.RefreshAgentCount();
    DeviceWork work;
    {
        MutexLock lock(m_lock);
        AppLog::Instance()->Printf(kLogDebug, "[%X] CDeviceEntryRemote::RemoveAlarm %d", m_rowKey, static_cast<int>(id));
        for (size_t i = 0; i < m_alarms.size(); ++i) {
            if (m_alarms[i].id != id)
                continue;
            RemoveAlarmLocked(i, work, true);
            NotifyAlarmStatusLocked(work);
            break;
        }
    }
    m_context.Perform(work);
}

void CDeviceEntryRemote::RemoveAllAlarms(bool keepConfiguration, bool onlyMarked)
{
    m_context.RefreshAgentCount();
    DeviceWork work;
    {
        MutexLock lock(m_lock);
        bool removed = false;
        for (size_t i = m_alarms.size(); i-- > 0;) {
            const DeviceAlarm& alarm = m_alarms[i];
            if ((keepConfiguration && alarm.value == kAlarmConfigurationValue) || (onlyMarked && alarm.mark == 0))
                continue;
            RemoveAlarmLocked(i, work, true);
            removed = true;
        }
        if (removed)
            NotifyAlarmStatusLocked(work);
    }
    m_context.Perform(work);
}

void CDeviceEntryRemote::MarkAllAlarms(uint32_t flag)
{
    MutexLock lock(m_lock);
    for (DeviceAlarm& alarm : m_alarms)
        alarm.mark = flag;
}

bool CDeviceEntryRemote::HasAlarm(uint32_t id)
{
    return FindAlarm(id).has_value();
}

std::optional<DeviceAlarm> CDeviceEntryRemote::FindAlarm(uint32_t id)
{
    MutexLock lock(m_lock);
    for (const DeviceAlarm& alarm : m_alarms)
        if (alarm.id == id)
            return alarm;
    return std::nullopt;
}

std::optional<DeviceAlarm> CDeviceEntryRemote::FindAlarmByRow(uint32_t mibRow)
{
    MutexLock lock(m_lock);
    for (const DeviceAlarm& alarm : m_alarms)
        if (alarm.mibRow == mibRow)
            return alarm;
    return std::nullopt;
}

std::vector<DeviceAlarm> CDeviceEntryRemote::GetAlarms()
{
    MutexLock lock(m_lock);
    return m_alarms;
}

bool CDeviceEntryRemote::HasPendingReactions()
{
    MutexLock lock(m_lock);
    return m_events.HasPendingReactions();
}

void CDeviceEntryRemote::SetEventFlags(const std::string& name, uint32_t bits)
{
    MutexLock lock(m_lock);
    m_events.SetEventFlagsByName(name, bits);
}

void CDeviceEntryRemote::ClearEventFlags(const std::string& name, uint32_t bits)
{
    MutexLock lock(m_lock);
    m_events.ClearEventFlagsByName(name, bits);
}

void CDeviceEntryRemote::ForgetCountdownMarks()
{
    MutexLock lock(m_lock);
    m_events.ForgetCountdownMarks();
}

bool CDeviceEntryRemote::BelongsTo(const IRemoteAgentEntry* agent, uint32_t number) const
{
    return m_agent == agent && m_deviceNumber == (number & 0xFFFF);
}

std::string CDeviceEntryRemote::TypeName(uint32_t code)
{
    if (code & 0xFFFF) {
        char text[8];
        std::snprintf(text, sizeof text, "%04X", code & 0xFFFF);
        return text;
    }
    static const char* const kNames[] = {"2.9",
                                         "Brackan",
                                         "Quellan RT",
                                         "Quellan",
                                         "Ferrolux",
                                         "Contact Closure (NONO)",
                                         "Contact Closure (NONC)",
                                         "Contact Closure (NCNO)",
                                         "Contact Closure (NCNC)",
                                         "HID",
                                         "Ambiscope",
                                         "Norvia"};
    const uint32_t family = (code >> 16) & 0xFF;
    if (family >= 1 && family <= 12)
        return kNames[family - 1];
    return std::string();
}

void CDeviceEntryRemote::SetTypeNameLocked(uint32_t code)
{
    const std::string name = TypeName(code);
    if (!name.empty())
        m_familyName = name;
}

void CDeviceEntryRemote::SetServerAddress(const std::string& address, DeviceWork& work)
{
    MutexLock lock(m_lock);
    const uint32_t key = m_context.GetStringTable().AddString(address);
    if (key == 0 || key == kDataKeyFailed)
        return;
    m_row[DeviceWord::kServerAddress] = key;
    work.save = true;
}

void CDeviceEntryRemote::DecrementPosition()
{
    MutexLock lock(m_lock);
    if (m_position.load() > 0)
        m_position = m_position.load() - 1;
    m_row[DeviceWord::kDeviceKey] -= 0x10000;
}

int CDeviceEntryRemote::GetValue(uint32_t itemKey, uint32_t column, EngineValue& value)
{
    MutexLock lock(m_lock);
    value = EngineValue::Integer(0);
    if (itemKey < 0x10000) {
        switch (column) {
        case 10: value = EngineValue::Text(NameLocked()); return 1;
        case 11: return 1;
        case 12: value = EngineValue::Text(TextLocked(DeviceWord::kLocation)); return 1;
        case 13: value = EngineValue::Text(TextLocked(DeviceWord::kColumn13)); return 1;
        default: return GetColumnValueLocked(column, value);
        }
    }
    if ((itemKey >> 16) == 0x3)
        return m_events.GetValue(static_cast<int>(itemKey & 0xFFFF), column, value);
    return 1;
}

void CDeviceEntryRemote::NoticeLocked(uint32_t column, EngineValue value, DeviceWork& work)
{
    DeviceNotice notice;
    notice.oid = DeviceColumnOid(column, m_deviceIndex);
    notice.trapId = kValueChangedTrap;
    notice.value = std::move(value);
    work.notices.push_back(std::move(notice));
}

bool CDeviceEntryRemote::StoreTextLocked(int word, const std::string& text, uint32_t column, DeviceWork& work)
{
    if (TextLocked(word) == text)
        return true;
    uint32_t key = 0;
    if (!text.empty()) {
        key = m_context.GetStringTable().AddString(text);
        if (key == 0 || key == kDataKeyFailed)
            return false;
    }
    m_row[word] = key;
    NoticeLocked(column, EngineValue::Text(text), work);
    work.save = true;
    return true;
}

bool CDeviceEntryRemote::SnmpSetDeviceValue(uint32_t itemKey, uint32_t column, int type, const void* data,
                                            size_t length, DeviceWork& work)
{
    MutexLock lock(m_lock);
    if ((itemKey >> 16) == 0x3)
        return m_events.SetValue(static_cast<int>(itemKey & 0xFFFF), column, type, data, length, work);
    if (itemKey >= 0x10000)
        return false;
    if (column != 10 && column != 12 && column != 13)
        return false;
    if (type != kValueOctetString)
        return false;
    std::string text = SetText(data, length);
    if (column == 10) {
        AppLog::Instance()->Printf(kLogDebug, "[DeviceEntryRemote::SnmpSetDeviceValue] updating name to %s", text.c_str());
        const std::string suffix = "@" + ServerAddressLocked();
        // A default-style name carries its agent; one that carries it already gets no second suffix.
        if ((text.rfind("Device", 0) == 0 || text.rfind("Probe", 0) == 0) && !EndsWith(text, suffix))
            text += suffix;
        return StoreTextLocked(DeviceWord::kName, text, column, work);
    }
    return StoreTextLocked(column == 12 ? DeviceWord::kLocation : DeviceWord::kColumn13, text, column, work);
}

int CDeviceEntryRemote::GetAlarmValue(uint32_t key, uint32_t mibRow, EngineValue& value)
{
    MutexLock lock(m_lock);
    const DeviceAlarm* alarm = nullptr;
    for (const DeviceAlarm& a : m_alarms)
        if (a.mibRow == mibRow)
            alarm = &a;
    if (!alarm)
        return 0;
    switch (key) {
    case 0x8301000Bu: value = EngineValue{kValueObjectId, 0, {}}; return 1;
    case 0x8301000Cu: value = EngineValue::Text(alarm->description); return 1;
    case 0x8301000Du: value = EngineValue::Integer(alarm->timeRaised); return 1;
    case 0x8301000Eu: value = EngineValue::Integer(static_cast<uint32_t>(m_deviceIndex)); return 1;
    case 0x8301000Fu: value = EngineValue::Text(NameLocked()); return 1;
    case 0x83010010u: value = EngineValue::Text(TextLocked(DeviceWord::kLocation)); return 1;
    case 0x83010011u: value = EngineValue::Integer(alarm->value); return 1;
    default: return 0;
    }
}

int CDeviceEntryRemote::GetPowerValue(uint32_t key, EngineValue& value)
{
    MutexLock lock(m_lock);
    bool onBattery = false;
    bool lowBattery = false;
    int64_t since = 0;
    for (const DeviceAlarm& a : m_alarms) {
        if (a.wellKnown == kWellKnownOnBattery) {
            // Two alarms of the same meaning: the power went when the first was raised.
            since = onBattery ? std::min(since, a.raisedSteadyMs) : a.raisedSteadyMs;
            onBattery = true;
        } else if (a.wellKnown == kWellKnownLowBattery) {
            lowBattery = true;
        }
    }
    switch (key) {
    case kUpsBatteryStatusKey:
        value = EngineValue::Integer(lowBattery ? 3u : 2u); // batteryLow(3), batteryNormal(2)
        return 1;
    case kUpsSecondsOnBatteryKey: {
        const int64_t now = m_context.GetClock().steadyMilliseconds();
        const int64_t seconds = onBattery ? std::max<int64_t>(0, (now - since) / 1000) : 0;
        value = EngineValue::Integer(static_cast<uint32_t>(std::min<int64_t>(seconds, INT32_MAX)));
        return 1;
    }
    case kUpsOutputSourceKey:
        value = EngineValue::Integer(onBattery ? 5u : 3u); // battery(5), normal(3)
        return 1;
    default:
        return 0;
    }
}

void CDeviceEntryRemote::SetValueByField(uint32_t itemKey, uint32_t field, int type, const void* data, size_t length)
{
    static const uint32_t kColumns[] = {1, 2, 3, 8, 9, 10, 11, 12, 13, 25};
    if (field < 1 || field > 10)
        return;
    DeviceWork work;
    SnmpSetDeviceValue(itemKey, kColumns[field - 1], type, data, length, work);
    m_context.Perform(work);
}
